// The encoder object: its byte buffer, result texts, the listing of
// -asmdebug, and assemble with its entry checks and the dispatch to the groups.
#include "encoder/VorAssembler.h"

#include <charconv>
#include <cstring>
#include <exception>
#include <iterator>

#include "compiler/driver/Common.h"
#include "compiler/driver/Messages.h"
#include "compiler/driver/Settings.h"
#include "compiler/output/FileWriter.h"
#include "compiler/statements/Compiler.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/RegisterManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "encoder/FixupManager.h"

namespace vorak {

namespace {

using TGroupRule = uint32_t (TVorAssembler::*)(const TEncodeArgs&);

// Indexed by TInstructionGroup; push and pop, and the two x87 memory groups,
// share a rule.
constexpr TGroupRule kGroupRules[] = {
    &TVorAssembler::encodeEMIT,         // igEMIT
    &TVorAssembler::encodeALU,          // igALU
    &TVorAssembler::encodeLEA,          // igLEA
    &TVorAssembler::encodePUSHPOP,      // igPUSH
    &TVorAssembler::encodePUSHPOP,      // igPOP
    &TVorAssembler::encodeCALL,         // igCALL
    &TVorAssembler::encodeGOTO,         // igGOTO
    &TVorAssembler::encodeINCDEC,       // igINCDEC
    &TVorAssembler::encodeBT,           // igBT
    &TVorAssembler::encodeROT,          // igROT
    &TVorAssembler::encodeSHLRD,        // igSHLRD
    &TVorAssembler::encodeRM_S,         // igRM_S
    &TVorAssembler::encodeENTER,        // igENTER
    &TVorAssembler::encodeBSWAP,        // igBSWAP
    &TVorAssembler::encodeMMU_MOVQ,     // igMMU_MOVQ
    &TVorAssembler::encodeMOVSX_MOVZX,  // igMOVSX_MOVZX
    &TVorAssembler::encodeMOV,          // igMOV
    &TVorAssembler::encodeTEST,         // igTEST
    &TVorAssembler::encodeREGMEM,       // igREGMEM
    &TVorAssembler::encodeRET,          // igRET
    &TVorAssembler::encodeXCHG,         // igXCHG
    &TVorAssembler::encodeIMUL,         // igIMUL
    &TVorAssembler::encodeREG_REGMEM,   // igREG_REGMEM
    &TVorAssembler::encodeREGMEM_REG,   // igREGMEM_REG
    &TVorAssembler::encodeX87_FPU_S,    // igX87_FPU_S
    &TVorAssembler::encodeX87_FPU,      // igX87_FPU
    &TVorAssembler::encodeX87_MEM,      // igX87_MEM_STI
    &TVorAssembler::encodeX87_MEM,      // igX87_MEM
    &TVorAssembler::encodeMOVSD,        // igMOVSD
    &TVorAssembler::encodeSSE,          // igSSE
    &TVorAssembler::encodeMMU_MOV,      // igMMU_MOV
};
static_assert(std::size(kGroupRules) == ig__TOTAL, "one rule per instruction group");
static_assert(igMMU_MOV == 30, "groups above igMMU_MOV are unknown to assemble");

constexpr char kHex[] = "0123456789ABCDEF";

}  // namespace

// Keeps the nesting depth of assemble, and puts the buffer back when a group
// rule raises (a fatal error of the log) halfway through an instruction:
// assemble marks each of its own returns, so only an exception leaves the
// guard unmarked.
class TVorAssembler::TNesting {
 public:
  explicit TNesting(TVorAssembler& a) : a_(a), entry_(a.mark()) { ++a_.F_depth; }
  ~TNesting() {
    --a_.F_depth;
    if (!returned_) a_.rollback(entry_);
  }
  TNesting(const TNesting&) = delete;
  TNesting& operator=(const TNesting&) = delete;
  const TMark& entry() const { return entry_; }
  uint32_t returning(uint32_t rc) {
    returned_ = true;
    return rc;
  }

 private:
  TVorAssembler& a_;
  TMark entry_;
  bool returned_ = false;
};

TVorAssembler::TVorAssembler() : F_code(std::make_unique<uint8_t[]>(64)), F_codeCap(64) {
  // Sized for the longest instruction and its listing, so encoding one
  // instruction does not allocate.
  F_pending.reserve(16);
  F_listing.reserve(256);
}

void TVorAssembler::growCode(size_t need) {
  size_t cap = 2 * F_codeCap;
  while (cap - F_codeLen < need) cap *= 2;
  auto bigger = std::make_unique<uint8_t[]>(cap);
  std::memcpy(bigger.get(), F_code.get(), F_codeLen);
  F_code = std::move(bigger);
  F_codeCap = cap;
}

bool TVorAssembler::addBytes(std::span<const uint8_t> bytes, uint32_t len) {
  if (len > bytes.size()) return false;
  putBytes(bytes.data(), len);
  return true;
}

void TVorAssembler::listBytes(const uint8_t* bytes, uint32_t len) {
  if (F_depth == 0 ? !listing() : !F_listOn) return;
  char text[16 * 3];
  while (len) {
    const uint32_t n = len < 16 ? len : 16;
    for (uint32_t i = 0; i < n; ++i) {
      text[3 * i] = kHex[bytes[i] >> 4];
      text[3 * i + 1] = kHex[bytes[i] & 15];
      text[3 * i + 2] = ' ';
    }
    listText(std::string_view(text, 3 * n));
    bytes += n;
    len -= n;
  }
}

std::string TVorAssembler::popCode() {
  std::string code(getCode());
  clearCode();
  return code;
}

std::string TVorAssembler::errorCodeToString(uint32_t code) {
  switch (code) {
    case ASSEMBLE_OK: return msg::text(msg::AsmOk);
    case ERROR_OPERAND_INVALID: return msg::text(msg::AsmOperandInvalid);
    case ERROR_OPERAND_SIZE_MISMATCH: return msg::text(msg::AsmOperandSizeMismatch);
    case ERROR_OPERAND_FLOAT_4_8: return msg::text(msg::AsmOperandFloat);
    case ERROR_OPERAND1_INVALID: return msg::text(msg::AsmOperand1Invalid);
    case ERROR_OPERAND2_INVALID: return msg::text(msg::AsmOperand2Invalid);
    case ERROR_OPERAND3_INVALID: return msg::text(msg::AsmOperand3Invalid);
    case ERROR_OPERAND_COUNT_MIN: return msg::text(msg::AsmTooFewOperands);
    case ERROR_OPERAND_COUNT_MAX: return msg::text(msg::AsmTooManyOperands);
    case ERROR_OPERAND_TYPE_MISMATCH: return msg::text(msg::AsmOperandTypeMismatch);
    case ERROR_MODE_SUPPORT: return msg::text(msg::AsmModeSupport, std::to_string(CompileFlags.cpu_bits));
    case ERROR_PUSH_BYTE: return msg::text(msg::AsmPushByte);
    case ERROR_DISPLACEMENT_RANGE: return msg::text(msg::AsmDisplacementRange);
    case ERROR_OPCODE_UNKNOWN: return msg::text(msg::AsmOpcodeUnknown);
    case ERROR_OPCODE_NULL: return msg::text(msg::AsmOpcodeNull);
    case ERROR_NOT_SUPPORTED: return msg::text(msg::AsmNotSupported);
    default: return msg::text(msg::AsmUnknownResult, std::to_string(code));
  }
}

void TVorAssembler::addFixupField(TFixupType ft, void* func, uint32_t index, uint8_t size,
                                  uint32_t ofs, TJmpType jt) {
  F_pending.push_back({ft, func, true, index, nullptr, position(), size, ofs, jt});
  addBytes(0, size);
  if (F_depth == 0) commitFixups();
}

void TVorAssembler::addFixupField(TFixupType ft, void* func, void* data, uint8_t size, uint32_t ofs,
                                  TJmpType jt) {
  F_pending.push_back({ft, func, false, 0, data, position(), size, ofs, jt});
  addBytes(0, size);
  if (F_depth == 0) commitFixups();
}

void TVorAssembler::rollback(const TMark& m) {
  F_codeLen = m.bytes;
  F_pending.resize(m.fixups);
  F_listing.resize(m.listing);
}

void TVorAssembler::commitFixups() {
  if (F_pending.empty()) return;
  if (FixMan) {
    for (const TPendingFixup& p : F_pending) {
      TFunction* func = static_cast<TFunction*>(p.func);
      const int32_t pos = static_cast<int32_t>(p.position);
      if (p.byIndex)
        FixMan->addFixup(p.hint, func, p.index, pos, p.size, p.offset, p.jmp);
      else
        FixMan->addFixup(p.hint, func, p.data, pos, p.size, p.offset, p.jmp);
    }
  }
  F_pending.clear();
}

[[gnu::always_inline]] inline void TVorAssembler::commitRegisterAssumptions(POperand o1, POperand o2,
                                                                              POperand o3) {
  if (!RegMan) return;
  const auto commit = [](POperand op) {
    if (!op || op->hint != otRegister || op->reg_base > REG_NONE) return;
    TRegState& state = RegMan->Registers[op->reg_base];
    if (!state.tempAssume) return;
    state.assume = state.tempAssume;
    state.tempAssume = nullptr;
  };
  commit(o1);
  commit(o2);
  commit(o3);
}

// --- Listing -----------------------------------------------------------------

bool TVorAssembler::listing() const { return Settings && Settings->ASMDebug() && DebugASM; }

void TVorAssembler::listText(std::string_view text) {
  // Inside assemble the text waits for the instruction to succeed.
  if (F_depth > 0)
    F_listing.append(text);
  else
    DebugASM->addFileText(text);
}

void TVorAssembler::flushListing() {
  if (!F_listing.empty() && DebugASM) DebugASM->addFileText(F_listing);
  F_listing.clear();
}

// The first instruction after a prologue's six-byte placeholder opens the
// function's part of the listing with its name.
void TVorAssembler::listFunctionHeader() {
  const TFunction* f = Compiler ? Compiler->CurFunc() : nullptr;
  if (!f || f->FuncIndex == 0 || f->BufLen != 6) return;
  listText(vorStrView(f->ImportName));
  listText(":\r\n");
}

namespace {

std::string_view labelName(uint64_t index) {
  const TFunction* f = FuncMan ? FuncMan->getFunc(static_cast<uint32_t>(index)) : nullptr;
  return f ? vorStrView(f->ImportName) : std::string_view();
}

std::string constText(const TConst* c) {
  if (!c) return {};
  switch (c->type_) {
    case ctAnsiString: return "'" + std::string(vorStrView(c->str)) + "'";
    case ctWideString: return "\"" + std::string(vorStrView(c->str)) + "\"";
    case ctValue: return std::to_string(c->int_);
    default: {
      char buf[64];
      const auto r = std::to_chars(buf, buf + sizeof buf, c->ext);
      return std::string(buf, r.ptr);
    }
  }
}

}  // namespace

void TVorAssembler::listOperand(POperand op) {
  switch (op->hint) {
    case otRegister: listText(regToStr(op->reg_base)); break;
    case otSegment: listText(segToStr(op->seg)); break;
    case otImm: listText(std::to_string(op->value)); break;
    case otVar: listText("var"); break;
    case otVarRef: listText("var ref"); break;
    case otMemRef: listText("mem ref"); break;
    case otST: listText("st(" + std::to_string(op->value) + ")"); break;
    case otXMM: listText("xmm reg"); break;
    case otMem: listText("mem"); break;
    case otLabel: listText(labelName(static_cast<uint64_t>(op->value))); break;
    case otSegLabel: listText("seg:label"); break;
    case otLabelRef:
      listText("[");
      listText(labelName(static_cast<uint64_t>(op->value)));
      listText("]");
      break;
    case otConst: listText(constText(static_cast<const TConst*>(op->data))); break;
    default: listText("Unknnown"); break;
  }
}

void TVorAssembler::listLine(PInstruction row, uint32_t bytes, POperand o1, POperand o2, POperand o3) {
  // The byte column is 16 bytes of "XX " wide; longer instructions get no filler.
  if (bytes < 16) listText(std::string(3 * (16 - bytes), ' '));
  listText("\t\t\t; ");
  listText(std::string_view(row->name, strnlen(row->name, sizeof(row->name))));
  if (o1) {
    listText(" ");
    listOperand(o1);
  }
  for (POperand op : {o2, o3}) {
    if (!op) continue;
    listText(", ");
    listOperand(op);
  }
  listText(row->group == igRET ? "\r\n\r\n" : "\r\n");
}

// --- assemble ----------------------------------------------------------------

[[gnu::always_inline]] inline uint32_t TVorAssembler::checkEntry(PInstruction opCode, POperand o1, POperand o2,
                                                                POperand o3) const {
  if (!opCode) return ERROR_OPCODE_NULL;
  const uint32_t bits = CompileFlags.cpu_bits;
  if (((opCode->flags & MINMODE64) && bits != 64) ||
      ((opCode->flags & MINMODE32) && bits != 32 && bits != 64))
    return ERROR_MODE_SUPPORT;
  const uint32_t count = (o1 != nullptr) + (o2 != nullptr) + (o3 != nullptr);
  if (count > opCode->maxpar) return ERROR_OPERAND_COUNT_MAX;
  if (count < opCode->minpar) return ERROR_OPERAND_COUNT_MIN;
  // Every rule reads the operands by position; a gap would shift them.
  if (!o1 && (o2 || o3)) return ERROR_OPERAND1_INVALID;
  if (!o2 && o3) return ERROR_OPERAND2_INVALID;
  if (opCode->group >= ig__TOTAL) return ERROR_OPCODE_UNKNOWN;
  // A register operand must be one the encoder has a number for, with its
  // own width: the rules read the width from size.
  const auto badRegister = [](POperand op) {
    return op && op->hint == otRegister && (op->reg_base > REG_R15 || op->size != regSize(op->reg_base));
  };
  if (badRegister(o1)) return ERROR_OPERAND1_INVALID;
  if (badRegister(o2)) return ERROR_OPERAND2_INVALID;
  if (badRegister(o3)) return ERROR_OPERAND3_INVALID;
  return ASSEMBLE_OK;
}

[[gnu::always_inline]] inline uint32_t TVorAssembler::dispatch(const TEncodeArgs& a) {
  return (this->*kGroupRules[a.row->group])(a);
}

uint32_t TVorAssembler::assemble(PInstruction opCode, POperand opPAR1, POperand opPAR2, POperand opPAR3,
                                 bool optimise) {
  TNesting nesting(*this);
  const TMark& entry = nesting.entry();
  if (F_depth == 1) F_listOn = listing();
  // Before any check: a refused instruction still commits the assumption.
  commitRegisterAssumptions(opPAR1, opPAR2, opPAR3);
  uint32_t rc = checkEntry(opCode, opPAR1, opPAR2, opPAR3);
  if (rc == ASSEMBLE_OK) {
    if (F_depth == 1 && F_listOn) listFunctionHeader();
    rc = dispatch({opCode, opPAR1, opPAR2, opPAR3, optimise});
  }
  if (rc != ASSEMBLE_OK) {
    // Nothing of a refused instruction may reach the next one.
    rollback(entry);
    return nesting.returning(rc);
  }
  F_lastInstruction = opCode;
  if (F_listOn) listLine(opCode, static_cast<uint32_t>(F_codeLen - entry.bytes), opPAR1, opPAR2, opPAR3);
  if (F_depth == 1) {
    if (!F_pending.empty()) commitFixups();
    if (F_listOn) flushListing();
  }
  return nesting.returning(ASSEMBLE_OK);
}

}  // namespace vorak
