// Differential sweep of the integer groups: every row of those groups, in
// each processor mode, is fed generated operand combinations (registers of
// every size, immediates of every width, memory forms with base, index,
// scale and displacement). Every combination the encoder accepts must decode,
// through Capstone, to the very instruction written, with the decoded length
// equal to the bytes emitted; every one it refuses must leave no byte.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "compiler/symbols/FuncManager.h"
#include "support/Disasm.h"
#include "support/EncoderFixture.h"

namespace vorak {
namespace {

using test::Decoded;
using test::DecodedOperand;
using test::EncoderTest;
using test::hexBytes;

bool isIntegerGroup(TInstructionGroup g) {
  switch (g) {
    case igEMIT: case igALU: case igLEA: case igINCDEC: case igBT: case igROT: case igSHLRD:
    case igRM_S: case igBSWAP: case igTEST: case igREGMEM: case igXCHG: case igIMUL:
    case igREG_REGMEM: case igREGMEM_REG: return true;
    default: return false;
  }
}

// Capstone's name for rows whose mnemonic is an alias of another.
std::string canonicalName(std::string name) {
  static const std::map<std::string, std::string> aliases = {
      {"sal", "shl"}, {"fwait", "wait"}, {"popad", "popal"}, {"pushad", "pushal"},
      {"popfw", "popf"}, {"pushfw", "pushf"},
  };
  if (auto it = aliases.find(name); it != aliases.end()) return it->second;
  // Condition codes of setcc and cmovcc: one name per condition.
  static const std::map<std::string, std::string> conditions = {
      {"c", "b"}, {"nae", "b"}, {"nb", "ae"}, {"nc", "ae"}, {"z", "e"}, {"nz", "ne"},
      {"na", "be"}, {"nbe", "a"}, {"pe", "p"}, {"po", "np"}, {"nge", "l"}, {"nl", "ge"},
      {"ng", "le"}, {"nle", "g"},
  };
  for (const char* stem : {"set", "cmov"}) {
    if (name.rfind(stem, 0) == 0) {
      const std::string cc = name.substr(std::strlen(stem));
      if (auto it = conditions.find(cc); it != conditions.end()) return stem + it->second;
    }
  }
  return name;
}

struct Pools {
  std::vector<TRegister> regs;
  std::vector<int64_t> imms;
  struct MemForm {
    std::vector<TRegister> regs;
    int64_t disp;
    uint8_t scale;
  };
  std::vector<MemForm> mems;
  std::vector<uint32_t> memSizes = {0, 1, 2, 4, 8};
};

// Operands that every mode sees; the encoder must refuse the ones a mode
// cannot express (64-bit registers outside 64-bit mode, 16-bit addressing in
// 32-bit mode, ...).
Pools poolsFor(uint32_t bits) {
  Pools p;
  p.regs = {REG_AL, REG_CL, REG_BL, REG_AH, REG_BH, REG_AX, REG_CX, REG_SP, REG_BP, REG_DI,
            REG_EAX, REG_ECX, REG_ESP, REG_EBP, REG_EDI, REG_RAX, REG_RCX, REG_RSP, REG_RBP,
            REG_R8, REG_R12, REG_R13, REG_R15};
  p.imms = {0, 1, 3, -1, 0x7F, 0x80, 0xFF, -128, -129, 300, 0x7FFF, 0x8000, 0xFFFF,
            0x12345678, 0x80000000, 0xFFFFFFFF, 0x100000000, -0x80000000LL, 0x7FFFFFFFFFFFFFFF};
  switch (bits) {
    case 16:
      p.mems = {{{REG_BX}, 0, 0},        {{REG_BP}, 0, 0},          {{REG_SI}, 4, 0},
                {{REG_BX, REG_DI}, 0x100, 0}, {{REG_BP, REG_SI}, -2, 0}, {{}, 0x1234, 0},
                {{REG_DI}, 0x7FFF, 0},   {{REG_EAX}, 0, 0},         {{REG_BX}, 0, 2}};
      break;
    case 32:
      p.mems = {{{REG_EAX}, 0, 0},          {{REG_ESP}, 8, 0},           {{REG_EBP}, 0, 0},
                {{REG_EBX, REG_ECX}, 0x40, 4}, {{REG_ESI}, 0x1000, 8},   {{}, 0x12345678, 0},
                {{REG_EDI}, -0x80, 0},      {{REG_EAX, REG_EBP}, 0, 2}, {{REG_AX}, 0, 0},
                {{REG_RAX}, 0, 0},          {{REG_EAX, REG_ESP}, 0, 0}};
      break;
    default:
      p.mems = {{{REG_RAX}, 0, 0},           {{REG_RSP}, 8, 0},            {{REG_RBP}, 0, 0},
                {{REG_R12}, 0, 0},           {{REG_R13}, 0x200, 0},        {{REG_RBX, REG_R9}, 0x40, 4},
                {{REG_R11}, 0x1000, 8},      {{}, 0x7FFF0000, 0},          {{REG_EBP}, -8, 0},
                {{REG_ESP, REG_EAX}, 0, 2},  {{REG_RAX, REG_ECX}, 0, 0},   {{REG_R8, REG_R12}, 0, 0},
                // Displacements the sign-extended field cannot hold.
                {{REG_RBX}, 0xFFFFFFFF, 0},  {{}, 0x80000000, 0},          {{REG_RSI}, 0x90000000, 4}};
      break;
  }
  return p;
}

// How many low bits of an immediate the instruction keeps: the operand's
// width for arithmetic, one byte for counts and bit numbers.
unsigned immBits(TInstructionGroup g, const TOperand& o1) {
  switch (g) {
    case igROT: case igBT: case igSHLRD: case igEMIT: return 8;
    default: return o1.size ? 8 * o1.size : 64;
  }
}

int64_t canonical(int64_t v) { return (v >> 32) == 0 ? static_cast<int32_t>(static_cast<uint32_t>(v)) : v; }

bool sameLowBits(int64_t a, int64_t b, unsigned bits) {
  if (bits >= 64) return a == b;
  const uint64_t mask = (uint64_t{1} << bits) - 1;
  return (static_cast<uint64_t>(a) & mask) == (static_cast<uint64_t>(b) & mask);
}

class IntegerSweep : public EncoderTest {
 protected:
  void SetUp() override {
    EncoderTest::SetUp();
    func_ = FuncMan->CreateFunction(ltFunc, nullptr);
  }

  TFunction* func_ = nullptr;
  TVar var_{};

  // One operand as written and as Capstone must read it back. Returns an
  // empty text when it matches, else what differs.
  std::string compareOperand(const TOperand& w, const DecodedOperand& d, unsigned immBitCount, uint32_t bits) {
    switch (w.hint) {
      case otRegister:
        if (d.kind != DecodedOperand::Reg || d.reg != regToStr(w.reg_base))
          return "register " + std::string(regToStr(w.reg_base)) + " read as " + d.reg;
        return {};
      case otImm:
        if (d.kind != DecodedOperand::Imm || !sameLowBits(canonical(w.value), d.imm, immBitCount))
          return "immediate " + std::to_string(w.value) + " read as " + std::to_string(d.imm);
        return {};
      case otMem: {
        if (d.kind != DecodedOperand::Mem) return "memory operand read as another kind";
        const std::string base = w.reg_base == REG_NONE ? "" : std::string(regToStr(w.reg_base));
        const std::string index = w.reg_index == REG_NONE ? "" : std::string(regToStr(w.reg_index));
        // One scaled register is an index without a base.
        const bool indexOnly = w.reg_index == REG_NONE && w.scale > 1 && w.reg_base != REG_NONE;
        const std::string wantBase = indexOnly ? "" : base;
        const std::string wantIndex = indexOnly ? base : index;
        const int wantScale = w.scale > 1 ? w.scale : 1;
        int64_t wantDisp = w.displacement;
        if (w.reg_base == REG_NONE && w.scale > 1) wantDisp *= w.scale;
        // 64-bit addresses take the displacement sign-extended: all of it counts.
        const unsigned dispBits = bits == 16 ? 16 : bits == 32 ? 32 : 64;
        if (d.base != wantBase || d.index != wantIndex || (!d.index.empty() && d.scale != wantScale) ||
            !sameLowBits(wantDisp, d.disp, dispBits) || !d.segment.empty())
          return "memory [" + wantBase + "+" + wantIndex + "*" + std::to_string(wantScale) + "+" +
                 std::to_string(wantDisp) + "] read as [" + d.base + "+" + d.index + "*" +
                 std::to_string(d.scale) + "+" + std::to_string(d.disp) + "] seg " + d.segment;
        if (w.size != 0 && d.size != w.size)
          return "memory of " + std::to_string(w.size) + " bytes read as " + std::to_string(d.size);
        return {};
      }
      case otVar:
      case otVarRef: {
        // The builder fills the field; the encoder leaves zeros there.
        if (d.kind == DecodedOperand::Imm) {
          if (w.hint != otVarRef || d.imm != 0) return "variable read as immediate " + std::to_string(d.imm);
          return {};
        }
        if (d.kind != DecodedOperand::Mem || !d.base.empty() || !d.index.empty() || d.disp != 0 ||
            !d.segment.empty())
          return "variable read as [" + d.base + "+" + d.index + "+" + std::to_string(d.disp) + "]";
        if (w.hint == otVar && w.size != 0 && d.size != w.size)
          return "variable of " + std::to_string(w.size) + " bytes read as " + std::to_string(d.size);
        return {};
      }
      default: return "unexpected operand kind";
    }
  }

  // The operands Capstone shows for a row, in its order.
  static std::vector<TOperand> expectedOperands(TInstructionGroup g, const std::vector<TOperand>& w) {
    if (g == igIMUL && w.size() == 2 && w[1].hint == otImm) return {w[0], w[0], w[1]};
    if (g == igLEA) {
      std::vector<TOperand> e = w;
      if (e[1].hint == otImm) {  // lea r, n is lea r, [n]
        const int32_t address = static_cast<int32_t>(static_cast<uint32_t>(e[1].value));
        e[1].setMemory(false, 0, address, 0, {}, nullptr, otRegister, nullptr);
      }
      e[1].size = 0;  // an address has no width
      return e;
    }
    return w;
  }

  std::string check(PInstruction row, const std::vector<TOperand>& written, const std::string& bytes,
                    uint32_t bits) {
    const Decoded d = test::decode(bytes, static_cast<int>(bits));
    if (!d.ok) return "undecodable";
    if (d.length != bytes.size())
      return "decoded " + std::to_string(d.length) + " of " + std::to_string(bytes.size()) + " bytes (" + d.text + ")";
    const std::string want = canonicalName(row->name);
    // The accumulator exchanged with itself is the byte read as nop (with
    // 66 for the other width), except where xchg eax, eax must clear the
    // upper half of RAX, which nop does not.
    const bool selfExchange = row->group == igXCHG && written[0].hint == otRegister &&
                              written[1].hint == otRegister && written[0].reg_base == written[1].reg_base &&
                              regID(written[0].reg_base) == 0 && written[0].size > 1;
    if (selfExchange && d.mnemonic == "nop" && d.ops.empty()) {
      if (bits == 64 && written[0].size == 4) return "nop where RAX's upper half must be cleared";
      return {};
    }
    if (d.mnemonic != want) return "mnemonic " + d.mnemonic + ", want " + want;
    const std::vector<TOperand> exp = expectedOperands(row->group, written);
    if (d.ops.size() != exp.size()) return "operand count " + std::to_string(d.ops.size()) + " (" + d.text + ")";
    // setcc of a wider register writes its low byte.
    if (row->group == igRM_S && written[0].hint == otRegister && written[0].size > 1) {
      const std::string low = test::lowByteName(written[0].reg_base);
      if (d.ops[0].kind != DecodedOperand::Reg || d.ops[0].reg != low)
        return "register " + std::string(regToStr(written[0].reg_base)) + " read as " + d.ops[0].reg + ", want " + low;
      return {};
    }
    const unsigned ib = immBits(row->group, written[0]);
    std::string first;
    for (size_t i = 0; i < exp.size(); ++i) {
      std::string diff = compareOperand(exp[i], d.ops[i], ib, bits);
      if (!diff.empty() && first.empty()) first = diff;
    }
    // xchg reads the same either way round.
    if (!first.empty() && row->group == igXCHG && exp.size() == 2 &&
        compareOperand(exp[0], d.ops[1], ib, bits).empty() && compareOperand(exp[1], d.ops[0], ib, bits).empty())
      return {};
    return first.empty() ? first : first + " (" + d.text + ")";
  }

  TOperand makeReg(TRegister r) {
    TOperand op;
    op.setRegister(false, r);
    return op;
  }
  TOperand makeImm(int64_t v) {
    TOperand op;
    op.setImm(false, 0, 4);
    op.value = v;
    return op;
  }
  TOperand makeMem(uint32_t size, const Pools::MemForm& m) {
    TOperand op;
    switch (m.regs.size()) {
      case 0: op.setMemory(false, size, m.disp, m.scale, {}, nullptr, otRegister, nullptr); break;
      case 1: op.setMemory(false, size, m.disp, m.scale, {m.regs[0]}, nullptr, otRegister, nullptr); break;
      default:
        op.setMemory(false, size, m.disp, m.scale, {m.regs[0], m.regs[1]}, nullptr, otRegister, nullptr);
    }
    return op;
  }

  // A variable's contents or address; the fixup goes to func_.
  TOperand makeVar(TOperandType kind, uint32_t size) {
    TOperand op;
    op.setPointer(false, kind, func_, &var_, size);
    op.displacement = 8;
    return op;
  }

  std::vector<TOperand> operandPool(const Pools& p, bool withImm, bool withMem) {
    std::vector<TOperand> out;
    for (TRegister r : p.regs) out.push_back(makeReg(r));
    if (withImm)
      for (int64_t v : p.imms) out.push_back(makeImm(v));
    if (withMem) {
      for (uint32_t s : p.memSizes)
        for (const Pools::MemForm& m : p.mems) out.push_back(makeMem(s, m));
      for (uint32_t s : {1u, 2u, 4u, 8u}) out.push_back(makeVar(otVar, s));
      out.push_back(makeVar(otVarRef, 0));
    }
    return out;
  }

  struct Tally {
    size_t tried = 0, accepted = 0;
    std::vector<std::string> failures;
  };

  // Encodes one combination (copies, since some rules write sizes back) and
  // checks the outcome.
  void tryOne(PInstruction row, uint32_t bits, const std::vector<const TOperand*>& ops, Tally& t) {
    std::vector<TOperand> work;
    for (const TOperand* o : ops) work.push_back(*o);
    TOperand* p[3] = {nullptr, nullptr, nullptr};
    for (size_t i = 0; i < work.size(); ++i) p[i] = &work[i];
    std::vector<TOperand> written(work);
    ++t.tried;
    const uint32_t rc = enc.assemble(row, p[0], p[1], p[2], true);
    const std::string bytes = enc.popCode();
    std::string problem;
    if (rc != ASSEMBLE_OK) {
      if (!bytes.empty()) problem = "refused with bytes left: " + hexBytes(bytes);
    } else {
      ++t.accepted;
      // Capstone cannot read popcnt in 16-bit mode; objdump checks a few of
      // those in the table test.
      const bool unreadable = bits == 16 && std::strcmp(row->name, "popcnt") == 0;
      if (!unreadable) problem = check(row, written, bytes, bits);
    }
    if (!problem.empty() && t.failures.size() < 40) {
      std::string what = std::string(row->name) + " (" + std::to_string(bits) + "-bit)";
      for (const TOperand& o : written) what += " " + describe(o);
      t.failures.push_back(what + ": " + hexBytes(bytes) + ": " + problem);
    }
  }

  static std::string describe(const TOperand& o) {
    switch (o.hint) {
      case otRegister: return std::string(regToStr(o.reg_base));
      case otImm: return "imm(" + std::to_string(o.value) + ")";
      case otVar: return "var" + std::to_string(o.size);
      case otVarRef: return "varref";
      default: {
        std::string s = "m" + std::to_string(o.size) + "[";
        if (o.reg_base != REG_NONE) s += regToStr(o.reg_base);
        if (o.reg_index != REG_NONE) s += "+" + std::string(regToStr(o.reg_index));
        if (o.scale) s += "*" + std::to_string(o.scale);
        return s + "+" + std::to_string(o.displacement) + "]";
      }
    }
  }

  void sweepRow(PInstruction row, uint32_t bits, Tally& t) {
    const Pools p = poolsFor(bits);
    const std::vector<TOperand> all = operandPool(p, true, true);
    const std::vector<TOperand> regs = operandPool(p, false, false);
    const std::vector<TOperand> rm = operandPool(p, false, true);
    const std::vector<TOperand> counts = {makeReg(REG_CL), makeReg(REG_DL),  makeImm(4),  makeImm(1),
                                          makeImm(300),     makeImm(-1),      makeImm(0x12345678),
                                          makeImm(0x100000000)};
    switch (row->maxpar) {
      case 0: tryOne(row, bits, {}, t); break;
      case 1:
        for (const TOperand& a : all) tryOne(row, bits, {&a}, t);
        break;
      case 2:
        for (const TOperand& a : all)
          for (const TOperand& b : all) tryOne(row, bits, {&a, &b}, t);
        break;
      default:  // shld/shrd and imul: the third operand is a count or an immediate
        for (const TOperand& a : rm)
          for (const TOperand& b : (row->group == igIMUL ? rm : regs))
            for (const TOperand& c : counts) tryOne(row, bits, {&a, &b, &c}, t);
        if (row->group == igIMUL) {
          for (const TOperand& a : all) tryOne(row, bits, {&a}, t);
          for (const TOperand& a : all)
            for (const TOperand& b : all) tryOne(row, bits, {&a, &b}, t);
        }
        break;
    }
  }
};

TEST_F(IntegerSweep, EveryAcceptedFormDecodesAsWritten) {
  size_t rows = 0, tried = 0, accepted = 0;
  for (uint32_t bits : {16u, 32u, 64u}) {
    setMode(bits);
    for (const TInstruction& row : instructions) {
      if (!isIntegerGroup(row.group)) continue;
      // Prefixes and the x87 rows of igEMIT have tests of their own below.
      if (row.group == igEMIT) continue;
      Tally t;
      sweepRow(&row, bits, t);
      ++rows;
      tried += t.tried;
      accepted += t.accepted;
      // lea has no 16-bit form.
      const bool refusesAll = row.group == igLEA && bits == 16;
      if (refusesAll)
        EXPECT_EQ(t.accepted, 0u) << row.name << " in " << bits << "-bit mode";
      else
        EXPECT_GT(t.accepted, 0u) << row.name << " accepts nothing in " << bits << "-bit mode";
      for (const std::string& f : t.failures) ADD_FAILURE() << f;
    }
  }
  EXPECT_GT(rows, 100u);
  std::cout << "[ sweep ] " << rows << " row/mode pairs, " << tried << " combinations, " << accepted
            << " accepted\n";
}

// The operand-free rows: each decodes, alone, to its own name in every mode
// that accepts it. Prefix rows are decoded in front of an instruction they
// apply to; fclex and finit are fwait followed by their no-wait forms.
TEST_F(IntegerSweep, EveryEmitRowDecodesToItself) {
  const std::map<std::string, std::pair<std::string, std::string>> prefixed = {
      // row -> (bytes to follow it, Capstone's reading of the pair)
      {"lock", {"\x01\x18", "lock add"}},      {"rep", {"\xA4", "rep movsb"}},
      {"repe", {"\xA6", "repe cmpsb"}},         {"repz", {"\xA6", "repe cmpsb"}},
      {"repn", {"\xA6", "repne cmpsb"}},        {"repne", {"\xA6", "repne cmpsb"}},
      {"repnz", {"\xA6", "repne cmpsb"}},
  };
  const std::map<std::string, std::string> waited = {{"fclex", "fnclex"}, {"finit", "fninit"}};
  size_t checked = 0;
  for (uint32_t bits : {16u, 32u, 64u}) {
    setMode(bits);
    for (const TInstruction& row : instructions) {
      if (row.group != igEMIT || row.maxpar != 0) continue;
      const uint32_t rc = enc.assemble(&row, nullptr, nullptr, nullptr, true);
      const std::string bytes = enc.popCode();
      const std::string where = std::string(row.name) + " in " + std::to_string(bits) + "-bit mode";
      if (rc != ASSEMBLE_OK) {
        EXPECT_TRUE(bytes.empty()) << where;
        continue;
      }
      ++checked;
      // Capstone names 98 "cwde" and F3 90 "nop" in 16-bit mode; objdump
      // reads them right.
      if (bits == 16 && (std::strcmp(row.name, "cbw") == 0 || std::strcmp(row.name, "pause") == 0)) {
        const test::ObjdumpResult o = test::objdumpDecode(bytes, 16);
        if (!o.text.empty()) {
          EXPECT_EQ(o.text, row.name) << where;
          EXPECT_EQ(o.length, bytes.size()) << where;
        }
        continue;
      }
      std::string want = canonicalName(row.name), extra;
      if (auto it = prefixed.find(row.name); it != prefixed.end()) {
        extra = it->second.first;
        want = it->second.second;
      }
      const std::vector<Decoded> all = test::decodeAll(bytes + extra, static_cast<int>(bits));
      size_t length = 0;
      for (const Decoded& d : all) length += d.length;
      EXPECT_EQ(length, bytes.size() + extra.size()) << where << ": " << hexBytes(bytes);
      if (auto it = waited.find(row.name); it != waited.end()) {
        ASSERT_EQ(all.size(), 2u) << where;
        EXPECT_EQ(all[0].mnemonic, "wait") << where;
        EXPECT_EQ(all[1].mnemonic, it->second) << where;
        continue;
      }
      ASSERT_EQ(all.size(), 1u) << where << ": " << hexBytes(bytes);
      EXPECT_EQ(all[0].mnemonic, want) << where << ": " << hexBytes(bytes);
    }
  }
  EXPECT_GT(checked, 250u);
}

}  // namespace
}  // namespace vorak
