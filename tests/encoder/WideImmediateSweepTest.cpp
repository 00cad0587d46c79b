// Immediates of 8-byte operands and displacements in 64-bit code: every row
// of the table, with every operand form that can carry an immediate (alone,
// after an 8-byte register or memory operand, and as the third operand) or a
// displacement, is fed values at the edges of the sign-extended 32-bit field.
// What the encoder accepts must read back (Capstone) as the very number or
// address written; what it refuses must be refused with the code for it.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "encoder/InstructionTable.h"
#include "support/Disasm.h"
#include "support/EncoderFixture.h"

namespace vorak::test {
namespace {

class WideImmediates : public EncoderTest {
 protected:
  struct Form {
    const char* what;
    std::vector<TOperand> before;  // the operands before the immediate
  };

  static TOperand regOp(TRegister r) {
    TOperand o;
    o.setRegister(false, r);
    return o;
  }
  static TOperand qwordOp(TRegister base, int32_t disp) {
    TOperand o;
    o.setMemory(false, 8, disp, 0, {base}, nullptr, otRegister, nullptr);
    return o;
  }
  static TOperand immOp(int64_t v) {
    TOperand o;
    o.setImm(false, 0, 8);
    o.value = v;
    return o;
  }

  // Assembles with the given operands in the given mode; the bytes or nothing.
  uint32_t run(const TInstruction& row, std::vector<TOperand> ops, std::string& bytes) {
    ops.resize(3, TOperand{});
    POperand p[3] = {nullptr, nullptr, nullptr};
    for (size_t i = 0; i < 3; ++i)
      if (ops[i].hint != otRegister || ops[i].reg_base != REG_NONE) p[i] = &ops[i];
    const uint32_t rc = enc.assemble(&row, p[0], p[1], p[2], true);
    bytes = enc.popCode();
    return rc;
  }
};

bool signed32(int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; }

TEST_F(WideImmediates, EveryRowTakesOnlyWhatItsFieldHoldsAndRefusesTheRestAs32BitCodeDoes) {
  CompileFlags.imm_roll = 0;
  const std::vector<int64_t> values = {5,           0x7FFFFFFF,          -0x80000000LL, 0x80000000LL,
                                       0xFFFFFFFFLL, 0x100000000LL,      -0x80000001LL, INT64_MAX,
                                       INT64_MIN,    -0x7FFFFFFFLL};
  // The forms, in 64-bit code and their 32-bit counterparts (4-byte operands).
  const std::vector<Form> forms64 = {{"imm", {}},
                                     {"rax, imm", {regOp(REG_RAX)}},
                                     {"r9, imm", {regOp(REG_R9)}},
                                     {"qword [rbx+8], imm", {qwordOp(REG_RBX, 8)}},
                                     {"qword [rsp], imm", {qwordOp(REG_RSP, 0)}},
                                     {"rax, rcx, imm", {regOp(REG_RAX), regOp(REG_RCX)}},
                                     {"rdx, qword [rbx], imm", {regOp(REG_RDX), qwordOp(REG_RBX, 0)}}};
  auto dword = [](TRegister base, int32_t disp) {
    TOperand o = qwordOp(base, disp);
    o.size = 4;
    return o;
  };
  const std::vector<Form> forms32 = {{"imm", {}},
                                     {"eax, imm", {regOp(REG_EAX)}},
                                     {"ecx, imm", {regOp(REG_ECX)}},
                                     {"dword [ebx+8], imm", {dword(REG_EBX, 8)}},
                                     {"dword [esp], imm", {dword(REG_ESP, 0)}},
                                     {"eax, ecx, imm", {regOp(REG_EAX), regOp(REG_ECX)}},
                                     {"edx, dword [ebx], imm", {regOp(REG_EDX), dword(REG_EBX, 0)}}};
  size_t accepted = 0, refused = 0;
  for (const TInstruction& row : instructions) {
    for (size_t f = 0; f < forms64.size(); ++f) {
      const std::string name = std::string(row.name) + " " + forms64[f].what;
      // Rows that take no immediate in this form are no concern here.
      std::string bytes;
      setMode(64);
      std::vector<TOperand> small = forms64[f].before;
      small.push_back(immOp(5));
      if (run(row, small, bytes) != ASSEMBLE_OK) continue;
      for (int64_t v : values) {
        setMode(64);
        std::vector<TOperand> ops = forms64[f].before;
        ops.push_back(immOp(v));
        const uint32_t rc = run(row, ops, bytes);
        const std::string where = name + " with " + std::to_string(v);
        if (rc == ASSEMBLE_OK) {
          ++accepted;
          const Decoded d = decode(bytes, 64);
          ASSERT_TRUE(d.ok) << where;
          if (d.length != bytes.size()) continue;  // a rewritten sequence: not one instruction to read back
          const DecodedOperand* found = nullptr;
          for (const DecodedOperand& o : d.ops)
            if (o.kind == DecodedOperand::Imm) found = &o;
          if (!found) continue;
          int64_t want = v;
          // Relative targets read back as addresses from the end (base 0).
          if (row.group == igCALL || row.group == igGOTO) want = v + static_cast<int64_t>(d.length);
          // Fields of one byte (bit numbers, shift counts, int n) and ret's
          // word do not follow the operand's size.
          const bool byteField = row.group == igBT || row.group == igROT || row.group == igSHLRD ||
                                 row.group == igEMIT || row.group == igENTER;
          if (byteField || row.group == igRET) {
            EXPECT_EQ(found->imm & 0xFF, v & 0xFF) << where << " reads " << d.text;
            continue;
          }
          EXPECT_EQ(found->imm, want) << where << " reads " << d.text << " (" << hexBytes(bytes) << ")";
          if (row.group != igMOV) {
            EXPECT_TRUE(signed32(v)) << where << " accepted as " << d.text;
          }
        } else {
          ++refused;
          EXPECT_TRUE(bytes.empty()) << where;
          if (signed32(v)) continue;
          // The code 32-bit code gives the same row an immediate too wide
          // for its 4-byte field.
          setMode(32);
          std::vector<TOperand> ops32 = forms32[f].before;
          ops32.push_back(immOp(0x100000000LL));
          std::string bytes32;
          const uint32_t rc32 = run(row, ops32, bytes32);
          if (rc32 == ASSEMBLE_OK || rc32 == ERROR_MODE_SUPPORT) continue;  // no such form in 32-bit code
          EXPECT_EQ(rc, rc32) << where << ": " << TVorAssembler::errorCodeToString(rc);
        }
      }
    }
  }
  // The sweep reached the rows it is about.
  EXPECT_GT(accepted, 50u);
  EXPECT_GT(refused, 50u);
}

// The cases that used to be sign-extended into other numbers, by name.
TEST_F(WideImmediates, ValuesBeyondTheSignExtendedFieldAreRefused) {
  setMode(64);
  CompileFlags.imm_roll = 0;
  struct Case {
    const char* name;
    int64_t v;
    int form;  // 0: rax, v; 1: qword [rbx], v; 2: rax, rcx, v; 3: v alone
  };
  const Case cases[] = {{"add", 4294967295LL, 0}, {"cmp", 0xFFFFFFFFLL, 0}, {"test", 0xFFFFFFFFLL, 0},
                        {"and", 0x80000000LL, 0}, {"cmp", 2147483648LL, 1}, {"imul", 0x80000000LL, 2},
                        {"push", 2147483648LL, 3}, {"sub", 0x80000000LL, 1}, {"test", 0x80000000LL, 1},
                        {"imul", 0xFFFFFFFFLL, 0}, {"jmp", 0x80000000LL, 3}, {"call", 0xFFFFFFFFLL, 3}};
  for (const Case& c : cases) {
    TOperand* v = imm(c.v, 8);
    EncodeResult r;
    switch (c.form) {
      case 0: r = encode(c.name, reg(REG_RAX), v); break;
      case 1: r = encode(c.name, mem(8, {REG_RBX}), v); break;
      case 2: r = encode(c.name, reg(REG_RAX), reg(REG_RCX), v); break;
      default: r = encode(c.name, v); break;
    }
    EXPECT_EQ(r.rc, ERROR_OPERAND_SIZE_MISMATCH) << c.name << " " << c.v << " form " << c.form;
    EXPECT_EQ(r.bytes, "") << c.name;
  }
  // mov r64 keeps its 8-byte immediate; -1 still fits every field.
  EXPECT_EQ(hexBytes(encode("mov", reg(REG_RAX), imm(0xFFFFFFFFLL, 8)).bytes), "48 B8 FF FF FF FF 00 00 00 00");
  EXPECT_EQ(hexBytes(encode("add", reg(REG_RBX), imm(-1, 8)).bytes), "48 83 C3 FF");
  EXPECT_EQ(hexBytes(encode("push", imm(-2147483648LL, 8)).bytes), "68 00 00 00 80");
}

// Displacements in 64-bit code: every row, with every operand form that
// carries a memory operand (alone, beside a register, an immediate, an mm or
// xmm register or a second memory operand; based, indexed and absolute), is
// fed displacements at the edges of the sign-extended 32-bit field. What the
// encoder accepts must address, in every instruction it emits (Capstone),
// the block written and no other place; what it refuses must be refused as
// a displacement out of range. 32-bit code takes the same displacements and
// wraps them, as its addresses do.
class WideDisplacements : public EncoderTest {
 protected:
  // The operand beside the memory operand, if any.
  enum Other { None, Reg, Imm, Mm, Xmm, Mem };
  struct Shape {
    const char* what;
    int memAt;  // the position of the memory operand
    Other other;
  };

  // The memory operand of a mode: base, base + index*4, or no register.
  static TOperand memOp(int bits, int form, uint32_t size, int64_t disp) {
    const TRegister base = bits == 64 ? REG_RBX : REG_EBX, index = bits == 64 ? REG_RSI : REG_ESI;
    TOperand o;
    switch (form) {
      case 0: o.setMemory(false, size, disp, 0, {base}, nullptr, otRegister, nullptr); break;
      case 1: o.setMemory(false, size, disp, 4, {base, index}, nullptr, otRegister, nullptr); break;
      default: o.setMemory(false, size, disp, 0, {}, nullptr, otRegister, nullptr); break;
    }
    return o;
  }
  // The other operands of a shape, of the memory operand's width.
  static TOperand other(int bits, Other kind, uint32_t size) {
    TOperand o;
    switch (kind) {
      case Imm: o.setImm(false, 1, 1); break;
      case Mm:
        o.setIntType(false, otST, 1);
        o.size = MM_REGISTER_SIZE;
        break;
      case Xmm: o.setIntType(false, otXMM, 1); break;
      case Mem: o.setMemory(false, size, 0, 0, {bits == 64 ? REG_RCX : REG_ECX}, nullptr, otRegister, nullptr); break;
      default: {
        const uint32_t width = size == 0 ? static_cast<uint32_t>(bits / 8) : size;
        o.setRegister(false, width == 1 ? REG_AL : width == 2 ? REG_AX : width == 4 ? REG_EAX : REG_RAX);
        break;
      }
    }
    return o;
  }
  uint32_t run(const TInstruction& row, const Shape& s, int bits, int form, uint32_t size, int64_t disp,
               std::string& bytes) {
    setMode(static_cast<uint32_t>(bits));
    TOperand ops[2] = {memOp(bits, form, size, disp), other(bits, s.other, size)};
    if (s.memAt == 1) std::swap(ops[0], ops[1]);
    const uint32_t rc = enc.assemble(&row, &ops[0], s.other == None ? nullptr : &ops[1], nullptr, true);
    bytes = enc.popCode();
    return rc;
  }

  // Every memory operand of the emitted instructions that addresses the
  // block (through its base or index, or absolutely) must lie within it:
  // disp .. disp+16, read as the mode's addresses are.
  static std::string addressesOnlyTheBlock(const std::string& bytes, int bits, int64_t disp) {
    const std::vector<Decoded> all = decodeAll(bytes, bits);
    size_t length = 0;
    for (const Decoded& d : all) {
      length += d.length;
      for (const DecodedOperand& o : d.ops) {
        if (o.kind != DecodedOperand::Mem) continue;
        const bool block = o.base == "rbx" || o.base == "ebx" || o.index == "rsi" || o.index == "esi" ||
                           (o.base.empty() && o.index.empty());
        if (!block) continue;
        const int64_t offset = bits == 64 ? o.disp - disp : static_cast<int64_t>(static_cast<uint32_t>(o.disp - disp));
        if (offset < 0 || offset >= 16) return d.text + " addresses " + std::to_string(o.disp);
      }
    }
    if (all.empty() || length != bytes.size()) return "not decoded whole";
    return {};
  }
};

TEST_F(WideDisplacements, EveryRowAddressesTheBlockWrittenOrRefusesTheDisplacement) {
  const std::vector<Shape> shapes = {{"m", 0, None},     {"m, r", 0, Reg},   {"r, m", 1, Reg},
                                     {"m, imm", 0, Imm},  {"mm, m", 1, Mm},   {"m, mm", 0, Mm},
                                     {"xmm, m", 1, Xmm},  {"m, xmm", 0, Xmm}, {"m, m", 0, Mem}};
  const int64_t wide[] = {0x7FFFFFF0LL, -0x80000000LL, 0x80000000LL, 0xFFFFFFFFLL, 0xFFFFFFF0LL, 0x7FFFFFFFLL};
  size_t accepted = 0, refused = 0, wrapped = 0;
  ::testing::internal::CaptureStdout();  // warnings of pushed variables and truncated operands
  for (const TInstruction& row : instructions) {
    for (const Shape& s : shapes) {
      for (int form = 0; form < 3; ++form) {
        for (uint32_t size : {0u, 1u, 2u, 4u, 8u, 10u, 16u}) {
          std::string bytes;
          // Forms the row does not take at all are no concern here.
          if (run(row, s, 64, form, size, 8, bytes) != ASSEMBLE_OK) continue;
          const std::string what = std::string(row.name) + " " + s.what + " (form " + std::to_string(form) +
                                   ", size " + std::to_string(size) + ")";
          for (int64_t disp : wide) {
            const std::string where = what + " at " + std::to_string(disp);
            const uint32_t rc = run(row, s, 64, form, size, disp, bytes);
            if (rc == ASSEMBLE_OK) {
              ++accepted;
              const std::string why = addressesOnlyTheBlock(bytes, 64, disp);
              EXPECT_EQ(why, "") << where << " (" << hexBytes(bytes) << ")";
            } else {
              ++refused;
              EXPECT_EQ(rc, ERROR_DISPLACEMENT_RANGE) << where << ": " << TVorAssembler::errorCodeToString(rc);
              EXPECT_TRUE(bytes.empty()) << where;
            }
            // 32-bit code takes the same displacement wherever it takes the
            // form, as the same address.
            if (run(row, s, 32, form, size, 8, bytes) != ASSEMBLE_OK) continue;
            const uint32_t rc32 = run(row, s, 32, form, size, disp, bytes);
            EXPECT_EQ(rc32, ASSEMBLE_OK) << where << " in 32-bit code: " << TVorAssembler::errorCodeToString(rc32);
            if (rc32 != ASSEMBLE_OK) continue;
            ++wrapped;
            EXPECT_EQ(addressesOnlyTheBlock(bytes, 32, disp), "") << where << " in 32-bit code (" << hexBytes(bytes) << ")";
          }
        }
      }
    }
  }
  ::testing::internal::GetCapturedStdout();
  // The sweep reached both outcomes, across the families.
  EXPECT_GT(accepted, 1000u);
  EXPECT_GT(refused, 1000u);
  EXPECT_GT(wrapped, 1000u);
}

}  // namespace
}  // namespace vorak::test
