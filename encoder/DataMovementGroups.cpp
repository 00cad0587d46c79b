// Data movement groups: mov in all its forms (registers, memory, variables,
// immediates, addresses, segment registers, memory to memory) and movsx/movzx.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/driver/Utils.h"
#include "encoder/EncoderCommon.h"
#include "encoder/VorAssembler.h"

namespace vorak {

namespace {

// RAX-R15 and the registers numbered 8-15 exist only in 64-bit code.
bool registerInMode(TRegister r) { return mode64() || (regSize(r) != 8 && regID(r) < 8); }
bool validWidth(uint32_t size) { return size == 1 || size == 2 || size == 4 || size == 8; }

// mov reg, imm and mov r/m, imm: the value as held must need no more bytes
// than the destination, unless imm_roll asks for its low bytes. B8+r is the
// only form with an 8-byte immediate; memory takes 4 bytes that the processor
// sign-extends, which no setting can stretch.
bool registerImmFits(int64_t v, uint32_t size) { return size == 8 || immFits(v, size); }
bool memoryImmFits(int64_t v, uint32_t size) {
  if (size == 8) return v >= INT32_MIN && v <= INT32_MAX;
  return registerImmFits(v, size);
}

// An absolute address or an address immediate: 2 bytes in 16-bit code, else
// 4 (in 64-bit code sign-extended by the processor).
uint8_t addressField() { return mode16() ? 2 : 4; }

// The register of number n (0 AL/AX/EAX/RAX, 1 CL..., 2 DL...) at a width.
TRegister numbered(uint8_t n, uint32_t width) {
  return regScale(static_cast<TRegister>(n), static_cast<uint8_t>(width));
}

// A copy of o for after `by` bytes were pushed.
TOperand rebased(const TOperand& o, int64_t by) {
  TOperand out = o;
  if (stackBased(o)) out.displacement += by;
  return out;
}

PInstruction row(std::string_view name) { return opcodeLookup(name); }

// The number of a scratch register (0 the accumulator, then 1, then 2) that
// the address of a memory destination does not use.
uint8_t scratchFor(POperand dst) {
  uint8_t s = 0;
  if (dst->hint != otMem) return s;
  auto used = [&](uint8_t n) {
    return (dst->reg_base != REG_NONE && regID(dst->reg_base) == n) ||
           (dst->reg_index != REG_NONE && regID(dst->reg_index) == n);
  };
  while (s < 2 && used(s)) ++s;
  return s;
}

}  // namespace

// mov and movsx/movzx rewrite into each other (a smaller source widens, equal
// sizes move); the depth bound keeps a pair of operands that both rules
// hand on from looping.
class TVorAssembler::TMoveNesting {
 public:
  explicit TMoveNesting(TVorAssembler& a) : a_(a) { ++a_.F_moveNesting; }
  ~TMoveNesting() { --a_.F_moveNesting; }
  TMoveNesting(const TMoveNesting&) = delete;
  TMoveNesting& operator=(const TMoveNesting&) = delete;
  bool tooDeep() const { return a_.F_moveNesting > 2; }

 private:
  TVorAssembler& a_;
};

class TVorAssembler::TQuietPush {
 public:
  explicit TQuietPush(TVorAssembler& a) : a_(a), was_(a.F_quietPush) { a_.F_quietPush = true; }
  ~TQuietPush() { a_.F_quietPush = was_; }
  TQuietPush(const TQuietPush&) = delete;
  TQuietPush& operator=(const TQuietPush&) = delete;

 private:
  TVorAssembler& a_;
  bool was_;
};

uint32_t TVorAssembler::innerAssemble(PInstruction r, POperand a, POperand b) {
  return assemble(r, a, b, nullptr, true);
}

// --- igMOVSX_MOVZX ---------------------------------------------------------------
//
// movsx 0F BE (byte) / 0F BF (word), movzx 0F B6 / 0F B7: r16/32/64, r/m8/16.
// Equal sizes are a plain mov.
uint32_t TVorAssembler::encodeMOVSX_MOVZX(const TEncodeArgs& a) {
  const POperand o1 = a.o1, o2 = a.o2;
  if (!isReg(o1) || !(isReg(o2) || isMem(o2))) return ERROR_NOT_SUPPORTED;
  if (o1->size == o2->size) {
    TMoveNesting nesting(*this);
    if (nesting.tooDeep()) return ERROR_OPERAND_INVALID;
    static const PInstruction mov = row("mov");
    return innerAssemble(mov, o1, o2);
  }
  if (o1->size == 1) return ERROR_OPERAND1_INVALID;
  if (o2->size != 1 && o2->size != 2) return ERROR_OPERAND2_INVALID;
  return emitRM(a.row->opcode1 + (o2->size == 1 ? 0 : 1), o1->size, o1->reg_base, o2);
}

// --- igMOV -------------------------------------------------------------------------
//
//   88/89 r/m,r   8A/8B r,r/m   A0-A3 accumulator <-> absolute address
//   B0+r/B8+r r,imm (B8+r with REX.W takes imm64)   C6/C7 /0 r/m,imm
//   8E /r Sreg,r/m16
uint32_t TVorAssembler::encodeMOV(const TEncodeArgs& a) {
  switch (a.o1->hint) {
    case otRegister: return movToRegister(a.o1, a.o2, a.optimise);
    case otSegment: return movToSegment(a.o1, a.o2);
    case otVar: return movToVariable(a.o1, a.o2);
    case otMem: return movToMemory(a.o1, a.o2);
    default: return ERROR_NOT_SUPPORTED;
  }
}

uint32_t TVorAssembler::moveWidened(POperand o1, POperand o2) {
  // A doubleword into a 64-bit register: movsxd when signed, else a 32-bit
  // load, which clears the upper half. movsx/movzx take no doubleword.
  if (mode64() && o1->size == 8 && o2->size == 4)
    return o1->issigned ? emitRM(0x63, 8, o1->reg_base, o2) : emitRM(0x8B, 4, o1->reg_base, o2);
  TMoveNesting nesting(*this);
  if (nesting.tooDeep()) return ERROR_OPERAND_INVALID;
  static const PInstruction movsx = row("movsx"), movzx = row("movzx");
  return innerAssemble(o1->issigned ? movsx : movzx, o1, o2);
}

uint32_t TVorAssembler::movToRegister(POperand o1, POperand o2, bool optimise) {
  const uint32_t size = o1->size;
  // Checked here as well as by the encoding: the no-op below emits nothing.
  if (!registerInMode(o1->reg_base)) return ERROR_OPERAND1_INVALID;
  const uint32_t load = size == 1 ? 0x8A : 0x8B;
  switch (o2->hint) {
    case otRegister:
      if (o2->size != size) return moveWidened(o1, o2);
      // In 64-bit code mov r32, r32 clears the upper half: never a no-op.
      if (optimise && o2->reg_base == o1->reg_base && !(mode64() && size == 4)) return ASSEMBLE_OK;
      return emitRM(load, size, o1->reg_base, o2);
    case otMem:
      if (o2->size == 0) o2->size = size;
      if (o2->size != size) return moveWidened(o1, o2);
      return emitRM(load, size, o1->reg_base, o2);
    case otImm: {
      if (!registerImmFits(o2->value, size)) return ERROR_OPERAND_SIZE_MISMATCH;
      const uint32_t rc = emitOpReg(size == 1 ? 0xB0 : 0xB8, size, o1->reg_base);
      if (rc == ASSEMBLE_OK) emitImm(o2->value, size);
      return rc;
    }
    case otConst:
    case otLabel:
    case otLabelRef:
    case otVarRef: {
      // An address fills a pointer-sized register: B8+r with a pointer-sized
      // field (imm64 behind REX.W in 64-bit code).
      if (size != ptrWidth()) return ERROR_OPERAND_SIZE_MISMATCH;
      const uint32_t rc = emitOpReg(0xB8, size, o1->reg_base);
      if (rc != ASSEMBLE_OK) return rc;
      const uint8_t field = static_cast<uint8_t>(size);
      const uint32_t disp = static_cast<uint32_t>(o2->displacement);
      if (o2->hint == otConst)
        addFixupField(ftConst, o2->ptr, o2->data, field, disp, jtJMP);
      else if (o2->hint == otVarRef)
        addFixupField(ftVar, o2->ptr, o2->data, field, varOffset(o2), jtJMP);
      else
        addFixupField(ftLabelAbs, o2->ptr, static_cast<uint32_t>(o2->value), field, disp, jtJMP);
      return ASSEMBLE_OK;
    }
    case otMemRef: return loadAddress(o1, o2);
    case otVar: {
      // A larger variable is read through its low bytes; a smaller one widens.
      if (o2->size != 0 && o2->size < size) return moveWidened(o1, o2);
      if (isAccumulator(o1) && o2->reg_base == REG_NONE && !mode64()) {
        const uint32_t rc = emitOpcode(size == 1 ? 0xA0 : 0xA1, size);
        return rc == ASSEMBLE_OK ? emitAbsoluteAddress(o2) : rc;
      }
      return emitRM(load, size, o1->reg_base, o2);
    }
    default: return ERROR_NOT_SUPPORTED;
  }
}

// The address field of A0-A3, filled in as a variable's address. In 64-bit
// code these opcodes take an 8-byte address, so they are used only in 16- and
// 32-bit code.
uint32_t TVorAssembler::emitAbsoluteAddress(POperand var) {
  TRMFields f;
  const uint32_t rc = buildRM(var, f);
  if (rc != ASSEMBLE_OK) return rc;
  if (f.mod != 0 || f.hasSib || f.addrPrefix || f.dispSize != addressField()) return ERROR_OPERAND_INVALID;
  if (f.dispFixup)
    addFixupField(ftVar, f.fixFunc, f.fixData, f.dispSize, f.fixOffset, jtJMP);
  else
    emitImm(f.disp, f.dispSize);
  return ASSEMBLE_OK;
}

// lea through the instruction table for a 32-bit destination (the row takes
// no other); a 64-bit destination gets the full-width lea directly, since a
// 32-bit one would cut the address.
uint32_t TVorAssembler::loadAddress(POperand dst, POperand ref) {
  const TOperandType hint = ref->hint;
  const uint32_t size = ref->size;
  ref->hint = otMem;
  ref->size = ptrWidth();
  uint32_t rc;
  if (dst->size == 8 && mode64()) {
    rc = emitRM(0x8D, 8, dst->reg_base, ref);
  } else {
    static const PInstruction lea = row("lea");
    rc = innerAssemble(lea, dst, ref);
  }
  ref->hint = hint;
  ref->size = size;
  return rc;
}

uint32_t TVorAssembler::movToSegment(POperand o1, POperand o2) {
  if (!isReg(o2) || (o2->size != 2 && o2->size != 4)) return ERROR_NOT_SUPPORTED;
  // CS cannot be loaded by mov (#UD); 6 and 7 are no segment registers.
  if (o1->seg == SEG_CS || o1->seg > SEG_GS) return ERROR_OPERAND1_INVALID;
  return emitRMDigit(0x8E, o2->size, o1->seg, o2);
}

uint32_t TVorAssembler::storeImmediate(POperand o1, int64_t value) {
  const uint32_t size = o1->size;
  if (!validWidth(size)) return ERROR_OPERAND_SIZE_MISMATCH;
  if (!memoryImmFits(value, size)) return ERROR_OPERAND_SIZE_MISMATCH;
  const uint32_t rc = emitRMDigit(size == 1 ? 0xC6 : 0xC7, size, 0, o1);
  if (rc == ASSEMBLE_OK) emitImm(value, std::min<uint32_t>(size, 4));
  return rc;
}

// mov var, address: C7 /0 with the address as the immediate; only a
// pointer-sized destination holds an address.
uint32_t TVorAssembler::storeAddress(POperand o1, POperand o2) {
  const uint32_t size = o1->size;
  if (size != ptrWidth()) return ERROR_OPERAND_SIZE_MISMATCH;
  const uint32_t rc = emitRMDigit(0xC7, size, 0, o1);
  if (rc != ASSEMBLE_OK) return rc;
  const uint8_t field = addressField();
  switch (o2->hint) {
    case otLabelRef:
      addFixupField(ftLabelAbs, o2->ptr, static_cast<uint32_t>(o2->value), field, 0, jtJMP);
      break;
    case otConst:
      addFixupField(ftConst, o2->ptr, o2->data, field, static_cast<uint32_t>(o2->displacement), jtJMP);
      break;
    default: addFixupField(ftVar, o2->ptr, o2->data, field, varOffset(o2), jtJMP); break;
  }
  return ASSEMBLE_OK;
}

uint32_t TVorAssembler::movToVariable(POperand o1, POperand o2) {
  const uint32_t size = o1->size;
  switch (o2->hint) {
    case otRegister: {
      // A register stores exactly its own width: a wider one would overwrite
      // whatever follows the variable.
      if (o2->size != size) return ERROR_OPERAND_SIZE_MISMATCH;
      if (isAccumulator(o2) && o1->reg_base == REG_NONE && !mode64()) {
        const uint32_t rc = emitOpcode(size == 1 ? 0xA2 : 0xA3, size);
        return rc == ASSEMBLE_OK ? emitAbsoluteAddress(o1) : rc;
      }
      return emitRM(size == 1 ? 0x88 : 0x89, size, o2->reg_base, o1);
    }
    case otImm: return storeImmediate(o1, o2->value);
    case otLabelRef:
    case otConst:
    case otVarRef: return storeAddress(o1, o2);
    case otVar:
    case otMem: {
      if (o2->size == 0) o2->size = size;
      if (o2->size > size) {
        o2->size = size;
        Log->Warning(msg::Operand2Truncated);
      }
      if (o2->size < size) return moveWidenedToVariable(o1, o2);
      return moveMemToMem(o1, o2);
    }
    default: return ERROR_OPERAND2_INVALID;
  }
}

uint32_t TVorAssembler::movToMemory(POperand o1, POperand o2) {
  switch (o2->hint) {
    case otImm:
      if (o1->size == 0) o1->size = o2->size;
      return storeImmediate(o1, o2->value);
    case otRegister:
      if (o1->size == 0) o1->size = o2->size;
      if (o1->size != o2->size) return ERROR_OPERAND_SIZE_MISMATCH;
      return emitRM(o2->size == 1 ? 0x88 : 0x89, o2->size, o2->reg_base, o1);
    case otVar:
    case otMem:
      if (o1->size == 0) o1->size = o2->size;
      if (o2->size == 0) o2->size = o1->size;
      if (F_widenIntoMemory && o2->size < o1->size) return moveWidenedToVariable(o1, o2);
      if (o1->size != o2->size) return ERROR_OPERAND_SIZE_MISMATCH;
      return moveMemToMem(o1, o2);
    default: return ERROR_OPERAND2_INVALID;
  }
}

// Memory to memory, which the processor has no instruction for. Whole stack
// words go through the stack (push the source, pop the destination), which
// changes no register; otherwise through a scratch register, saved around the
// two moves unless m2m_reg allows the accumulator to be overwritten. The
// scratch register is one that the destination's address does not use.
uint32_t TVorAssembler::moveMemToMem(POperand o1, POperand o2) {
  const uint32_t size = o1->size;
  if (!validWidth(size)) return ERROR_OPERAND_SIZE_MISMATCH;
  const bool mayClobber = CompileFlags.m2m_reg != REG_NONE;
  const uint32_t widest = mode64() ? 8 : 4;
  const bool wholeWords = (size == 4 || size == 8) && size % ptrWidth() == 0;
  if ((wholeWords && !mayClobber) || size > widest) {
    TQuietPush quiet(*this);
    static const PInstruction push = row("push"), pop = row("pop");
    const uint32_t rc = innerAssemble(push, o2, nullptr);
    return rc == ASSEMBLE_OK ? innerAssemble(pop, o1, nullptr) : rc;
  }

  const uint8_t s = scratchFor(o1);
  const bool save = !(s == 0 && mayClobber);
  const uint32_t saveWidth = std::max(ptrWidth(), size);
  TOperand scratch, saved;
  scratch.setRegister(false, numbered(s, size));
  saved.setRegister(false, numbered(s, saveWidth));
  const int64_t shift = save ? saveWidth : 0;
  TOperand src = rebased(*o2, shift), dst = rebased(*o1, shift);

  static const PInstruction mov = row("mov"), push = row("push"), pop = row("pop");
  uint32_t rc = save ? innerAssemble(push, &saved, nullptr) : ASSEMBLE_OK;
  if (rc == ASSEMBLE_OK) rc = innerAssemble(mov, &scratch, &src);
  if (rc == ASSEMBLE_OK) rc = innerAssemble(mov, &dst, &scratch);
  if (rc == ASSEMBLE_OK && save) rc = innerAssemble(pop, &saved, nullptr);
  return rc;
}

// A smaller memory source into a variable: widened in a scratch register by
// the destination's sign, the accumulator unless the destination's address
// uses it. A qword of 64-bit code takes every smaller size: a doubleword
// goes through movsxd when signed, and otherwise through a plain 32-bit
// load, which clears the upper half of the register.
uint32_t TVorAssembler::moveWidenedToVariable(POperand o1, POperand o2) {
  const uint32_t size = o1->size;
  const bool quad = size == 8 && mode64();
  if ((size != 1 && size != 2 && size != 4 && !quad) || (o2->size != 1 && o2->size != 2 && o2->size != 4))
    return ERROR_OPERAND_SIZE_MISMATCH;
  const uint8_t s = scratchFor(o1);
  const bool save = !(s == 0 && CompileFlags.m2m_reg != REG_NONE);
  const uint32_t saveWidth = std::max(ptrWidth(), size);
  TOperand scratch, saved, low;
  scratch.setRegister(o1->issigned, numbered(s, size));
  saved.setRegister(false, numbered(s, saveWidth));
  low.setRegister(false, numbered(s, 4));
  const int64_t shift = save ? saveWidth : 0;
  TOperand src = rebased(*o2, shift), dst = rebased(*o1, shift);

  static const PInstruction mov = row("mov"), movsx = row("movsx"), movzx = row("movzx"),
                            push = row("push"), pop = row("pop");
  uint32_t rc = save ? innerAssemble(push, &saved, nullptr) : ASSEMBLE_OK;
  if (rc == ASSEMBLE_OK) {
    if (src.size != 4)
      rc = innerAssemble(o1->issigned ? movsx : movzx, &scratch, &src);
    else if (o1->issigned)
      rc = emitRM(0x63, 8, scratch.reg_base, &src);  // movsxd r64, r/m32
    else
      rc = innerAssemble(mov, &low, &src);
  }
  if (rc == ASSEMBLE_OK) rc = innerAssemble(mov, &dst, &scratch);
  if (rc == ASSEMBLE_OK && save) rc = innerAssemble(pop, &saved, nullptr);
  return rc;
}

}  // namespace vorak
