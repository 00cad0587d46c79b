// A differential sweep over table rows: every combination of a set of
// operands (stack, mm and xmm registers, general registers, memory of each
// size and addressing form, immediates) goes through assemble, and every
// instruction accepted must read back, by independent disassemblers, as the
// same mnemonic with the same operands and exactly the bytes emitted.
// Refused combinations must leave nothing behind.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "compiler/symbols/FuncManager.h"
#include "encoder/InstructionTable.h"
#include "encoder/VorAssembler.h"
#include "support/Disasm.h"
#include "support/EncoderFixture.h"
#include "support/TextDisasm.h"

namespace vorak::test {

// One operand of the sweep, as a description (the encoder may change the
// record it is given, so every call gets a fresh one).
struct SweepOp {
  enum Kind { None, ST, MM, XMM, GPR, Mem, Imm } kind = None;
  int64_t n = 0;  // ST/XMM number, or the immediate
  TRegister reg = REG_NONE;
  uint32_t size = 0;
  TRegister base = REG_NONE, index = REG_NONE;
  int32_t disp = 0;
  uint8_t scale = 0;
};

inline void materialize(const SweepOp& s, TOperand& op) {
  switch (s.kind) {
    case SweepOp::ST:
      op.setIntType(false, otST, s.n);
      op.size = ST_REGISTER_SIZE;
      break;
    case SweepOp::MM:
      op.setIntType(false, otST, s.n);
      op.size = MM_REGISTER_SIZE;
      break;
    case SweepOp::XMM: op.setIntType(false, otXMM, s.n); break;
    case SweepOp::GPR: op.setRegister(false, s.reg); break;
    case SweepOp::Imm:
      op.setImm(false, 0, 4);
      op.value = s.n;
      break;
    case SweepOp::Mem:
      if (s.base == REG_NONE)
        op.setMemory(false, s.size, s.disp, s.scale, {}, nullptr, otRegister, nullptr);
      else if (s.index == REG_NONE)
        op.setMemory(false, s.size, s.disp, s.scale, {s.base}, nullptr, otRegister, nullptr);
      else
        op.setMemory(false, s.size, s.disp, s.scale, {s.base, s.index}, nullptr, otRegister, nullptr);
      break;
    case SweepOp::None: break;
  }
}

inline std::string describe(const SweepOp& s) {
  switch (s.kind) {
    case SweepOp::ST: return "st" + std::to_string(s.n);
    case SweepOp::MM: return "mm" + std::to_string(s.n);
    case SweepOp::XMM: return "xmm" + std::to_string(s.n);
    case SweepOp::GPR: return std::string(regToStr(s.reg));
    case SweepOp::Imm: return std::to_string(s.n);
    case SweepOp::Mem: {
      std::string t = "size" + std::to_string(s.size) + " [";
      if (s.base != REG_NONE) t += std::string(regToStr(s.base));
      if (s.index != REG_NONE) t += "+" + std::string(regToStr(s.index));
      if (s.scale) t += "*" + std::to_string(s.scale);
      return t + (s.disp < 0 ? "-" : "+") + std::to_string(s.disp < 0 ? -int64_t{s.disp} : s.disp) + "]";
    }
    default: return "-";
  }
}

// Table rows write their operands with these. OperandKit.h has builders of
// the same names and arguments for its own record; the inline namespace
// keeps the two apart at link time, where the return type does not count.
inline namespace sweep_builders {
inline SweepOp ST(int64_t n) { return {SweepOp::ST, n}; }
inline SweepOp MM(int64_t n) { return {SweepOp::MM, n}; }
inline SweepOp XMM(int64_t n) { return {SweepOp::XMM, n}; }
inline SweepOp I(int64_t v) { return {SweepOp::Imm, v}; }
inline SweepOp R(TRegister r) {
  SweepOp o;
  o.kind = SweepOp::GPR;
  o.reg = r;
  return o;
}
inline SweepOp M(uint32_t size, TRegister base = REG_NONE, TRegister index = REG_NONE, int32_t disp = 0,
                 uint8_t scale = 0) {
  SweepOp o;
  o.kind = SweepOp::Mem;
  o.size = size;
  o.base = base;
  o.index = index;
  o.disp = disp;
  o.scale = scale;
  return o;
}
}  // namespace sweep_builders

// One encoding case: the operands and the mode in, and either the oracle's
// text of the bytes or the refusal code out. The oracle is Capstone ('c'),
// objdump ('o') or llvm-mc ('l'), in the syntax each prints.
struct TableCase {
  int bits;
  const char* name;
  SweepOp o1, o2;
  const char* text;  // nullptr: refused with rc
  uint32_t rc = ASSEMBLE_OK;
  char oracle = 'c';
};

// The operands tried in a mode: valid ones and a few that no form takes.
inline std::vector<SweepOp> sweepOperands(int bits) {
  std::vector<SweepOp> v;
  for (int64_t n : {0, 3, 7, 8}) v.push_back({SweepOp::ST, n});
  for (int64_t n : {0, 3, 7, 8}) v.push_back({SweepOp::MM, n});
  for (int64_t n : {0, 5, 7, 9, 15, 16}) v.push_back({SweepOp::XMM, n});
  auto gpr = [&](TRegister r) {
    SweepOp o;
    o.kind = SweepOp::GPR;
    o.reg = r;
    v.push_back(o);
  };
  for (int64_t n : {int64_t{0}, int64_t{5}, int64_t{255}, int64_t{0xFFFFFFFF}, int64_t{300}, int64_t{-128}})
    v.push_back({SweepOp::Imm, n});
  struct Addr {
    TRegister base, index;
    int32_t disp;
    uint8_t scale;
  };
  std::vector<Addr> addrs;
  if (bits == 16) {
    for (TRegister r : {REG_AX, REG_AL, REG_EAX}) gpr(r);
    addrs = {{REG_BX, REG_SI, 0, 0}, {REG_BP, REG_NONE, 0x10, 0}, {REG_NONE, REG_NONE, 0x1234, 0},
             {REG_DI, REG_NONE, -300, 0}, {REG_EAX, REG_NONE, 0, 0}};
  } else if (bits == 32) {
    for (TRegister r : {REG_EAX, REG_ESI, REG_AX, REG_AL, REG_RAX}) gpr(r);
    addrs = {{REG_EAX, REG_NONE, 0, 0},          {REG_ESP, REG_NONE, 8, 0},
             {REG_ESI, REG_EDI, 0x12345678, 4}, {REG_NONE, REG_NONE, 0x1000, 0},
             {REG_EBX, REG_NONE, 16, 8},        {REG_EBP, REG_NONE, -4, 0},
             {REG_AX, REG_NONE, 0, 0}};
  } else {
    for (TRegister r : {REG_EAX, REG_RAX, REG_R9, REG_R14, REG_AX}) gpr(r);
    addrs = {{REG_RAX, REG_NONE, 0, 0},  {REG_R12, REG_R9, -8, 2}, {REG_NONE, REG_NONE, 0x2000, 0},
             {REG_EAX, REG_NONE, 0, 0},  {REG_R13, REG_NONE, 0, 0}, {REG_RSP, REG_NONE, 0x80, 0},
             {REG_RBX, REG_NONE, 0, 4}};
  }
  bool first = true;
  for (const Addr& a : addrs) {
    for (uint32_t size : {0u, 1u, 2u, 4u, 8u, 10u, 16u}) {
      if (size == 1 && !first) continue;
      SweepOp o;
      o.kind = SweepOp::Mem;
      o.size = size;
      o.base = a.base;
      o.index = a.index;
      o.disp = a.disp;
      o.scale = a.scale;
      v.push_back(o);
    }
    first = false;
  }
  return v;
}

// What a disassembler must read for an operand. size 0 leaves the width open.
inline DecodedOperand expectedOperand(const SweepOp& s, const TOperand& after) {
  DecodedOperand d;
  switch (s.kind) {
    case SweepOp::ST:
      d.kind = DecodedOperand::Reg;
      d.reg = "st(" + std::to_string(s.n) + ")";
      break;
    case SweepOp::MM:
      d.kind = DecodedOperand::Reg;
      d.reg = "mm" + std::to_string(s.n);
      break;
    case SweepOp::XMM:
      d.kind = DecodedOperand::Reg;
      d.reg = "xmm" + std::to_string(s.n);
      break;
    case SweepOp::GPR:
      d.kind = DecodedOperand::Reg;
      d.reg = std::string(regToStr(s.reg));
      break;
    case SweepOp::Imm:
      d.kind = DecodedOperand::Imm;
      d.imm = s.n;
      break;
    case SweepOp::Mem:
      d.kind = DecodedOperand::Mem;
      d.size = after.size;
      d.disp = s.disp;
      if (s.base != REG_NONE && s.index == REG_NONE && s.scale > 1) {
        // One scaled register is an index without a base.
        d.index = std::string(regToStr(s.base));
        d.scale = s.scale;
      } else {
        if (s.base != REG_NONE) d.base = std::string(regToStr(s.base));
        if (s.index != REG_NONE) {
          d.index = std::string(regToStr(s.index));
          d.scale = s.scale > 1 ? s.scale : 1;
        }
      }
      break;
    default: break;
  }
  return d;
}

// "" when d reads as the expected instruction; otherwise what differs.
inline std::string mismatch(const std::string& mnemonic, std::vector<DecodedOperand> want, const Decoded& d,
                            size_t length, int bits, bool sizes) {
  if (!d.ok) return "not decoded";
  if (d.length != length) return "decoded " + std::to_string(d.length) + " of " + std::to_string(length) + " bytes";
  if (d.mnemonic != mnemonic) return "mnemonic " + d.mnemonic;
  std::vector<DecodedOperand> got = d.ops;
  canonicalStack(got);
  canonicalStack(want);
  if (got.size() != want.size()) return "operand count " + std::to_string(got.size());
  const int64_t mask = bits == 16 ? 0xFFFF : 0xFFFFFFFF;
  for (size_t i = 0; i < want.size(); ++i) {
    const DecodedOperand &w = want[i], &g = got[i];
    const std::string which = "operand " + std::to_string(i + 1) + ": ";
    if (g.kind != w.kind) return which + "kind";
    switch (w.kind) {
      case DecodedOperand::Reg:
        if (g.reg != w.reg) return which + g.reg;
        break;
      case DecodedOperand::Imm:
        if ((g.imm & 0xFF) != (w.imm & 0xFF)) return which + "immediate " + std::to_string(g.imm);
        break;
      case DecodedOperand::Mem: {
        auto none = [](const std::string& r) { return r.empty() || r == "riz" || r == "eiz" ? "" : r; };
        if (none(g.base) != w.base) return which + "base " + g.base;
        if (none(g.index) != w.index) return which + "index " + g.index;
        if (!w.index.empty() && g.scale != w.scale) return which + "scale " + std::to_string(g.scale);
        if (((g.disp - w.disp) & mask) != 0) return which + "displacement " + std::to_string(g.disp);
        // A size of 0 read back: the disassembler names no width (objdump's lddqu).
        if (sizes && w.size != 0 && g.size != 0 && g.size != w.size) return which + "size " + std::to_string(g.size);
        break;
      }
    }
  }
  return "";
}

// The mnemonic the disassemblers show for a row with these operands, with the
// operands adjusted where they name a form another way: movq between an mm
// and an xmm register reads as movq2dq or movdq2q, and movmskps/pd fill a
// 64-bit register through its doubleword, the name read back.
inline std::string readingOf(const TInstruction& row, const SweepOp& s1, const SweepOp& s2,
                             std::vector<DecodedOperand>& want) {
  const std::string name(row.name, strnlen(row.name, sizeof row.name));
  if (row.group == igMMU_MOVQ && s1.kind == SweepOp::XMM && s2.kind == SweepOp::MM) return "movq2dq";
  if (row.group == igMMU_MOVQ && s1.kind == SweepOp::MM && s2.kind == SweepOp::XMM) return "movdq2q";
  if ((row.flags & OP_NOREX) && s1.kind == SweepOp::GPR && regSize(s1.reg) == 8)
    want[0].reg = doublewordName(s1.reg);
  return name;
}

class EncoderSweep : public EncoderTest {
 public:
  // st(n) and mm(n): one operand type, told apart by its size as the
  // operand parser gives it.
  TOperand* st(int64_t n) {
    TOperand& op = ops_.emplace_back();
    op.setIntType(false, otST, n);
    op.size = ST_REGISTER_SIZE;
    return &op;
  }
  TOperand* mm(int64_t n) {
    TOperand& op = ops_.emplace_back();
    op.setIntType(false, otST, n);
    op.size = MM_REGISTER_SIZE;
    return &op;
  }
  TOperand* xmm(int64_t n) {
    TOperand& op = ops_.emplace_back();
    op.setIntType(false, otXMM, n);
    return &op;
  }

 protected:
  struct Accepted {
    PInstruction row;
    std::string bytes, label;
    std::string mnemonic;  // the name the disassemblers give the instruction
    std::vector<DecodedOperand> want;
    bool sizeGiven[2];  // the memory operand named its width
  };

  void checkTable(const std::vector<TableCase>& cases) {
    for (const TableCase& c : cases) {
      setMode(static_cast<uint32_t>(c.bits));
      TOperand o1, o2;
      materialize(c.o1, o1);
      materialize(c.o2, o2);
      const uint32_t rc = enc.assemble(opcodeLookup(c.name), c.o1.kind == SweepOp::None ? nullptr : &o1,
                                       c.o2.kind == SweepOp::None ? nullptr : &o2, nullptr, true);
      const std::string bytes = enc.popCode();
      const std::string where = std::string(c.name) + " " + describe(c.o1) + ", " + describe(c.o2) +
                                " in " + std::to_string(c.bits) + "-bit mode";
      if (!c.text) {
        EXPECT_EQ(rc, c.rc) << where;
        EXPECT_TRUE(bytes.empty()) << where;
        continue;
      }
      EXPECT_EQ(rc, ASSEMBLE_OK) << where << ": " << TVorAssembler::errorCodeToString(rc);
      if (rc != ASSEMBLE_OK) continue;
      EXPECT_EQ(oracleText(bytes, c.bits, c.oracle), c.text) << where << ", bytes " << hexBytes(bytes);
    }
  }

  // The oracle's reading of bytes that must hold exactly one instruction.
  static std::string oracleText(const std::string& bytes, int bits, char oracle) {
    switch (oracle) {
      case 'o': {
        const ObjdumpResult r = objdumpDecode(bytes, bits);
        if (r.length != bytes.size()) return r.text + " <decoded " + std::to_string(r.length) + " bytes>";
        return r.text;
      }
      case 'l': {
        const Decoded d = textdisasm::llvmRun({bytes}, bits)[0];
        if (!d.ok) return "<undecodable>";
        if (d.length != bytes.size()) return d.text + " <decoded " + std::to_string(d.length) + " bytes>";
        return d.text;
      }
      default: return disasmText(bytes, bits);
    }
  }

  // Sweeps every row of the groups in one mode.
  // as mm registers. Returns the number of instructions accepted.
  size_t sweep(std::initializer_list<TInstructionGroup> groups, int bits) {
    setMode(static_cast<uint32_t>(bits));
    const std::vector<SweepOp> cands = sweepOperands(bits);
    std::vector<Accepted> accepted;
    std::map<PInstruction, size_t> perRow;
    size_t refusedWithBytes = 0;
    for (const TInstruction& row : instructions) {
      bool mine = false;
      for (TInstructionGroup g : groups) mine |= row.group == g;
      if (!mine) continue;
      perRow[&row];
      std::vector<SweepOp> firsts(cands), seconds(cands);
      seconds.insert(seconds.begin(), SweepOp{});  // absent
      for (const SweepOp& s1 : firsts) {
        for (const SweepOp& s2 : seconds) {
          if (row.maxpar < 2 && s2.kind != SweepOp::None) continue;
          TOperand o1, o2;
          materialize(s1, o1);
          materialize(s2, o2);
          POperand p2 = s2.kind == SweepOp::None ? nullptr : &o2;
          const uint32_t rc = enc.assemble(&row, &o1, p2, nullptr, true);
          const std::string bytes = enc.popCode();
          if (rc != ASSEMBLE_OK) {
            if (!bytes.empty()) ++refusedWithBytes;
            continue;
          }
          Accepted a;
          a.row = &row;
          a.bytes = bytes;
          a.label = std::string(row.name) + " " + describe(s1) +
                    (p2 ? ", " + describe(s2) : "") + " in " + std::to_string(bits) + "-bit mode";
          a.want.push_back(expectedOperand(s1, o1));
          if (p2) a.want.push_back(expectedOperand(s2, o2));
          a.mnemonic = readingOf(row, s1, s2, a.want);
          a.sizeGiven[0] = s1.kind == SweepOp::Mem && s1.size != 0;
          a.sizeGiven[1] = s2.kind == SweepOp::Mem && s2.size != 0;
          accepted.push_back(std::move(a));
          ++perRow[&row];
        }
      }
    }
    EXPECT_EQ(refusedWithBytes, 0u) << "refused instructions left bytes behind";
    for (const auto& [row, count] : perRow) EXPECT_GT(count, 0u) << row->name << " accepts nothing in " << bits;
    checkAccepted(accepted, bits);
    return accepted.size();
  }

 private:
  void report(const Accepted& a, const char* oracle, const std::string& why) {
    if (++failures_ <= 40)
      ADD_FAILURE() << a.label << ": " << oracle << " reads " << why << " (bytes " << hexBytes(a.bytes) << ")";
  }

  void checkAccepted(const std::vector<Accepted>& accepted, int bits) {
    // Capstone: every field but the memory width, which it gets wrong for a
    // few SSE rows. It misreads 66-prefixed SSE in 16-bit code, so only the
    // text oracle reads that mode.
    if (bits != 16) {
      for (const Accepted& a : accepted) {
        const std::string why = mismatch(a.mnemonic, a.want, decode(a.bytes, bits), a.bytes.size(), bits, false);
        if (!why.empty()) report(a, "Capstone", why);
      }
    }
    std::vector<std::string> code;
    code.reserve(accepted.size());
    for (const Accepted& a : accepted) code.push_back(a.bytes);
    const std::vector<Decoded> text = textDecodeBatch(code, bits);
    const char* oracle = bits == 16 ? "objdump" : "llvm-mc";
    // Widths the disassembler names for memory without a size; the same
    // row must accept each of them when written out.
    std::map<PInstruction, std::set<unsigned>> implied, given;
    for (size_t i = 0; i < accepted.size(); ++i) {
      const Accepted& a = accepted[i];
      const std::string why = mismatch(a.mnemonic, a.want, text[i], a.bytes.size(), bits, true);
      if (!why.empty()) {
        report(a, oracle, why);
        continue;
      }
      for (size_t k = 0; k < a.want.size(); ++k) {
        if (a.want[k].kind != DecodedOperand::Mem) continue;
        const unsigned decodedSize = text[i].ops[k].size;
        if (decodedSize == 0) continue;
        (a.sizeGiven[k] || a.want[k].size ? given : implied)[a.row].insert(decodedSize);
      }
    }
    for (const auto& [row, sizes] : implied)
      for (unsigned s : sizes)
        EXPECT_TRUE(given[row].count(s)) << row->name << " in " << bits << "-bit mode reads " << s
                                         << " bytes but refuses a memory operand of that size";
    EXPECT_EQ(failures_, 0u);
  }

  size_t failures_ = 0;
};

// Variable fixups in memory operands. The variable's address is a
// placeholder the builder fills; here the field is filled with a marker, as
// the builder would, and the disassembler must read the marker back.
class EncoderFixupSweep : public EncoderSweep {
 protected:
  void SetUp() override {
    EncoderSweep::SetUp();
    func_ = FuncMan->CreateFunction(ltFunc, nullptr);
    type_.size = 8;
    var_.type_ = &type_;
  }
  TFixupList& fixups() { return fixupList(func_); }

  // Encodes; checks that exactly one fixup was filed, for var_ in func_, of
  // the mode's address size and with offset as its offset, over zero bytes;
  // patches the marker in and returns the oracle's text.
  std::string patched(const char* name, TOperand* o1, TOperand* o2, int bits, uint32_t offset, char oracle = 'c') {
    setMode(static_cast<uint32_t>(bits));
    // The records belong to the fixup manager: only the list is emptied.
    fixups().clear();
    const EncodeResult r = encode(name, o1, o2);
    EXPECT_EQ(r.rc, ASSEMBLE_OK) << name << ": " << TVorAssembler::errorCodeToString(r.rc);
    if (r.rc != ASSEMBLE_OK || fixups().size() != 1) {
      ADD_FAILURE() << name << ": " << fixups().size() << " fixups";
      return {};
    }
    const TFixup& f = *fixups()[0];
    const uint8_t size = bits == 16 ? 2 : 4;
    EXPECT_EQ(f.hint, ftVar);
    EXPECT_EQ(f.jmp, jtJMP);
    EXPECT_EQ(f.data, &var_);
    EXPECT_EQ(f.parentfunc, func_);
    EXPECT_EQ(f.size, size);
    EXPECT_EQ(f.offset, offset);
    std::string bytes = r.bytes;
    EXPECT_LE(f.position + f.size, bytes.size());
    if (f.position + f.size > bytes.size()) return {};
    // The builder writes the target's address plus the offset.
    const uint32_t value = size == 2 ? 0x1234u : 0x12345678u;
    for (uint32_t k = 0; k < f.size; ++k) {
      EXPECT_EQ(bytes[f.position + k], 0) << "placeholder not zero";
      bytes[f.position + k] = static_cast<char>(value >> (8 * k));
    }
    return oracleText(bytes, bits, oracle);
  }

  TFunction* func_ = nullptr;
  TVarType type_{};
  TVar var_{};
};

}  // namespace vorak::test
