// Function prototypes and definitions with their bodies.
#include "compiler/statements/FunctionHandlers.h"

#include <memory>
#include <string>

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/driver/Utils.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/source/IdentManager.h"
#include "compiler/statements/BlockStack.h"
#include "compiler/statements/Compiler.h"
#include "compiler/statements/StatementLoop.h"
#include "compiler/statements/VarHandlers.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "compiler/symbols/VarManager.h"
#include "encoder/FixupManager.h"
#include "encoder/VorAssembler.h"

namespace vorak {

namespace {

bool isConventionKey(TKeyword k) { return k == keyStdcall || k == keyCDecl || k == keyMSX64; }

// A stack or frame register of any width: an operand that names one is a
// slot of the function being compiled.
bool isStackRegister(TRegister r) {
  return r == REG_SP || r == REG_BP || r == REG_ESP || r == REG_EBP || r == REG_RSP || r == REG_RBP;
}

// The name after the keyword, with an optional convention in front of it. On
// return the current token is the name.
TCallingConvention readConventionAndName(std::string_view noName, std::string_view noNameAfterCC,
                                         std::string_view keywordAfterCC, std::string_view otherKeyword,
                                         bool redeclaredAfterCC, bool otherRedeclared) {
  TCallingConvention cc = DefaultCC;
  if (Compiler->ExpectToken({ttIdent}) == ttNone) unexpected(noName);
  const TKeyword key = cur().F_Keyword;
  if (key == keyNone) return cc;
  if (!isConventionKey(key)) {
    if (otherRedeclared) Log->FatalRedeclared(otherKeyword);
    unexpected(otherKeyword);
  }
  cc = Key2Convention(key);
  if (Compiler->ExpectToken({ttIdent}) == ttNone) unexpected(noNameAfterCC);
  if (cur().F_Keyword != keyNone) {
    if (redeclaredAfterCC) Log->FatalRedeclared(keywordAfterCC);
    unexpected(keywordAfterCC);
  }
  return cc;
}

// The parameter list after its "(" (consumed). definition: every parameter
// becomes addressable; record: the parameters are recorded at all (a method
// declaration records none, its definition does).
void readParams(TFunction* fn, bool definition, bool record) {
  if (peekChar() == ')') {
    takePeeked();
    return;
  }
  const char* missing = definition ? "[313533] Param \"" : "[313532] Param \"";
  bool hadDefault = false;
  bool firstGroup = true;
  for (;;) {
    // a. The type of a group.
    if (Compiler->ExpectIdentType({itType}) == itNone) unexpected(firstGroup ? "132313445" : "");
    firstGroup = false;
    auto* type = static_cast<TVarType*>(cur().F_Pointer);
    // "T*": a prototype needs no type of its own for it.
    if (!definition && type && type->isPointer && !cur().F_String.empty() && cur().F_String.back() == '*')
      type = VarMan->PtrType();
    bool sameGroup = false;
    for (;;) {
      // b. A name.
      if (Compiler->ExpectToken({ttIdent}, true) == ttNone) unexpected();
      const std::string name = cur().F_String;
      if (findKeyword(name) != keyNone || paramExists(fn, name)) unexpected();
      // c. The parameter.
      // Aligned in 64 bits: a record near 4 GiB must not wrap to a small slot.
      const uint64_t word = static_cast<uint64_t>(ptrSize), size = type ? type->size : 0;
      const uint64_t slot = ((size > word ? size : word) + word - 1) / word * word;
      if (uint64_t{fn->ParamSize} + slot > 0x7FFFFFFFull)
        fatal("[313535] The parameters of " + std::string(vorStrView(fn->Name)) + " exceed 2 GiB");
      if (record) addParam(fn, type, name, definition);
      // d. Its default value.
      if (peekChar() == '=') {
        if (sameGroup) {
          takePeeked();
          cur().setSymbol('=');
          unexpected();
        }
        takePeeked();
        std::unique_ptr<TOperand> def = Compiler->moveNextOperand(true, false);
        // A slot of the declaring function means nothing to its callers.
        if (def->hint != otRegister && def->hint != otImm &&
            (isStackRegister(def->reg_base) || isStackRegister(def->reg_index)))
          fatal("[313534] The default value of param \"" + name + "\" names a stack slot");
        hadDefault = true;
        // A method declaration's defaults are read and dropped: its
        // definition gives the parameters and their defaults.
        if (record && !CompileFlags.peek_mode) {
          TOperand*& slot = fn->DefaultParams[fn->ParamCount - 1];
          delete slot;
          slot = def.release();
        }
      } else if (hadDefault) {
        fatal(missing + name + "\" is missing default value.");
      }
      // e. What follows.
      const char c = curFile().moveNextChar(true, false);
      if (c == ')') return;
      if (c == ',') {
        sameGroup = true;
        continue;
      }
      if (c == ';' && peekChar() == '[' && !definition) {
        takePeeked();
      } else if (c == ';') {
        break;
      } else if (!(c == '[' && !definition)) {
        setCharToken(c);
        unexpected();
      }
      // f. Uncounted arguments.
      if (const char close = curFile().moveNextChar(true, false); close != ']') {
        setCharToken(close);
        unexpected("453214");
      }
      fn->bMinParams = 1;
      if (const char close = curFile().moveNextChar(true, false); close != ')') {
        setCharToken(close);
        unexpected("453215");
      }
      return;
    }
  }
}

// The code a body ends with when its last instruction is no return, or a
// label stands after that return.
bool endsWithReturn(TFunction* fn) {
  const PInstruction last = Compiler->Assembler_().lastinstruction();
  return last && last->group == igRET && Compiler->lastReturnHolds(fn);
}

// type . name  or  type : name  after the keyword: the body of a method
// declared in a record block (the type just read). Its record.
TFunction* declaredMethod(TVarType* selfType) {
  const std::string typeName = selfType ? std::string(vorStrView(selfType->name)) : cur().F_String;
  const char sep = peekChar();
  if (sep != '.' && sep != ':') unexpected("46645");
  takePeeked();
  if (Compiler->ExpectToken({ttIdent}, true) == ttNone) unexpected("3445334");
  const std::string method = cur().F_String;
  const TVarField* field = selfType ? findField(selfType, method) : nullptr;
  if (!field)
    fatal("[35353] The var type \"" + typeName + "\" does not have a method \"" + method + "\"");
  if (field->ft != vftFunc || !field->func)
    fatal("[35354] " + typeName + " member \"" + method + "\" is not a method");
  if (!field->func->DeclareOnly)
    fatal("[35355] " + typeName + ":" + method + " has already been declared or is not a valid method");
  return field->func;
}

// A new name after the keyword: a new function or procedure of that name.
TFunction* newFunction(bool isFunc) {
  if (cur().F_Keyword != keyNone || cur().F_IdentType != itNone) Log->FatalRedeclared("24342");
  TFunction* fn = FuncMan->CreateFunction(isFunc ? ltFunc : ltProc, nullptr);
  vorStrAssign(fn->Name, cur().F_String);
  vorStrAssign(fn->ImportName, cur().F_String);
  Idents->addIdent(isFunc ? itFunc : itProc, cur().F_String, fn);
  return fn;
}

// ": type" of a function, the ":" just read.
void returnType(TFunction* fn, std::string_view code) {
  if (Compiler->ExpectIdentType({itType}) == itNone) unexpected(code);
  fn->ReturnType = static_cast<TVarType*>(cur().F_Pointer);
}

// [ ( params ) ] [ : type ] {  after the name, in the body's scope.
void signature(TFunction* fn, bool isFunc) {
  if (peekChar() == '(') {
    takePeeked();
    readParams(fn, true, true);
    if (isFunc && peekChar() == ':') {
      takePeeked();
      returnType(fn, "5514244");
    }
    if (!Compiler->ExpectSymbol("{")) unexpected();
  } else if (isFunc && peekChar() == ':') {
    takePeeked();
    returnType(fn, "5514245");
    if (!Compiler->ExpectSymbol("{")) unexpected("53457674");
  } else if (!Compiler->ExpectSymbol("{")) {
    unexpected("4533");
  }
}

// Encodes one instruction of the prologue or the closing return into fn; an
// encoder failure stops the compile with the message that starts with
// failure, then the encoder's text.
inline void emitFixed(TFunction* fn, PInstruction inst, TOperand* a, TOperand* b, std::string_view failure) {
  const uint32_t rc = Compiler->encodeInto(fn, inst, a, b, nullptr, CompileFlags.optimise);
  if (rc != ASSEMBLE_OK) fatal(std::string(failure) + TVorAssembler::errorCodeToString(rc));
  appendCode(fn, Compiler->Assembler_().popCode());
}

// Prologue: the frame, then the room that the builder fills with the
// reservation of the locals once their size is known.
void prologue(TFunction* fn, bool frame) {
  const auto width = static_cast<uint8_t>(ptrSize);
  if (frame) {
    TOperand bp, sp;
    bp.setRegister(false, regScale(REG_EBP, width));
    sp.setRegister(false, regScale(REG_ESP, width));
    emitFixed(fn, opcodeLookup("push"), &bp, nullptr, "[6233] ");
    emitFixed(fn, opcodeLookup("mov"), &bp, &sp, "[2334] ");
  }
  FixMan->addFixup(ftLocals, fn, uint32_t{0}, 0, width, 0, jtJMP);
  appendCode(fn, "\x90\x90\x90\x90\x90\x90");
  // Pushes are counted from here on.
  fn->LocalOffset = 0;
  Compiler->setBodyFrame(fn, TBodyFrame{frame, fn->BufLen});
}

// The statements of the body up to its "}".
void functionBody(TFunction* fn) {
  {
    // A body sees none of the blocks open around its definition: a break
    // inside it cannot leave an outer loop.
    struct HideBlocks {
      TBlockStack::THidden hidden = blStack->hide();
      ~HideBlocks() { blStack->restore(hidden); }
    } hide;
    Compiler->HandleDeclarations(static_cast<int32_t>(fn->FuncIndex));
  }
  if (Compiler->LastLoopEnd() != TLoopEnd::Brace) {
    if (Compiler->LastLoopEnd() == TLoopEnd::Directive) fatal("[4534] A directive ends the body of a function");
    fatal("[4535] The body of " + std::string(vorStrView(fn->Name)) + " is not closed by \"}\"");
  }
}

// The return a body ends with when it does not end with one itself.
void closingReturn(TFunction* fn, TCallingConvention cc) {
  if (endsWithReturn(fn)) return;
  TOperand imm;
  imm.setImm(false, cc == ccStdcall ? fn->ParamSize : 0, 2);
  const PInstruction ret = opcodeLookup("ret");
  Compiler->retTriggered(fn);
  emitFixed(fn, ret, &imm, nullptr, "[6234] ");
}

}  // namespace

// procedure|function [ * ] [ convention ] name [ = importname ] [ ( params ) ] [ : type ] ; [ stdcall ; ]
TFunction* handle_FUNCDECL(int32_t dwImport, TVarType* selfType) {
  const bool isFunc = cur().F_Keyword == keyFunction;
  TAFile& f = curFile();
  TVar* pointer = nullptr;
  bool isPointer = false;
  if (f.peekNextRealChar(false) == '*') {
    takePeeked();
    isPointer = true;
  }
  const TCallingConvention cc = readConventionAndName("5433345", "645222", "77544", "76112", true, false);
  const std::string name = cur().F_String;
  std::string importName = name;
  if (selfType) {
    if (findField(selfType, name)) Log->FatalRedeclared("864217");
  } else if (cur().F_IdentType != itNone) {
    Log->FatalRedeclared("864657");
  }
  if (isPointer) {
    TFunction* owner = Compiler->CurFunc();
    if (owner && owner->FuncIndex != 0) {
      const int32_t address = reserveLocal(owner, name + "$", static_cast<uint64_t>(ptrSize));
      pointer = VarMan->addVar(vmLocal, name + "$", VarMan->PtrType(), 1, address);
    } else {
      pointer = VarMan->addVar(vmGlobal, name + "$", VarMan->PtrType(), 1, 0);
    }
  }
  if (peekChar() == '=') {
    takePeeked();
    if (Compiler->ExpectToken({ttIdent}, true) == ttNone) unexpected();
    importName = cur().F_String;
  }
  TFunction* fn = FuncMan->CreateFunction(isFunc ? ltFunc : ltProc, nullptr);
  vorStrAssign(fn->Name, name);
  vorStrAssign(fn->ImportName, importName);
  fn->DLLIndex = dwImport;
  fn->CallData = pointer;
  fn->DeclareOnly = selfType ? 1 : 0;
  fn->CallConvention = cc;
  if (peekChar() == '(') {
    takePeeked();
    Idents->upScope();
    readParams(fn, false, selfType == nullptr);
    Idents->deleteScope(SSL_SCOPE_MAX);
  }
  if (isFunc) {
    if (!Compiler->ExpectSymbol(":")) unexpected();
    if (Compiler->ExpectIdentType({itType}) == itNone) unexpected();
    fn->ReturnType = static_cast<TVarType*>(cur().F_Pointer);
  }
  if (!Compiler->ExpectSymbol(";")) unexpected();
  // The old place of the convention.
  if (f.peekNextToken(false) == ttIdent && Compiler->PeekToken()->F_Keyword == keyStdcall) {
    f.moveLastPeek();
    fn->CallConvention = ccStdcall;
    if (!Compiler->ExpectSymbol(";")) unexpected();
    Log->Warning("Declaration depreciated, correct syntax: procedure " +
                 std::string(Convention2String(fn->CallConvention)) + " " + name + "(...");
  }
  if (!selfType) {
    Idents->addIdent(isFunc ? itFunc : itProc, name, fn);
    if (importName != name) Idents->addIdent(isFunc ? itFunc : itProc, importName, fn);
  }
  return fn;
}

// procedure|function [ convention ] ( name | type . method ) [ ( params ) ] [ : type ] { body }
TFunction* handle_PROCEDURE(bool isFunc) {
  const bool frameSetting = CompileFlags.stackframe_on != 0;
  const TCallingConvention cc = readConventionAndName("", "", "", "24342", false, true);
  TVarType* selfType = nullptr;
  TFunction* fn = nullptr;
  if (cur().F_IdentType == itType) {
    selfType = static_cast<TVarType*>(cur().F_Pointer);
    fn = declaredMethod(selfType);
  } else {
    fn = newFunction(isFunc);
  }
  if (cc == ccMSX64 && CompileFlags.cpu_bits != 64)
    fatal("[23422] The msx64 calling convention needs 64-bit mode");
  fn->StackFrame = frameSetting ? 1 : 0;
  fn->CallConvention = cc;
  // The frame setting is restored at the end of the body, whatever it
  // changes to inside.
  struct RestoreFrame {
    bool setting;
    ~RestoreFrame() { CompileFlags.stackframe_on = setting ? 1 : 0; }
  } restoreFrame{frameSetting};
  const bool frame = cc != ccMSX64 && frameSetting;
  CompileFlags.stackframe_on = frame ? 1 : 0;

  // The body's scope holds "this", the parameters and the locals.
  Idents->upScope();
  if (selfType) addParam(fn, VarMan->PtrType(), "this", true);
  signature(fn, isFunc);
  if (fn->bMinParams && cc != ccCDecl)
    fatal("[23421] Only cdecl calling convention support uncounted arguments[]");
  prologue(fn, frame);
  functionBody(fn);
  closingReturn(fn, cc);
  fn->DeclareOnly = 0;
  Compiler->Assembler_().setLastinstruction(&empty_instruction);
  return fn;
}

}  // namespace vorak
