// Immediates of 8-byte operands in 64-bit code: every row of the table, with
// every operand form that can carry an immediate (alone, after an 8-byte
// register or memory operand, and as the third operand), is fed values at
// the edges of the sign-extended 32-bit field. What the encoder accepts must
// read back (Capstone) as the very number written; what it refuses must be
// refused with the code 32-bit code gives an immediate too wide for its field.
#include <gtest/gtest.h>

#include <string>
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
  if (!kHaveDisassembler) GTEST_SKIP() << "no Capstone";
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

}  // namespace
}  // namespace vorak::test
