// The compiler object: owns the encoder, the loaded source buffers and the
// token records, holds the current source and function, and drives one
// compile: the statement loop, the operand parser and instruction emission.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CurTokenUnit.h"
#include "encoder/InstructionTable.h"
#include "encoder/Operand.h"
#include "plugins/PluginRecords.h"

namespace vorak {

class TAFile;
class TVorAssembler;
struct TFunction;

// Where a label that is not placed yet was first referred to. The buffer is
// always one of the compiler's listed buffers, which live until shut-down.
struct TLabelReference {
  TAFile* file = nullptr;
  uint32_t line = 0;
  uint32_t lineChar = 0;
  uint32_t chr = 0;
};

// How a function body lays out its stack, fixed when the body begins.
struct TBodyFrame {
  bool frame = true;     // locals and parameters addressed from the frame pointer
  uint32_t roomEnd = 0;  // code length right after the locals room
  bool roundRoom = false;  // the locals room ends at a multiple of 16 bytes
  // Without a frame: no path falls through to the code emitted next (after
  // a jump, a return), so its depth comes from the jumps to the next label.
  bool dead = false;
  // Without a frame: bytes the body's own "sub esp, n" set aside (not
  // pushes: no callee takes them for its arguments).
  uint32_t reserved = 0;
};

// The stack depth a label of a body without a frame is reached with: by the
// jumps to it seen so far, or by the code that runs into it.
struct TLabelDepth {
  const TFunction* fn = nullptr;
  uint32_t depth = 0;
};

// The clean-up "add rsp, n" of the last msx64 call, which the next call may
// take back instead of reserving again: valid only while nothing else was
// emitted, placed or filed after it.
struct TReserveMark {
  TFunction* fn = nullptr;
  uint32_t end = 0;        // the function's code length after the clean-up
  uint32_t bytes = 0;      // what the clean-up released
  uint32_t len = 0;        // its length in bytes
  size_t fixups = 0;       // the function's fixups then
  size_t records = 0;      // function records then (a new label is one)
  uint32_t placed = 0;     // labels placed then
};

// How the last statement loop ended.
enum class TLoopEnd : uint8_t { EndOfSource, Brace, Directive };

// The directive that closed the last statement loop a directive closed.
enum class TClosingDirective : uint8_t { None, End, Else, Elseif, Return };

// Around a return instruction with its epilogue: the epilogue's pops leave
// the function there, while the code after the return is reached with
// everything still pushed, so the stack depth goes back to what it was.
class TReturnDepth {
 public:
  TReturnDepth(TFunction* fn, PInstruction inst);
  ~TReturnDepth();
  TReturnDepth(const TReturnDepth&) = delete;
  TReturnDepth& operator=(const TReturnDepth&) = delete;

 private:
  TFunction* F_Fn;
  uint32_t F_Depth = 0;
};

// Room for one operand record on the stack, made only when an operand is
// read into it (an instruction line keeps room for three and mostly uses
// one or two).
class TOperandRoom {
 public:
  TOperand& make() { return *::new (static_cast<void*>(bytes_)) TOperand(); }

 private:
  static_assert(std::is_trivially_destructible_v<TOperand>);
  alignas(TOperand) unsigned char bytes_[sizeof(TOperand)];
};

class TCompiler {
 public:
  TCompiler();
  ~TCompiler();
  TCompiler(const TCompiler&) = delete;
  TCompiler& operator=(const TCompiler&) = delete;

  void InitCompiler();
  // Loads the project file; a missing file is a fatal error.
  void LoadProject(const std::string& projFile);
  // Compiles the loaded project: the program header, the standard include,
  // the whole source, the closing checks. Always 0; failures are fatal.
  uint32_t Compile();
  uint32_t GetTotalLines() const;

  TVorAssembler& Assembler_() { return *F_Assembler; }
  std::vector<TAFile*>& FileList() { return F_ListFiles; }
  TAFile* CurFile() const { return F_CurFile; }
  void setCurFile(TAFile* f) { F_CurFile = f; }
  TFunction* CurFunc() const { return F_CurFunc; }
  void setCurFunc(TFunction* f) { F_CurFunc = f; }
  TCurrentToken* CurToken() const { return F_CurToken; }
  TCurrentToken* PeekToken() const { return F_PeekToken; }
  // The main program "rtlmain" of the running compile (nil before Compile).
  TFunction* MainFunc() const { return F_MainFunc; }

  // Each reads exactly one token from the current file into the current
  // token and answers whether it is what the caller expects; the caller
  // reports the error.
  // True for the symbol Expected (compared byte for byte).
  bool ExpectSymbol(std::string_view Expected);
  // The token's kind when it is one of Expected, else ttNone.
  TVorToken ExpectToken(std::initializer_list<TVorToken> Expected, bool cleanIdent = false);
  // The identifier type of a ttIdent token when it is one of Expected, else itNone.
  TIdentType ExpectIdentType(std::initializer_list<TIdentType> Expected);
  // True for an identifier that names nothing yet.
  bool ExpectFreeIdent();
  // The keyword of a ttIdent token when it is one of Expected, else keyNone.
  TKeyword ExpectKeyword(std::initializer_list<TKeyword> Expected);

  // While a token is read ahead, the tokens that its reading consumes on the
  // way (arguments, bracket items) land in a spare token, so the current
  // token is left as it was. beginPeek installs the spare and returns the
  // token it replaced; endPeek puts that back. Peeks nest.
  TCurrentToken* beginPeek();
  void endPeek(TCurrentToken* saved);

  // Compiles text as a nested source of that name, whose parent is the
  // current source, into the current function, and returns when the text
  // ends: the parent then goes on where it stood. False (nothing compiled)
  // outside a compile.
  bool compileText(const std::string& name, const std::string& text);

  // ---- Evaluated texts ----
  // Makes text, named name, the current source, read like an included text:
  // at its end the reader goes on in the text that held it, after the
  // directive. The compiler owns it and frees it once nothing reads it any
  // more (releaseEvalTexts).
  void openEvalText(const std::string& name, const std::string& text);
  // Keeps a source, and the texts that hold it, from being freed while
  // something is to read it again (the start of a #repeat, the text a
  // running macro was called from). Pins are released last first.
  void pinFile(TAFile* f) { F_Pins.push_back(f); }
  void unpinFile() {
    F_Pins.pop_back();
    releaseEvalTexts();
  }
  // Frees the evaluated texts that no reader stands in or comes back to:
  // neither the current source nor a pinned one nor a text that a running
  // macro was called from, nor a text that holds one of them.
  void releaseEvalTexts() {
    if (!F_EvalTexts.empty()) collectEvalTexts();
  }
  // Evaluated texts alive now.
  size_t EvalTextCount() const { return F_EvalTexts.size(); }

  // ---- Statement loop (StatementLoop.cpp) ----
  // Compiles statements from the current buffer until the end of a buffer
  // without parent, a "}" or a directive that closes the enclosing block.
  // funcIndex >= 0 compiles the body of that function: it becomes CurFunc
  // for the loop, and the loop closes the identifier scope at its end.
  // A loop that compiles the body of a conditional or a repeat reads on in
  // the text that holds an evaluated text when it reaches that text's end;
  // a loop of any other kind ends there when it began in that text.
  void HandleDeclarations(int32_t funcIndex, bool directiveBody = false);
  // Why the last HandleDeclarations returned.
  TLoopEnd LastLoopEnd() const { return F_LoopEnd; }
  void setLastLoopEnd(TLoopEnd e) { F_LoopEnd = e; }
  // Which directive, when the last loop ended by one (None otherwise). The
  // directive dispatcher records it before it ends the loop.
  TClosingDirective LastClosingDirective() const { return F_ClosingDirective; }
  void setLastClosingDirective(TClosingDirective d) { F_ClosingDirective = d; }
  // Statement loops running now, 0 outside any: a loop that a directive
  // opens runs at the depth of the directive's loop + 1.
  uint32_t LoopDepth() const { return F_LoopDepth; }
  // Statement loops that may run inside each other; one more is a fatal
  // error (BlocksTooDeep).
  static constexpr uint32_t kMaxLoopDepth = 1000;

  // ---- Operand parser (Operands.cpp) ----
  // Reads one operand (after its "," unless first). regLblRef: a name not
  // declared yet becomes a forward label. Errors are fatal.
  std::unique_ptr<TOperand> moveNextOperand(bool first, bool regLblRef);
  // The operand that the current token (already read) stands for.
  std::unique_ptr<TOperand> operandFromToken(bool regLblRef);
  // Where the operand moveNextOperand read last stands in the source, and
  // its text, blanks trimmed, for a message that names it; the text is empty
  // when the operand did not stand in one buffer (a macro argument, say).
  struct TOperandSpan {
    const TAFile* file = nullptr;
    uint32_t from = 0, to = 0;
  };
  TOperandSpan lastOperandSpan() const { return F_LastOperand; }
  static std::string_view spanText(const TOperandSpan& span);
  std::string_view lastOperandText() const { return spanText(F_LastOperand); }
  // A memory operand of a size that no integer operand of the mode has (8
  // bytes outside 64-bit code, 3 bytes anywhere) stops the compile with a
  // message that names it as text (nil and any other operand return).
  static void refuseOperandSize(const TOperand* op, std::string_view text);
  // The same, naming the operand by its source text, which is looked up
  // only when the operand is refused.
  static void refuseOperandSize(const TOperand* op, const TOperandSpan& span);
  // An index the operand just read did not take stops the compile.
  void refuseStrayIndex() const {
    if (F_CurFile->isIndexNext()) strayIndex();
  }
  [[noreturn]] static void strayIndex();
  // The current token, a memory expression in brackets, as the operand
  // parser reads it.
  void bracketFromToken(TOperand& op);
  // moveNextOperand for an instruction line: a plain operand is read
  // straight from the buffer (see directLines) into room, the current
  // token then left as it was; any other through the tokenizer into owned.
  // Returns the operand read.
  TOperand* readInstructionOperand(bool first, bool regLblRef, TOperandRoom& room, std::unique_ptr<TOperand>& owned);
  // Whether plain instruction lines are read straight from the buffer
  // rather than token by token (the same code and messages either way; off
  // only to compare the two).
  bool directLines() const { return F_DirectLines; }
  void setDirectLines(bool on) { F_DirectLines = on; }
  // A local variable, parameter or local function pointer of CurFunc as a
  // memory operand: displacement disp into it, size bytes; record goes into
  // the operand's data (a function pointer's callee), nil otherwise.
  void stackSlot(TOperand& op, bool iss, const TVar* v, int32_t disp, uint32_t size, void* record) const;

  // ---- Function bodies ----
  // The layout of fn's body; nil for the main program and for functions
  // whose body has not begun.
  const TBodyFrame* bodyFrame(const TFunction* fn) const;
  void setBodyFrame(const TFunction* fn, const TBodyFrame& b) {
    F_Bodies[fn] = b;
    F_PathFn = nullptr;
  }
  // Has the locals room of fn's body (one with a frame) rounded up to a
  // multiple of 16 bytes when the body ends, so that a call aligned for it
  // stays aligned whatever locals the body declares after the call.
  void roundLocalsRoom(const TFunction* fn) {
    if (auto it = F_Bodies.find(fn); it != F_Bodies.end()) it->second.roundRoom = true;
  }
  // Whether fn addresses its stack from the frame pointer.
  bool usesFrame(const TFunction* fn) const;
  TReserveMark& reserveMark() { return F_Reserve; }
  uint32_t labelsPlaced() const { return F_LabelsPlaced; }
  // Notes that a label was placed: code before it may be jumped to from
  // elsewhere, so nothing before it may be taken back.
  void noteLabelPlaced() { ++F_LabelsPlaced; }
  // Whether the last return instruction encoded went into fn and no label
  // has been made or placed since (so it still ends fn's code).
  bool lastReturnHolds(const TFunction* fn) const;

  // ---- Emission (Emission.cpp) ----
  // Encodes one instruction by mnemonic and appends it to fn, keeping fn's
  // stack depth. An encoder failure is fatal (InstructionEncode); a mnemonic
  // that is not in the table emits nothing and answers ERROR_OPCODE_UNKNOWN.
  uint32_t execInstruction(TFunction* fn, std::string_view strName, TOperand* op1 = nullptr,
                           TOperand* op2 = nullptr, TOperand* op3 = nullptr);
  // The same, but the bytes are returned instead of appended (the epilogue
  // of a return is still appended to fn); empty when it cannot be built.
  std::string buildInstruction(TFunction* fn, std::string_view strName, TOperand* op1 = nullptr,
                               TOperand* op2 = nullptr, TOperand* op3 = nullptr);
  // Emits fn's epilogue: locals released, saved registers restored, frame
  // torn down, as the function needs before its return instruction.
  void retTriggered(TFunction* fn);
  // Encodes one row without any message; on success the stack-depth
  // bookkeeping is done on fn and the bytes are left in the encoder's buffer
  // for popCode. The shared step of every emission road.
  uint32_t encodeInto(TFunction* fn, PInstruction inst, TOperand* op1, TOperand* op2, TOperand* op3,
                      bool optimise);
  // Keeps fn's stack depth after an instruction written in the source that
  // writes the stack pointer (pushes, pops and calls are counted when they
  // are encoded): an add or sub of a number and a lea from the stack pointer
  // move it; any other change is warned in a body without a frame, and so
  // is a call whose callee may take pushed bytes away as its arguments.
  void followStackWrite(TFunction* fn, const TInstruction& inst, const TOperand* o1, const TOperand* o2);
  // The same for a generated instruction named by its mnemonic; the row is
  // looked up only when an operand is the stack pointer.
  void followStackWrite(TFunction* fn, std::string_view mnemonic, const TOperand* o1, const TOperand* o2);

  // ---- The stack depth along the code's paths (bodies without a frame) ----
  // A label is placed in CurFunc: the depth the jumps to it carry and the
  // depth of the code that runs into it must agree; after a jump or a
  // return the label's depth is the one the code goes on with. written: a
  // label of the source, reached perhaps by jumps the compiler cannot see,
  // so code after it is taken as reached even when no jump to it is known.
  void arriveAt(TFunction* label, bool written);
  // The depth a label will be reached with by a jump emitted later (a case
  // state, which the scan after the body jumps to).
  void expectDepth(const TFunction* label, uint32_t depth);
  // While the destination of a pop written in the source is read: a stack
  // slot is addressed as the processor does, after the pop raised the stack
  // pointer. Code that a macro in the operand compiles is not the pop's.
  void setPopTarget(bool on) { F_PopTargetLoop = on ? F_LoopDepth : 0; }
  // Appends the encoder's bytes of the row just encoded to fn, noting where
  // a return instruction ends.
  void appendEncoded(TFunction* fn, PInstruction inst);
  // fn's code ends with a return instruction that no label follows (a label
  // at the end is jumped to and would run off the end).
  bool endsWithReturn(const TFunction* fn) const;

  // ---- Labels ----
  // A label record for a name used before its label is placed (ltRef),
  // called from CurFunc, declared as itLabel, with the place of this first
  // reference noted for the report of a label that is never placed.
  TFunction* createForwardLabel(std::string_view name);
  // Makes a referenced label a placed one at the end of CurFunc's code.
  void placeLabel(TFunction* label);
  // Notes the reader's place as where a label not placed yet was first
  // referred to.
  void noteLabelReference(TFunction* label);
  // The place of the first reference to a label not placed yet, or nil.
  const TLabelReference* labelReference(const TFunction* label) const;
  // Where the reader stands, in the nearest listed buffer (a temporary one
  // is gone by the time a later message could name it); no file when none.
  TSourceSpot currentSpot() const;

 private:
  // The nearest buffer, from the current one through its parents, that the
  // file list owns (so it outlives the compile); nil when there is none.
  TAFile* nearestListedFile() const;
  // The state of fn's body when it has no frame (its slots are read from
  // the stack pointer), else nil.
  TBodyFrame* pathBody(const TFunction* fn);
  // The depth bookkeeping of a jump, return, call or enter just encoded.
  void followPath(TFunction* fn, PInstruction inst, const TOperand* op1, const TOperand* op2);
  // A path reaches label with depth now, where others reached it with
  // earlier: the message that names the place and both depths.
  [[noreturn]] void depthsDisagree(const TFunction* label, uint32_t earlier, uint32_t now, bool written) const;
  void collectEvalTexts();

  std::unique_ptr<TVorAssembler> F_Assembler;
  std::vector<TAFile*> F_ListFiles;
  std::vector<std::unique_ptr<TAFile>> F_EvalTexts;
  std::vector<TAFile*> F_Pins;
  TAFile* F_CurFile = nullptr;
  TFunction* F_CurFunc = nullptr;
  TFunction* F_MainFunc = nullptr;
  TCurrentToken* F_CurToken = nullptr;
  TCurrentToken* F_PeekToken = nullptr;
  bool F_Initialised = false;
  std::vector<TCurrentToken*> F_SpareTokens;  // one per peek depth, owned
  uint32_t F_PeekDepth = 0;
  TLoopEnd F_LoopEnd = TLoopEnd::EndOfSource;
  TClosingDirective F_ClosingDirective = TClosingDirective::None;
  uint32_t F_LoopDepth = 0;
  bool F_DirectLines = true;
  // Label records are no place for a buffer pointer (their Address is 32
  // bits), so first references are kept here, keyed by the label record.
  std::unordered_map<const TFunction*, TLabelReference> F_LabelRefs;
  std::unordered_map<const TFunction*, TBodyFrame> F_Bodies;
  TReserveMark F_Reserve;
  // The depth each label of a body without a frame is reached with.
  std::unordered_map<const TFunction*, TLabelDepth> F_LabelDepths;
  // Labels of the source (not of a statement), for the message that names one.
  std::unordered_set<const TFunction*> F_WrittenLabels;
  // The body state of the last function looked up by pathBody.
  const TFunction* F_PathFn = nullptr;
  TBodyFrame* F_PathBody = nullptr;
  uint32_t F_PopTargetLoop = 0;  // the statement loop of the pop being read; 0 for none
  uint32_t F_LabelsPlaced = 0;
  // A few integers per operand, turned into text only for a message.
  TOperandSpan F_LastOperand;
  struct {
    const TFunction* fn = nullptr;
    size_t records = 0;
    uint32_t placed = 0;
  } F_LastReturn;
  // Per function, the code length right after its last return instruction.
  std::unordered_map<const TFunction*, uint32_t> F_ReturnEnds;
};

// A pin on a source for as long as it lives (TCompiler::pinFile).
class TFilePin {
 public:
  explicit TFilePin(TAFile* f) { Compiler->pinFile(f); }
  ~TFilePin() { Compiler->unpinFile(); }
  TFilePin(const TFilePin&) = delete;
  TFilePin& operator=(const TFilePin&) = delete;
};

// The running compile's current token, source and function, as the readers
// and statement handlers reach them.
inline TCurrentToken& cur() { return *Compiler->CurToken(); }
inline TAFile& curFile() { return *Compiler->CurFile(); }
inline TFunction* curFunc() { return Compiler->CurFunc(); }
// The next byte that is not a blank (control bytes skipped), not consumed;
// takePeeked moves past it. Names are also resolved with no source open
// (before the project is loaded): there is no next byte then.
inline char peekChar() {
  TAFile* f = Compiler->CurFile();
  return f ? f->peekNextRealChar(true) : '\0';
}
inline void takePeeked() { curFile().setPosition(curFile().lastPeek()); }

}  // namespace vorak
