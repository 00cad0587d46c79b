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
bool isStackOrFrameRegister(TRegister r) {
  return r == REG_SP || r == REG_BP || r == REG_ESP || r == REG_EBP || r == REG_RSP || r == REG_RBP;
}

// The name after the keyword, with an optional convention in front of it. On
// return the current token is the name.
TCallingConvention readConventionAndName(unx::Id noName, unx::Id noNameAfterCC, unx::Id keywordAfterCC,
                                         unx::Id otherKeyword) {
  TCallingConvention cc = DefaultCC;
  if (Compiler->ExpectToken({ttIdent}) == ttNone) unexpected(noName);
  const TKeyword key = cur().F_Keyword;
  if (key == keyNone) return cc;
  // A keyword in the name's place: unexpected, or redeclared, as its row says.
  if (!isConventionKey(key)) unexpected(otherKeyword);
  cc = Key2Convention(key);
  if (Compiler->ExpectToken({ttIdent}) == ttNone) unexpected(noNameAfterCC);
  if (cur().F_Keyword != keyNone) unexpected(keywordAfterCC);
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
  const msg::Id missing = definition ? msg::ParamDefaultMissing : msg::DeclParamDefaultMissing;
  bool hadDefault = false;
  bool firstGroup = true;
  for (;;) {
    // a. The type of a group.
    if (Compiler->ExpectIdentType({itType}) == itNone) unexpected(firstGroup ? unx::ParamFirstType : unx::Token);
    firstGroup = false;
    auto* type = static_cast<TVarType*>(cur().F_Pointer);
    // "T*": a prototype needs no type of its own for it.
    if (!definition && type && type->isPointer && !cur().F_String.empty() && cur().F_String.back() == '*')
      type = VarMan->PtrType();
    bool sameGroup = false;
    for (;;) {
      // b. A name.
      if (Compiler->ExpectToken({ttIdent}, true) == ttNone) unexpected(unx::Token);
      const std::string name = cur().F_String;
      if (findKeyword(name) != keyNone || paramExists(fn, name)) unexpected(unx::Token);
      // c. The parameter.
      // Aligned in 64 bits: a record near 4 GiB must not wrap to a small slot.
      const uint64_t word = static_cast<uint64_t>(ptrSize), size = type ? type->size : 0;
      const uint64_t slot = ((size > word ? size : word) + word - 1) / word * word;
      if (uint64_t{fn->ParamSize} + slot > 0x7FFFFFFFull)
        fatal(msg::ParamsTooLarge, vorStrView(fn->Name));
      if (record) addParam(fn, type, name, definition);
      // d. Its default value.
      if (peekChar() == '=') {
        if (sameGroup) {
          takePeeked();
          cur().setSymbol('=');
          unexpected(unx::Token);
        }
        takePeeked();
        std::unique_ptr<TOperand> def = Compiler->moveNextOperand(true, false);
        // A slot of the declaring function means nothing to its callers.
        if (def->hint != otRegister && def->hint != otImm &&
            (isStackOrFrameRegister(def->reg_base) || isStackOrFrameRegister(def->reg_index)))
          fatal(msg::ParamDefaultStackSlot, name);
        hadDefault = true;
        // A method declaration's defaults are read and dropped: its
        // definition gives the parameters and their defaults.
        if (record && !CompileFlags.peek_mode) {
          TOperand*& slot = fn->DefaultParams[fn->ParamCount - 1];
          delete slot;
          slot = def.release();
        }
      } else if (hadDefault) {
        fatal(missing, name);
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
        unexpected(unx::Token);
      }
      // f. Uncounted arguments.
      if (const char close = curFile().moveNextChar(true, false); close != ']') {
        setCharToken(close);
        unexpected(unx::UncountedClose);
      }
      fn->bMinParams = 1;
      if (const char close = curFile().moveNextChar(true, false); close != ')') {
        setCharToken(close);
        unexpected(unx::UncountedParen);
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
  if (sep != '.' && sep != ':') unexpected(unx::MethodSeparator);
  takePeeked();
  if (Compiler->ExpectToken({ttIdent}, true) == ttNone) unexpected(unx::MethodName);
  const std::string method = cur().F_String;
  const TVarField* field = selfType ? findField(selfType, method) : nullptr;
  if (!field)
    fatal(msg::MethodUnknown, typeName, method);
  if (field->ft != vftFunc || !field->func)
    fatal(msg::MethodNotMethod, typeName, method);
  if (!field->func->DeclareOnly)
    fatal(msg::MethodDeclared, typeName, method);
  return field->func;
}

// A new name after the keyword: a new function or procedure of that name.
TFunction* newFunction(bool isFunc) {
  if (cur().F_Keyword != keyNone || cur().F_IdentType != itNone) unexpected(unx::ProcNameRedeclared);
  TFunction* fn = FuncMan->CreateFunction(isFunc ? ltFunc : ltProc, nullptr);
  vorStrAssign(fn->Name, cur().F_String);
  vorStrAssign(fn->ImportName, cur().F_String);
  Idents->addIdent(isFunc ? itFunc : itProc, cur().F_String, fn);
  return fn;
}

// ": type" of a function, the ":" just read.
void returnType(TFunction* fn, unx::Id code) {
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
      returnType(fn, unx::ReturnTypeAfterParams);
    }
    if (!Compiler->ExpectSymbol("{")) unexpected(unx::Token);
  } else if (isFunc && peekChar() == ':') {
    takePeeked();
    returnType(fn, unx::ReturnType);
    if (!Compiler->ExpectSymbol("{")) unexpected(unx::FunctionBodyOpenAfterType);
  } else if (!Compiler->ExpectSymbol("{")) {
    unexpected(unx::FunctionBodyOpen);
  }
}

// Encodes one instruction of the prologue or the closing return into fn; an
// encoder failure stops the compile with the message failure, the encoder's
// text in its place.
inline void emitFixed(TFunction* fn, PInstruction inst, TOperand* a, TOperand* b, msg::Id failure) {
  const uint32_t rc = Compiler->encodeInto(fn, inst, a, b, nullptr, CompileFlags.optimise);
  if (rc != ASSEMBLE_OK) fatal(failure, TVorAssembler::errorCodeToString(rc));
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
    emitFixed(fn, opcodeLookup("push"), &bp, nullptr, msg::ProloguePushEncode);
    emitFixed(fn, opcodeLookup("mov"), &bp, &sp, msg::PrologueMovEncode);
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
    if (Compiler->LastLoopEnd() == TLoopEnd::Directive) fatal(msg::FunctionBodyAtDirective);
    fatal(msg::FunctionBodyNotClosed, vorStrView(fn->Name));
  }
}

// The return a body ends with when it does not end with one itself.
void closingReturn(TFunction* fn, TCallingConvention cc) {
  if (endsWithReturn(fn)) return;
  TOperand imm;
  imm.setImm(false, cc == ccStdcall ? fn->ParamSize : 0, 2);
  const PInstruction ret = opcodeLookup("ret");
  Compiler->retTriggered(fn);
  emitFixed(fn, ret, &imm, nullptr, msg::ClosingReturnEncode);
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
  const TCallingConvention cc = readConventionAndName(unx::DeclName, unx::DeclNameAfterConvention,
                                                         unx::DeclNameAfterConventionRedeclared, unx::DeclKeyword);
  // Refused where it stands, as a definition is, not at its first call.
  if (cc == ccMSX64 && CompileFlags.cpu_bits != 64) fatal(msg::Msx64Needs64);
  const std::string name = cur().F_String;
  std::string importName = name;
  if (selfType) {
    if (findField(selfType, name)) unexpected(unx::MethodRedeclared);
  } else if (cur().F_IdentType != itNone) {
    unexpected(unx::DeclRedeclared);
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
    if (Compiler->ExpectToken({ttIdent}, true) == ttNone) unexpected(unx::Token);
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
    if (!Compiler->ExpectSymbol(":")) unexpected(unx::Token);
    if (Compiler->ExpectIdentType({itType}) == itNone) unexpected(unx::Token);
    fn->ReturnType = static_cast<TVarType*>(cur().F_Pointer);
  }
  if (!Compiler->ExpectSymbol(";")) unexpected(unx::Token);
  // The old place of the convention.
  if (f.peekNextToken(false) == ttIdent && Compiler->PeekToken()->F_Keyword == keyStdcall) {
    f.moveLastPeek();
    fn->CallConvention = ccStdcall;
    if (!Compiler->ExpectSymbol(";")) unexpected(unx::Token);
    Log->Warning(msg::DeclarationDepreciated, Convention2String(fn->CallConvention), name);
  }
  // A pointer or an import gets no definition that could refuse it later:
  // refused here, where a call with more arguments would meet [6311]. A
  // method is refused at its definition.
  if (!selfType && fn->bMinParams && fn->CallConvention != ccCDecl) fatal(msg::UncountedNotCdecl);
  if (!selfType) {
    Idents->addIdent(isFunc ? itFunc : itProc, name, fn);
    if (importName != name) Idents->addIdent(isFunc ? itFunc : itProc, importName, fn);
  }
  return fn;
}

// procedure|function [ convention ] ( name | type . method ) [ ( params ) ] [ : type ] { body }
TFunction* handle_PROCEDURE(bool isFunc) {
  const bool frameSetting = CompileFlags.stackframe_on != 0;
  const TCallingConvention cc = readConventionAndName(unx::Token, unx::Token, unx::Token, unx::ProcNameRedeclared);
  TVarType* selfType = nullptr;
  TFunction* fn = nullptr;
  if (cur().F_IdentType == itType) {
    selfType = static_cast<TVarType*>(cur().F_Pointer);
    fn = declaredMethod(selfType);
  } else {
    fn = newFunction(isFunc);
  }
  if (cc == ccMSX64 && CompileFlags.cpu_bits != 64)
    fatal(msg::Msx64Needs64);
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
    fatal(msg::UncountedNotCdecl);
  prologue(fn, frame);
  functionBody(fn);
  if (const TBodyFrame* body = Compiler->bodyFrame(fn); body && body->roundRoom)
    fn->LocalSize = (fn->LocalSize + 15) & ~15u;
  closingReturn(fn, cc);
  fn->DeclareOnly = 0;
  Compiler->Assembler_().setLastinstruction(&empty_instruction);
  return fn;
}

}  // namespace vorak
