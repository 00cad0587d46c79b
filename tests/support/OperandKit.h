// Operands for table-driven and sweep tests of the move, stack and jump
// groups: a plain description that builds the encoder's TOperand, variable,
// constant and label records to point at, the fixups an instruction filed,
// fields filled with sentinels, and decoded operands compared against what
// was written.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "compiler/symbols/FuncManager.h"
#include "support/Disasm.h"
#include "support/EncoderFixture.h"

namespace vorak::test {

struct Op {
  enum Kind { None, Reg, Imm, Mem, Var, VarRef, MemRef, Label, LabelRef, Const, Seg, SegLabel } kind = None;
  TRegister reg = REG_NONE;
  int64_t value = 0;
  uint32_t size = 0;
  std::vector<TRegister> regs;
  int64_t disp = 0;
  uint8_t scale = 0;
  uint8_t seg = 0;
  bool issigned = false;
  uint8_t record = 0;  // Var, VarRef: 0 the kit's first variable, 1 its second
};

inline Op R(TRegister r) {
  Op o;
  o.kind = Op::Reg;
  o.reg = r;
  return o;
}
inline Op I(int64_t v, uint32_t size = 4) {
  Op o;
  o.kind = Op::Imm;
  o.value = v;
  o.size = size;
  return o;
}
inline Op M(uint32_t size, std::vector<TRegister> regs, int64_t disp = 0, uint8_t scale = 0) {
  Op o;
  o.kind = Op::Mem;
  o.size = size;
  o.regs = std::move(regs);
  o.disp = disp;
  o.scale = scale;
  return o;
}
inline Op MR(std::vector<TRegister> regs, int64_t disp = 0, uint8_t scale = 0) {
  Op o = M(0, std::move(regs), disp, scale);
  o.kind = Op::MemRef;
  return o;
}
// A global variable of size bytes, at disp bytes into it (v[n] of the parser).
inline Op V(uint32_t size, int32_t disp = 0) {
  Op o;
  o.kind = Op::Var;
  o.size = size;
  o.disp = disp;
  return o;
}
// The kit's second variable, for moves between two variables.
inline Op V2(uint32_t size, int32_t disp = 0) {
  Op o = V(size, disp);
  o.record = 1;
  return o;
}
inline Op VR(int32_t disp = 0) {
  Op o;
  o.kind = Op::VarRef;
  o.disp = disp;
  return o;
}
inline Op L(uint32_t index = 7) {
  Op o;
  o.kind = Op::Label;
  o.value = index;
  return o;
}
inline Op LR(uint32_t index = 7) {
  Op o = L(index);
  o.kind = Op::LabelRef;
  return o;
}
inline Op C() {
  Op o;
  o.kind = Op::Const;
  return o;
}
inline Op S(TSegment s) {
  Op o;
  o.kind = Op::Seg;
  o.seg = s;
  return o;
}
inline Op SL(int64_t offset, uint32_t selector) {
  Op o;
  o.kind = Op::SegLabel;
  o.value = offset;
  o.disp = static_cast<int32_t>(selector);
  return o;
}
inline Op Signed(Op o) {
  o.issigned = true;
  return o;
}

// One table case of a group test: mode, mnemonic, operands, and the
// disassembly (instructions joined by "; ") or nullptr with the refusal code.
struct Case {
  uint32_t bits;
  const char* name;
  Op o1, o2;
  const char* text;
  uint32_t rc = ASSEMBLE_OK;
};

// Every instruction of bytes, joined by "; "; a tail that does not decode is
// marked.
inline std::string readBack(const std::string& bytes, int bits) {
  std::string text;
  size_t length = 0;
  for (const Decoded& d : decodeAll(bytes, bits)) {
    if (!text.empty()) text += "; ";
    text += d.text;
    length += d.length;
  }
  if (length != bytes.size()) text += " <" + std::to_string(bytes.size() - length) + " bytes undecoded>";
  return text;
}

class OperandKitTest : public EncoderTest {
 protected:
  void SetUp() override {
    EncoderTest::SetUp();
    func = FuncMan->CreateFunction(ltProc, nullptr);
    variable = TVar{};
    variable.name = const_cast<char*>("counter");
    other = TVar{};
    other.name = const_cast<char*>("total");
    constant = TConst{};
  }

  TOperand* make(const Op& o) {
    if (o.kind == Op::None) return nullptr;
    TOperand& op = ops_.emplace_back();
    switch (o.kind) {
      case Op::Reg: op.setRegister(o.issigned, o.reg); break;
      case Op::Imm:
        op.setImm(o.issigned, 0, o.size);
        op.value = o.value;
        break;
      case Op::Mem:
      case Op::MemRef:
        switch (o.regs.size()) {
          case 0: op.setMemory(o.issigned, o.size, o.disp, o.scale, {}, nullptr, otRegister, nullptr); break;
          case 1: op.setMemory(o.issigned, o.size, o.disp, o.scale, {o.regs[0]}, nullptr, otRegister, nullptr); break;
          default:
            op.setMemory(o.issigned, o.size, o.disp, o.scale, {o.regs[0], o.regs[1]}, nullptr, otRegister,
                         nullptr);
        }
        if (o.kind == Op::MemRef) op.hint = otMemRef;
        break;
      case Op::Var:
        // As the operand parser builds a global: scale 1, the element offset
        // in the displacement.
        op.setPointer(o.issigned, otVar, func, o.record ? &other : &variable, o.size);
        op.displacement = o.disp;
        op.scale = 1;
        break;
      case Op::VarRef:
        op.setPointer(o.issigned, otVarRef, func, o.record ? &other : &variable, 0);
        op.displacement = o.disp;
        op.scale = 1;
        break;
      case Op::Label: op.setLabel(o.issigned, func, static_cast<uint32_t>(o.value)); break;
      case Op::LabelRef:
        op.setLabel(o.issigned, func, static_cast<uint32_t>(o.value));
        op.hint = otLabelRef;
        break;
      case Op::Const: op.setPointer(o.issigned, otConst, func, &constant, 0); break;
      case Op::Seg: op.setSegment(o.issigned, static_cast<TSegment>(o.seg)); break;
      case Op::SegLabel:
        op.setIntType(o.issigned, otSegLabel, o.value);
        op.segstart = static_cast<uint32_t>(o.disp);
        break;
      default: break;
    }
    return &op;
  }

  // The fixups filed since mark (an index into the function's list).
  size_t fixupMark() const { return fixupList(func).size(); }
  std::vector<TFixup> fixupsSince(size_t mark) const {
    std::vector<TFixup> out;
    for (size_t i = mark; i < fixupList(func).size(); ++i) out.push_back(*fixupList(func)[i]);
    return out;
  }
  // Writes the sentinel of each fixup's size into its field; jump
  // placeholders are left as they are.
  static std::string withSentinels(std::string bytes, const std::vector<TFixup>& fixups) {
    for (const TFixup& f : fixups) {
      if (f.hint == ftJmp) continue;
      const uint64_t s = sentinel(f.size);
      for (uint32_t i = 0; i < f.size && f.position + i < bytes.size(); ++i)
        bytes[f.position + i] = static_cast<char>(static_cast<uint8_t>(s >> (8 * i)));
    }
    return bytes;
  }

  // One instruction of a group test: its result code, its bytes as emitted
  // and with each fixup field filled with its sentinel, and the fixups it
  // filed.
  struct Result {
    uint32_t rc;
    std::string raw;
    std::string bytes;
    std::vector<TFixup> fixups;
  };
  // Assembles the row called name in a bits-bit mode; last1 and last2 are
  // the operands it was given.
  Result run(uint32_t bits, const char* name, const Op& a, const Op& b = {}, bool optimise = true) {
    setMode(bits);
    const size_t mark = fixupMark();
    last1 = make(a);
    last2 = make(b);
    const PInstruction row = opcodeLookup(name);
    EXPECT_NE(row, nullptr) << name;
    const uint32_t rc = enc.assemble(row, last1, last2, nullptr, optimise);
    const std::string raw = enc.popCode();
    std::vector<TFixup> fx = fixupsSince(mark);
    return {rc, raw, withSentinels(raw, fx), fx};
  }
  // A table case: read back as its text, or refused with its code and
  // nothing emitted.
  void check(const Case& c) {
    const Result r = run(c.bits, c.name, c.o1, c.o2);
    const std::string where = std::string(c.name) + " in " + std::to_string(c.bits) + "-bit mode";
    if (!c.text) {
      EXPECT_EQ(r.rc, c.rc) << where;
      EXPECT_TRUE(r.raw.empty()) << where;
      EXPECT_TRUE(r.fixups.empty()) << where;
      return;
    }
    ASSERT_EQ(r.rc, ASSEMBLE_OK) << where << ": " << TVorAssembler::errorCodeToString(r.rc);
    EXPECT_EQ(readBack(r.bytes, static_cast<int>(c.bits)), c.text) << where << ", bytes " << hexBytes(r.bytes);
  }

  TFunction* func = nullptr;
  TVar variable{};
  TVar other{};
  TConst constant{};
  TOperand* last1 = nullptr;
  TOperand* last2 = nullptr;
};

// Every general register, AL to R15, for the sweeps.
inline std::vector<TRegister> allRegisters() {
  std::vector<TRegister> r;
  for (int i = 0; i <= REG_R15; ++i) r.push_back(static_cast<TRegister>(i));
  return r;
}

// --- Decoded operands against what was written ---------------------------------

inline uint64_t maskTo(int64_t v, uint32_t size) {
  return size >= 8 ? static_cast<uint64_t>(v) : static_cast<uint64_t>(v) & ((1ull << (8 * size)) - 1);
}

inline bool sameReg(const DecodedOperand& d, TRegister r) {
  return d.kind == DecodedOperand::Reg && d.reg == std::string(regToStr(r));
}

// A memory operand: base, index, scale and displacement as written (disp
// given explicitly, for fields filled with a sentinel), and the width when
// size is not 0.
inline bool sameMem(const DecodedOperand& d, const TOperand& o, int64_t disp, uint32_t size) {
  if (d.kind != DecodedOperand::Mem) return false;
  // One register with a scale is an index without a base.
  const bool indexOnly = o.reg_index == REG_NONE && o.scale > 1;
  const TRegister b = indexOnly ? REG_NONE : o.reg_base, x = indexOnly ? o.reg_base : o.reg_index;
  const std::string base = b == REG_NONE ? "" : std::string(regToStr(b));
  const std::string index = x == REG_NONE ? "" : std::string(regToStr(x));
  if (d.base != base || d.index != index) return false;
  if (x != REG_NONE && d.scale != (o.scale ? o.scale : 1)) return false;
  if (size && d.size != size) return false;
  return d.disp == disp;
}

inline bool sameImm(const DecodedOperand& d, int64_t v, uint32_t size) {
  return d.kind == DecodedOperand::Imm && maskTo(d.imm, size) == maskTo(v, size);
}

}  // namespace vorak::test
