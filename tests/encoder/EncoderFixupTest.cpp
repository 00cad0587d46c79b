// Fixups the encoder leaves for the builder: each must point exactly at the
// field it describes. The field is filled with a marker, the way the builder
// would fill it, and the disassembler must read the marker back as the
// displacement or immediate. Also: register assumptions and the listing's
// function header, which read the same records.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "compiler/driver/Settings.h"
#include "compiler/output/FileWriter.h"
#include "compiler/statements/Compiler.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/RegisterManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "support/Disasm.h"
#include "support/EncoderFixture.h"

namespace vorak {
namespace {

using test::EncodeResult;
using test::EncoderTest;
using test::hexBytes;

class EncoderFixups : public EncoderTest {
 protected:
  void SetUp() override {
    EncoderTest::SetUp();
    func_ = FuncMan->CreateFunction(ltFunc, nullptr);
  }
  const TFixupList& fixups() const { return fixupList(func_); }
  void clearFixups() {
    // The records belong to the fixup manager: only the list is emptied.
    fixupList(func_).clear();
  }

  // Writes marker + the fixup's offset into the field, as a builder that
  // placed the target at marker would.
  static std::string patched(std::string bytes, const TFixup& f, uint64_t marker) {
    const uint64_t v = marker + f.offset;
    for (uint32_t i = 0; i < f.size; ++i) bytes[f.position + i] = static_cast<char>(v >> (8 * i));
    return bytes;
  }

  void TearDown() override {
    EncoderTest::TearDown();  // commits the listing, if one was asked for
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  TFunction* func_ = nullptr;
  TVar var_{};
  std::filesystem::path dir_;  // the target record; only its address matters here
};

struct FieldExpect {
  uint8_t size;
  uint32_t offset;
  const char* text;  // the instruction read back with the marker in place
};

TEST_F(EncoderFixups, VariableFieldsCarryTheMarker) {
  struct Case {
    uint32_t bits;
    const char* name;
    std::vector<TOperand*> (*ops)(EncoderFixups&, TVar*, TFunction*);
    std::vector<FieldExpect> fields;
  };
  const Case cases[] = {
      {32, "add",
       [](EncoderFixups& t, TVar* v, TFunction* f) -> std::vector<TOperand*> {
         return {t.var(otVar, 4, v, f, 8), t.reg(REG_EAX)};
       },
       {{4, 8, "add dword ptr [0x12345678], eax"}}},
      {32, "add",
       [](EncoderFixups& t, TVar* v, TFunction* f) -> std::vector<TOperand*> {
         return {t.reg(REG_EAX), t.var(otVarRef, 4, v, f, 12)};
       },
       {{4, 12, "add eax, 0x12345678"}}},
      {32, "sub",
       [](EncoderFixups& t, TVar* v, TFunction* f) -> std::vector<TOperand*> {
         return {t.reg(REG_EBX), t.var(otVarRef, 4, v, f)};
       },
       {{4, 0, "sub ebx, 0x12345678"}}},
      {32, "cmp",
       [](EncoderFixups& t, TVar* v, TFunction* f) -> std::vector<TOperand*> {
         return {t.var(otVar, 4, v, f), t.var(otVarRef, 4, v, f, 4)};
       },
       {{4, 0, "cmp dword ptr [0x12345678], 0x12345678"}, {4, 4, "cmp dword ptr [0x12345678], 0x12345678"}}},
      {32, "xor",
       [](EncoderFixups& t, TVar* v, TFunction* f) -> std::vector<TOperand*> {
         return {t.reg(REG_ECX), t.memVar(4, {REG_EBX}, v, f, 8)};
       },
       {{4, 8, "xor ecx, dword ptr [ebx + 0x12345678]"}}},
      {32, "and",
       [](EncoderFixups& t, TVar* v, TFunction* f) -> std::vector<TOperand*> {
         return {t.memVar(4, {REG_ESI}, v, f, 0, 4), t.imm(7)};
       },
       {{4, 0, "and dword ptr [esi*4 + 0x12345678], 7"}}},
      {32, "inc",
       [](EncoderFixups& t, TVar* v, TFunction* f) -> std::vector<TOperand*> {
         return {t.var(otVar, 4, v, f)};
       },
       {{4, 0, "inc dword ptr [0x12345678]"}}},
      {64, "add",
       [](EncoderFixups& t, TVar* v, TFunction* f) -> std::vector<TOperand*> {
         return {t.var(otVar, 8, v, f), t.reg(REG_RAX)};
       },
       {{4, 0, "add qword ptr [0x12345678], rax"}}},
      {64, "add",
       [](EncoderFixups& t, TVar* v, TFunction* f) -> std::vector<TOperand*> {
         return {t.reg(REG_RAX), t.var(otVarRef, 8, v, f)};
       },
       {{4, 0, "add rax, 0x12345678"}}},
      {64, "test",
       [](EncoderFixups& t, TVar* v, TFunction* f) -> std::vector<TOperand*> {
         return {t.memVar(4, {REG_R12}, v, f, 16), t.reg(REG_EDX)};
       },
       {{4, 16, "test dword ptr [r12 + 0x12345678], edx"}}},
      {16, "add",
       [](EncoderFixups& t, TVar* v, TFunction* f) -> std::vector<TOperand*> {
         return {t.var(otVar, 2, v, f, 2), t.reg(REG_AX)};
       },
       {{2, 2, "add word ptr [0x1234], ax"}}},
      {16, "add",
       [](EncoderFixups& t, TVar* v, TFunction* f) -> std::vector<TOperand*> {
         return {t.reg(REG_AX), t.memVar(2, {REG_BX, REG_SI}, v, f)};
       },
       {{2, 0, "add ax, word ptr [bx + si + 0x1234]"}}},
      {16, "add",
       [](EncoderFixups& t, TVar* v, TFunction* f) -> std::vector<TOperand*> {
         return {t.reg(REG_AX), t.var(otVarRef, 2, v, f)};
       },
       {{2, 0, "add ax, 0x1234"}}},
  };
  for (const Case& c : cases) {
    setMode(c.bits);
    clearFixups();
    const std::vector<TOperand*> ops = c.ops(*this, &var_, func_);
    const EncodeResult r =
        encode(c.name, ops[0], ops.size() > 1 ? ops[1] : nullptr, ops.size() > 2 ? ops[2] : nullptr);
    ASSERT_EQ(r.rc, ASSEMBLE_OK) << c.name << " " << c.bits;
    ASSERT_EQ(fixups().size(), c.fields.size()) << c.name << " " << c.bits << ": " << hexBytes(r.bytes);
    std::string bytes = r.bytes;
    for (size_t i = 0; i < c.fields.size(); ++i) {
      const TFixup& f = *fixups()[i];
      const FieldExpect& e = c.fields[i];
      EXPECT_EQ(f.hint, ftVar);
      EXPECT_EQ(f.jmp, jtJMP);
      EXPECT_EQ(f.data, &var_);
      EXPECT_EQ(f.parentfunc, func_);
      EXPECT_EQ(f.size, e.size) << c.name;
      EXPECT_EQ(f.offset, e.offset) << c.name;
      ASSERT_LE(f.position + f.size, bytes.size());
      for (uint32_t k = 0; k < f.size; ++k) EXPECT_EQ(bytes[f.position + k], 0) << "placeholder not zero";
      const uint64_t marker = (e.size == 2 ? 0x1234u : 0x12345678u) - f.offset;
      bytes = patched(bytes, f, marker);
    }
    EXPECT_EQ(test::disasmText(bytes, static_cast<int>(c.bits)), c.fields.back().text)
        << c.name << " " << c.bits << ": " << hexBytes(r.bytes);
  }
}

TEST_F(EncoderFixups, PositionsCountFromTheFunctionsCode) {
  func_->BufLen = 100;
  ASSERT_EQ(encode("add", var(otVar, 4, &var_, func_), reg(REG_EAX)).rc, ASSEMBLE_OK);
  ASSERT_EQ(fixups().size(), 1u);
  EXPECT_EQ(fixups()[0]->position, 102u);  // 01 05, then the field
}

TEST_F(EncoderFixups, RefusedInstructionsFileNoFixup) {
  EXPECT_EQ(encode("add", var(otVar, 4, &var_, func_), reg(REG_BL)).rc, ERROR_OPERAND_SIZE_MISMATCH);
  EXPECT_EQ(encode("add", reg(REG_AX), var(otVarRef, 4, &var_, func_)).rc, ERROR_OPERAND_SIZE_MISMATCH);
  setMode(64);
  EXPECT_EQ(encode("add", var(otVar, 1, &var_, func_), reg(REG_AH)).rc, ASSEMBLE_OK);
  EXPECT_EQ(fixups().size(), 1u);
  EXPECT_EQ(encode("add", memVar(1, {REG_R8}, &var_, func_), reg(REG_AH)).rc, ERROR_OPERAND_INVALID);
  EXPECT_EQ(fixups().size(), 1u);
}

// A fixup names its target; an operand that carries the function but no
// variable keeps its displacement as written, in every addressing form.
TEST_F(EncoderFixups, NoFixupWithoutATarget) {
  for (uint32_t bits : {16u, 32u, 64u}) {
    setMode(bits);
    clearFixups();
    const TRegister acc = bits == 16 ? REG_AX : REG_EAX;
    const EncodeResult absolute = encode("add", reg(acc), memVar(0, {}, nullptr, func_, 0x100));
    ASSERT_EQ(absolute.rc, ASSEMBLE_OK) << bits;
    const TRegister base = bits == 16 ? REG_BX : bits == 32 ? REG_EBX : REG_RBX;
    const EncodeResult based = encode("add", reg(acc), memVar(0, {base}, nullptr, func_, 0x100));
    ASSERT_EQ(based.rc, ASSEMBLE_OK) << bits;
    EXPECT_TRUE(fixups().empty()) << bits;
    const std::string a = test::disasmText(absolute.bytes, static_cast<int>(bits));
    EXPECT_NE(a.find("[0x100]"), std::string::npos) << a;
    const std::string b = test::disasmText(based.bytes, static_cast<int>(bits));
    EXPECT_NE(b.find(" + 0x100]"), std::string::npos) << b;
  }
}

TEST_F(EncoderFixups, AFieldOutsideAssembleIsFiledAtOnce) {
  enc.addFixupField(ftVar, func_, &var_, 4, 0, jtJMP);
  EXPECT_EQ(fixups().size(), 1u);
  EXPECT_EQ(hexBytes(enc.getCode()), "00 00 00 00");
}

TEST_F(EncoderFixups, RegisterAssumptionTakesEffectEvenWhenTheInstructionFails) {
  auto* type = reinterpret_cast<TVarType*>(&var_);
  RegMan->Registers[REG_EBX].tempAssume = type;
  ASSERT_EQ(encode("inc", reg(REG_EBX)).rc, ASSEMBLE_OK);
  EXPECT_EQ(RegMan->Registers[REG_EBX].assume, type);
  EXPECT_EQ(RegMan->Registers[REG_EBX].tempAssume, nullptr);
  RegMan->Registers[REG_ECX].tempAssume = type;
  EXPECT_EQ(encode("add", reg(REG_ECX), reg(REG_BL)).rc, ERROR_OPERAND_SIZE_MISMATCH);
  EXPECT_EQ(RegMan->Registers[REG_ECX].assume, type);
  EXPECT_EQ(RegMan->Registers[REG_ECX].tempAssume, nullptr);
}

TEST_F(EncoderFixups, ListingOpensAFunctionWithItsName) {
  dir_ = std::filesystem::temp_directory_path() / ("vorak_fix_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir_);
  Settings->setProjectPath(dir_.string() + "/");
  Settings->SetASMDebug(true, "t.asm");
  TFunction* f = FuncMan->CreateFunction(ltFunc, nullptr);  // index 1
  vorStrAssign(f->ImportName, "MyFunc");
  f->BufLen = 6;
  Compiler->setCurFunc(f);
  ASSERT_EQ(encode("nop").rc, ASSEMBLE_OK);
  f->BufLen = 7;
  ASSERT_EQ(encode("nop").rc, ASSEMBLE_OK);
  const std::string line = "90 " + std::string(45, ' ') + "\t\t\t; nop\r\n";
  EXPECT_EQ(DebugASM->Data(), "MyFunc:\r\n" + line + line);
  Compiler->setCurFunc(nullptr);
}

}  // namespace
}  // namespace vorak
