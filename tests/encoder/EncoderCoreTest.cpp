// Encoder core: the byte buffer, result texts, ModRM/SIB/displacement forms,
// REX rules, assemble's entry checks and rollback, and the listing.
#include "encoder/VorAssembler.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <cctype>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include "compiler/driver/Settings.h"
#include "compiler/output/FileWriter.h"
#include "support/Disasm.h"
#include "support/EncoderFixture.h"

namespace vorak {
namespace {

using test::EncoderTest;
using test::hexBytes;
namespace fs = std::filesystem;

class EncoderCore : public EncoderTest {
 protected:
  std::string code() const { return hexBytes(enc.getCode()); }
  // Switches the listing on, written into a scratch folder.
  void listingOn() {
    dir_ = fs::temp_directory_path() / ("vorak_enc_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    Settings->setProjectPath(dir_.string() + "/");
    Settings->SetASMDebug(true, "t.asm");
  }
  void TearDown() override {
    EncoderTest::TearDown();
    if (!dir_.empty()) fs::remove_all(dir_);
  }
  fs::path dir_;
};

// --- Result texts ----------------------------------------------------------------

TEST_F(EncoderCore, ErrorTextsAreTheDocumentedOnes) {
  const std::pair<uint32_t, const char*> table[] = {
      {0, "Assemble OK!"},
      {4096, "Invalid operand(s)"},
      {4097, "Operand size mismatch!"},
      {4098, "Expected single or double"},
      {4099, "Operand 1 is invalid"},
      {4100, "Operand 2 is invalid"},
      {4101, "Operand 3 is invalid"},
      {4112, "Not enough parameters!"},
      {4113, "Too many parameters!"},
      {4114, "Operand type mismatch!"},
      {0x10000000, "Unknown instruction"},
      {0x10000001, "Instruction required!"},
      {0x10000002, "Instruction usage is not supported!"},
  };
  for (const auto& [code, text] : table) EXPECT_EQ(TVorAssembler::errorCodeToString(code), text) << code;
  setMode(64);
  EXPECT_EQ(TVorAssembler::errorCodeToString(4115), "Instruction not available in 64 bit mode!");
}

// Operand records are kept for reuse when released: a record that comes
// back starts exactly as a new one, and live records never share memory,
// also past the number of records kept.
TEST(OperandRecords, ReusedRecordsStartAsNewOnes) {
  const TOperand fresh;
  for (int round = 0; round < 3; ++round) {
    std::vector<std::unique_ptr<TOperand>> live;
    std::set<const TOperand*> seen;
    for (int i = 0; i < 600; ++i) {
      auto op = std::make_unique<TOperand>();
      EXPECT_EQ(op->hint, fresh.hint);
      EXPECT_EQ(op->size, fresh.size);
      EXPECT_EQ(op->seg, fresh.seg);
      EXPECT_EQ(op->reg_base, fresh.reg_base);
      EXPECT_EQ(op->reg_index, fresh.reg_index);
      EXPECT_EQ(op->reg_count, fresh.reg_count);
      EXPECT_EQ(op->scale, fresh.scale);
      EXPECT_EQ(op->displacement, fresh.displacement);
      EXPECT_EQ(op->ptr, fresh.ptr);
      EXPECT_EQ(op->optype, fresh.optype);
      EXPECT_EQ(op->issigned, fresh.issigned);
      EXPECT_EQ(op->method, fresh.method);
      EXPECT_EQ(op->value, fresh.value);
      EXPECT_TRUE(seen.insert(op.get()).second) << "two live operands at one address";
      // Fill every field, so that a record handed out again unreset shows.
      op->setMemory(true, 4, -8, 2, {REG_EBX, REG_ESI}, op.get(), otVar, op.get());
      op->method = op.get();
      op->value = -1;
      live.push_back(std::move(op));
      // Release some on the way, as the operand parser does.
      if (i % 3 == 2) {
        seen.erase(live.front().get());
        live.erase(live.begin());
      }
    }
    for (const auto& op : live) EXPECT_EQ(op->value, -1);
  }
}

TEST_F(EncoderCore, IsImm8ReadsTheGivenWidth) {
  EXPECT_TRUE(TVorAssembler::isImm8(1, 100000));
  EXPECT_TRUE(TVorAssembler::isImm8(2, 0xFF80));   // -128 as 16 bits
  EXPECT_FALSE(TVorAssembler::isImm8(2, 0xFF7F));  // -129
  EXPECT_TRUE(TVorAssembler::isImm8(4, 0xFFFFFFFF));
  EXPECT_FALSE(TVorAssembler::isImm8(4, 128));
  EXPECT_FALSE(TVorAssembler::isImm8(8, 128));
  EXPECT_FALSE(TVorAssembler::isImm8(8, 0xFFFFFFFF));
  EXPECT_TRUE(TVorAssembler::isImm8(8, -128));
}

// --- The buffer ------------------------------------------------------------------

TEST_F(EncoderCore, AddBytesAppendsLowBytesFirst) {
  EXPECT_TRUE(enc.addBytes(0x1234, 2));
  EXPECT_EQ(code(), "34 12");
  EXPECT_EQ(enc.position(), 2u);
  const uint8_t list[] = {0xAA, 0xBB, 0xCC};
  EXPECT_TRUE(enc.addBytes(list, 2));
  EXPECT_EQ(code(), "34 12 AA BB");
  EXPECT_EQ(enc.popCode(), "\x34\x12\xAA\xBB");
  EXPECT_EQ(enc.position(), 0u);
  EXPECT_TRUE(enc.getCode().empty());
}

TEST_F(EncoderCore, AddBytesRefusesLengthsItCannotHonour) {
  EXPECT_FALSE(enc.addBytes(0x1122334455667788ull, 9));
  const uint8_t list[] = {1, 2};
  EXPECT_FALSE(enc.addBytes(list, 3));
  EXPECT_TRUE(enc.getCode().empty());
  EXPECT_EQ(enc.position(), 0u);
}

TEST_F(EncoderCore, AddBytesListsEveryByteWhenAsmDebugIsOn) {
  listingOn();
  enc.addBytes(0x1234, 2);
  EXPECT_EQ(DebugASM->Data(), "34 12 ");
}

// An instruction longer than the buffer's first room (a block pushed word by
// word) keeps every byte, in order, through the growth; a refused
// instruction after it takes none of them away; and the listing shows them
// all, sixteen to a line piece.
TEST_F(EncoderCore, LongInstructionGrowsTheBufferAndKeepsEveryByte) {
  listingOn();
  constexpr uint32_t kWords = 100;
  enc.addBytes(0xCC, 1);
  ASSERT_EQ(enc.assemble(opcodeLookup("push"), mem(4 * kWords, {REG_EBX}), nullptr, nullptr, true), ASSEMBLE_OK);
  EXPECT_EQ(enc.assemble(opcodeLookup("int"), imm(300), nullptr, nullptr, true), ERROR_OPERAND_SIZE_MISMATCH);
  const std::string bytes = enc.popCode();
  ASSERT_GT(bytes.size(), 256u);
  const std::vector<test::Decoded> all = test::decodeAll(bytes, 32);
  ASSERT_EQ(all.size(), kWords + 1);
  EXPECT_EQ(all[0].text, "int3");
  size_t decodedBytes = all[0].length;
  for (uint32_t i = 0; i < kWords; ++i) {
    // The top word first, so the block lies in memory order on the stack.
    const test::Decoded& d = all[i + 1];
    EXPECT_EQ(d.mnemonic, "push") << i;
    ASSERT_EQ(d.ops.size(), 1u) << i;
    EXPECT_EQ(d.ops[0].kind, test::DecodedOperand::Mem) << i;
    EXPECT_EQ(d.ops[0].base, "ebx") << i;
    EXPECT_EQ(d.ops[0].index, "") << i;
    EXPECT_EQ(d.ops[0].size, 4u) << i;
    EXPECT_EQ(d.ops[0].disp, 4 * (kWords - 1 - i)) << i;
    decodedBytes += all[i + 1].length;
  }
  EXPECT_EQ(decodedBytes, bytes.size());
  // The listing: the int3 byte written outside assemble, then every byte of
  // the push and its line.
  std::string hex;
  for (unsigned char c : bytes) {
    static const char digits[] = "0123456789ABCDEF";
    hex += digits[c >> 4];
    hex += digits[c & 15];
    hex += ' ';
  }
  EXPECT_EQ(DebugASM->Data(), hex + "\t\t\t; push mem\r\n");
}

// regSize and regID read the register's name: e.. is 4 bytes, r.. 8, other
// two-letter names 2 unless they end in l or h; the number is the position
// in the x86 order, r8-r15 8-15. Registers past r15 have a width and no
// number of their own.
TEST(RegisterFacts, WidthAndNumberFollowTheName) {
  const std::string order[] = {"ax", "cx", "dx", "bx", "sp", "bp", "si", "di"};
  const std::string low[] = {"al", "cl", "dl", "bl", "ah", "ch", "dh", "bh"};
  for (int r = 0; r <= REG_R15; ++r) {
    const auto reg = static_cast<TRegister>(r);
    const std::string name(regToStr(reg));
    ASSERT_FALSE(name.empty()) << r;
    uint8_t size = 2, id = 0;
    if (name[0] == 'e') size = 4;
    if (name[0] == 'r') size = 8;
    if (name.size() == 2 && (name[1] == 'l' || name[1] == 'h')) size = 1;
    if (name[0] == 'r' && std::isdigit(static_cast<unsigned char>(name[1]))) {
      id = static_cast<uint8_t>(std::stoi(name.substr(1)));
    } else {
      const std::string tail = name.size() == 3 ? name.substr(1) : name;
      for (uint8_t k = 0; k < 8; ++k)
        if (order[k] == tail || low[k] == tail) id = k;
    }
    EXPECT_EQ(regSize(reg), size) << name;
    EXPECT_EQ(regID(reg), id) << name;
  }
  for (int r = REG_R8D; r <= REG_R15D; ++r) EXPECT_EQ(regSize(static_cast<TRegister>(r)), 4) << r;
  for (int r = REG_R8W; r <= REG_R15W; ++r) EXPECT_EQ(regSize(static_cast<TRegister>(r)), 2) << r;
  for (int r = REG_R8B; r <= REG_SPL; ++r) EXPECT_EQ(regSize(static_cast<TRegister>(r)), 1) << r;
  for (int r = REG_R8D; r <= 255; ++r) EXPECT_EQ(regID(static_cast<TRegister>(r)), 0) << r;
  for (int r = REG_NONE; r <= 255; ++r) EXPECT_EQ(regSize(static_cast<TRegister>(r)), 0) << r;
}

// strToReg against a plain reading of the rules, for every text of up to
// three characters over an alphabet that spells every register name in
// either case, and for the gp_ forms: two-letter names (r8 and r9 too) in
// every mode, e.. from 32-bit mode on, r.. of three letters in 64-bit mode
// only; gp_ and a 16-bit name reads as the mode's general register.
TEST(RegisterNameLookup, AgreesWithTheRulesForEveryShortText) {
  auto reference = [](std::string_view s, uint32_t bits) -> uint8_t {
    std::string w;
    for (char c : s) w += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    if (w.size() == 5) {
      if (bits != 16 && bits != 32 && bits != 64) return NOT_A_REG;
      if (w.compare(0, 3, "gp_") != 0 || s[2] != '_') return NOT_A_REG;
      for (int r = REG_AX; r <= REG_DI; ++r)
        if (regToStr(static_cast<TRegister>(r)) == w.substr(3))
          return static_cast<uint8_t>(r + (bits == 32 ? 8 : bits == 64 ? 16 : 0));
      return NOT_A_REG;
    }
    for (int r = 0; r <= REG_R15; ++r) {
      if (regToStr(static_cast<TRegister>(r)) != w) continue;
      if (w.size() == 2) return static_cast<uint8_t>(r);
      if (r >= REG_EAX && r <= REG_EDI) return bits >= 32 ? static_cast<uint8_t>(r) : NOT_A_REG;
      return bits >= 64 ? static_cast<uint8_t>(r) : NOT_A_REG;
    }
    return NOT_A_REG;
  };
  // Bytes that differ from a name's bytes in bit 5 only (control bytes, @, [,
  // `, {) must not pass for them.
  const std::string alphabet = "abcdehilpqrstwxABDEHLPRSX0125689_\xE1\x18\x11\x05@[`{";
  const uint32_t saved = CompileFlags.cpu_bits;
  for (uint32_t bits : {16u, 32u, 64u}) {
    CompileFlags.cpu_bits = bits;
    std::vector<std::string> texts = {"", "gp_ax", "GP_SI", "gp_di", "gp_al", "gp-ax", "gq_ax", "gp_r8", "eaxx",
                                      std::string("a\0", 2), std::string("\0\0", 2), std::string("e\0x", 3)};
    for (char a : alphabet) {
      texts.emplace_back(1, a);
      for (char b : alphabet) {
        texts.push_back({a, b});
        for (char c : alphabet) texts.push_back({a, b, c});
      }
    }
    for (const std::string& t : texts) ASSERT_EQ(strToReg(t), reference(t, bits)) << t << " in " << bits;
  }
  CompileFlags.cpu_bits = saved;
}

// --- ModRM, SIB and displacement ---------------------------------------------------

struct ModMCase {
  std::initializer_list<TRegister> regs;
  int32_t disp;
  uint8_t scale;
  const char* bytes;  // documented bytes with reg field 0
  const char* text;   // Capstone's reading behind opcode 8B (mov eax, r/m)
};

TEST_F(EncoderCore, ModM32FormsGiveTheDocumentedBytes) {
  const ModMCase cases[] = {
      {{REG_EAX}, 0, 0, "00", "mov eax, dword ptr [eax]"},
      {{REG_EBP}, 0, 0, "45 00", "mov eax, dword ptr [ebp]"},
      {{REG_ESP}, 0, 0, "04 24", "mov eax, dword ptr [esp]"},
      {{REG_ESP}, 8, 0, "44 24 08", "mov eax, dword ptr [esp + 8]"},
      {{REG_EAX, REG_EBX}, 0, 4, "04 98", "mov eax, dword ptr [eax + ebx*4]"},
      {{REG_EBX}, 16, 4, "04 9D 10 00 00 00", "mov eax, dword ptr [ebx*4 + 0x10]"},
      {{REG_EBX}, 0, 4, "04 9D 00 00 00 00", "mov eax, dword ptr [ebx*4]"},
      {{REG_EAX}, 200, 0, "80 C8 00 00 00", "mov eax, dword ptr [eax + 0xc8]"},
      {{}, 1000, 0, "05 E8 03 00 00", "mov eax, dword ptr [0x3e8]"},
      {{}, 1000, 4, "05 A0 0F 00 00", "mov eax, dword ptr [0xfa0]"},
      {{REG_EBP, REG_ESI}, 0, 0, "44 35 00", "mov eax, dword ptr [ebp + esi]"},
      {{REG_EAX}, -8, 0, "40 F8", "mov eax, dword ptr [eax - 8]"},
  };
  for (const ModMCase& c : cases) {
    TOperand* m = mem(4, c.regs, c.disp, c.scale);
    ASSERT_EQ(enc.emitModM(0, 0, m), ASSEMBLE_OK) << c.bytes;
    const std::string modm = enc.popCode();
    EXPECT_EQ(hexBytes(modm), c.bytes);
    EXPECT_EQ(test::disasmText("\x8B" + modm, 32), c.text) << c.bytes;
  }
}

TEST_F(EncoderCore, ModM32RefusesWhatHasNoEncoding) {
  EXPECT_EQ(enc.emitModM(0, 0, mem(4, {REG_ESP}, 0, 2)), ERROR_OPERAND_INVALID);
  EXPECT_EQ(enc.emitModM(0, 0, mem(4, {REG_EAX, REG_ESP})), ERROR_OPERAND_INVALID);
  EXPECT_EQ(enc.emitModM(0, 0, mem(4, {REG_EAX}, 0, 3)), ERROR_OPERAND_INVALID);
  // 16-bit registers would need the 16-bit form behind 67; 64-bit ones REX.
  EXPECT_EQ(enc.emitModM(0, 0, mem(4, {REG_BX, REG_SI})), ERROR_OPERAND_INVALID);
  EXPECT_EQ(enc.emitModM(0, 0, mem(4, {REG_RAX})), ERROR_OPERAND_INVALID);
  EXPECT_EQ(enc.emitModM(0, 0, mem(4, {REG_EAX, REG_BX})), ERROR_OPERAND_INVALID);
  // An index without a base cannot come out of the setters; it is refused,
  // not dropped.
  TOperand* m = mem(4, {REG_EAX});
  m->reg_index = REG_ECX;
  m->reg_base = REG_NONE;
  EXPECT_EQ(enc.emitModM(0, 0, m), ERROR_OPERAND_INVALID);
  TOperand* bad = mem(4, {REG_EAX});
  bad->reg_base = REG_R8D;  // no number in the encoder
  EXPECT_EQ(enc.emitModM(0, 0, bad), ERROR_OPERAND_INVALID);
  EXPECT_TRUE(enc.getCode().empty());
}

TEST_F(EncoderCore, AbsoluteAddressIn64BitModeIsNotRipRelative) {
  setMode(64);
  ASSERT_EQ(enc.emitModM(0, 0, mem(4, {}, 1000)), ASSEMBLE_OK);
  const std::string modm = enc.popCode();
  EXPECT_EQ(hexBytes(modm), "04 25 E8 03 00 00");
  EXPECT_EQ(test::disasmText("\x8B" + modm, 64), "mov eax, dword ptr [0x3e8]");
}

TEST_F(EncoderCore, ModM16Forms) {
  setMode(16);
  const ModMCase cases[] = {
      {{REG_BP}, 0, 0, "46 00", "mov ax, word ptr [bp]"},
      {{REG_BX, REG_SI}, 0, 0, "00", "mov ax, word ptr [bx + si]"},
      {{REG_BP, REG_DI}, 0, 0, "03", "mov ax, word ptr [bp + di]"},
      {{REG_BX}, 0, 0, "07", "mov ax, word ptr [bx]"},
      {{REG_SI}, 4, 0, "44 04", "mov ax, word ptr [si + 4]"},
      {{REG_DI}, 1000, 0, "85 E8 03", "mov ax, word ptr [di + 0x3e8]"},
      {{}, 1000, 0, "06 E8 03", "mov ax, word ptr [0x3e8]"},
  };
  for (const ModMCase& c : cases) {
    ASSERT_EQ(enc.emitModM(0, 0, mem(2, c.regs, c.disp, c.scale)), ASSEMBLE_OK) << c.bytes;
    const std::string modm = enc.popCode();
    EXPECT_EQ(hexBytes(modm), c.bytes);
    EXPECT_EQ(test::disasmText("\x8B" + modm, 16), c.text) << c.bytes;
  }
  EXPECT_EQ(enc.emitModM(0, 0, mem(2, {REG_EAX})), ERROR_OPERAND_INVALID);
  EXPECT_EQ(enc.emitModM(0, 0, mem(2, {REG_BX}, 0, 2)), ERROR_OPERAND_INVALID);
  EXPECT_EQ(enc.emitModM(0, 0, mem(2, {REG_SI, REG_BX})), ERROR_OPERAND_INVALID);
  EXPECT_EQ(enc.emitModM(0, 0, mem(2, {REG_AX})), ERROR_OPERAND_INVALID);
  EXPECT_EQ(enc.emitModM(0, 0, mem(2, {REG_BX}, 70000)), ERROR_OPERAND_INVALID);
  EXPECT_TRUE(enc.getCode().empty());
}

TEST_F(EncoderCore, SibRefusesAnUnknownScale) {
  EXPECT_TRUE(enc.emitSIB(8, 1, 2));
  EXPECT_EQ(code(), "CA");
  EXPECT_FALSE(enc.emitSIB(3, 1, 2));
  EXPECT_EQ(code(), "CA");
}

// --- REX ---------------------------------------------------------------------------

TEST_F(EncoderCore, RexRMSetsTheBitsOfExtendedRegisters) {
  setMode(64);
  EXPECT_EQ(enc.emitRexRM(false, 9, reg(REG_R10)), ASSEMBLE_OK);
  EXPECT_EQ(code(), "45");
  enc.popCode();
  EXPECT_EQ(enc.emitRexRM(false, 1, reg(REG_EAX)), ASSEMBLE_OK);
  EXPECT_EQ(code(), "");
  EXPECT_EQ(enc.emitRexRM(true, 0, mem(4, {REG_R9, REG_R11}, 0, 2)), ASSEMBLE_OK);
  EXPECT_EQ(code(), "4B");  // W, X (r11 as index), B (r9 as base)
}

TEST_F(EncoderCore, NoRexOutsideSixtyFourBitMode) {
  for (uint32_t bits : {16u, 32u}) {
    setMode(bits);
    EXPECT_EQ(enc.emitRexRM(false, 9, reg(REG_EAX)), ERROR_OPERAND_INVALID);
    EXPECT_EQ(enc.emitRexRM(true, 0, reg(REG_EAX)), ERROR_OPERAND_INVALID);
    EXPECT_EQ(enc.emitRexR(true, REG_EAX, REG_NONE), ERROR_OPERAND_INVALID);
    EXPECT_EQ(enc.emitRexR(false, REG_R8, REG_NONE), ERROR_OPERAND_INVALID);
    EXPECT_EQ(enc.emitRexR(false, REG_EAX, REG_NONE), ASSEMBLE_OK);
    EXPECT_TRUE(enc.getCode().empty()) << bits;
  }
  setMode(64);
  EXPECT_EQ(enc.emitRexR(true, REG_R9, REG_R10), ASSEMBLE_OK);
  EXPECT_EQ(code(), "4D");
}

TEST_F(EncoderCore, HighByteRegistersNeverMeetARex) {
  setMode(64);
  EXPECT_EQ(enc.emitRexR(false, REG_AH, REG_R8), ERROR_OPERAND_INVALID);
  EXPECT_EQ(enc.emitRM(0x00000000, 1, REG_AH, mem(1, {REG_R8})), ERROR_OPERAND_INVALID);
  EXPECT_EQ(enc.emitRM(0x00000000, 1, REG_BL, reg(REG_CH)), ASSEMBLE_OK);  // no REX needed
  EXPECT_EQ(code(), "00 DD");
}

// --- The general form ----------------------------------------------------------------

TEST_F(EncoderCore, GeneralFormPlacesEveryPrefix) {
  struct Case {
    uint32_t bits, opcode, size;
    TRegister reg;
    std::initializer_list<TRegister> base;
    int32_t disp;
    const char* text;
  };
  const Case cases[] = {
      {64, 0x0000008B, 8, REG_R9, {REG_R12}, 8, "mov r9, qword ptr [r12 + 8]"},
      {64, 0x0000008B, 4, REG_EAX, {REG_R13}, 0, "mov eax, dword ptr [r13]"},
      {64, 0x0000008B, 2, REG_CX, {REG_RSP}, 0, "mov cx, word ptr [rsp]"},
      {64, 0x0000008B, 4, REG_EAX, {REG_EBP}, 8, "mov eax, dword ptr [ebp + 8]"},
      {64, 0xF3000FB8, 8, REG_RAX, {REG_R8, REG_R9}, 0, "popcnt rax, qword ptr [r8 + r9]"},
      {32, 0xF3000FB8, 2, REG_AX, {REG_EBX}, 0, "popcnt ax, word ptr [ebx]"},
      {16, 0x0000008B, 4, REG_EAX, {REG_BX}, 2, "mov eax, dword ptr [bx + 2]"},
      {16, 0x0000008B, 2, REG_AX, {REG_BX}, 2, "mov ax, word ptr [bx + 2]"},
  };
  for (const Case& c : cases) {
    setMode(c.bits);
    ASSERT_EQ(enc.emitRM(c.opcode, c.size, c.reg, mem(c.size, c.base, c.disp)), ASSEMBLE_OK) << c.text;
    const std::string bytes = enc.popCode();
    EXPECT_EQ(test::disasmText(bytes, static_cast<int>(c.bits)), c.text);
  }
  setMode(32);
  EXPECT_EQ(enc.emitRM(0x0000008B, 8, REG_EAX, reg(REG_EBX)), ERROR_OPERAND_INVALID);
  EXPECT_EQ(enc.emitRM(0x0000008B, 3, REG_EAX, reg(REG_EBX)), ERROR_OPERAND_SIZE_MISMATCH);
  EXPECT_EQ(enc.emitRM(0x0000008B, 4, REG_NONE, reg(REG_EBX)), ERROR_OPERAND_INVALID);
  EXPECT_EQ(enc.emitRMDigit(0x000000F7, 4, 8, reg(REG_EBX)), ERROR_OPERAND_INVALID);
  EXPECT_TRUE(enc.getCode().empty());
}

TEST_F(EncoderCore, LoneModRMRefusesOperandsThatNeedAPrefix) {
  setMode(64);
  EXPECT_EQ(enc.emitModRM(0, reg(REG_R9), 0), ERROR_OPERAND_INVALID);
  EXPECT_EQ(enc.emitModM(0, 0, mem(4, {REG_R8})), ERROR_OPERAND_INVALID);
  EXPECT_EQ(enc.emitModM(0, 0, mem(4, {REG_EAX})), ERROR_OPERAND_INVALID);  // needs 67
  EXPECT_EQ(enc.emitModM(0, 9, mem(4, {REG_RAX})), ERROR_OPERAND_INVALID);  // needs REX.R
  EXPECT_EQ(enc.emitModRM(0, imm(5), 0), ERROR_OPERAND_INVALID);
  EXPECT_TRUE(enc.getCode().empty());
  EXPECT_EQ(enc.emitModRM(2, reg(REG_RCX), 0), ASSEMBLE_OK);
  EXPECT_EQ(code(), "D1");
}

TEST_F(EncoderCore, OpcodeRegisterForm) {
  setMode(64);
  ASSERT_EQ(enc.emitOpReg(0x00000FC8, 8, REG_R9), ASSEMBLE_OK);
  EXPECT_EQ(code(), "49 0F C9");
  setMode(32);
  EXPECT_EQ(enc.emitOpReg(0x000000B8, 0, REG_R9), ERROR_OPERAND_INVALID);
}

TEST_F(EncoderCore, MmxSseForm) {
  setMode(64);
  TOperand* x2 = &ops_.emplace_back();
  x2->setIntType(false, otXMM, 10);
  ASSERT_EQ(enc.emitMMU(0x660F3800 | 0x1C, false, 1, x2, 0), ASSEMBLE_OK);
  const std::string bytes = enc.popCode();
  EXPECT_EQ(test::disasmText(bytes, 64), "pabsb xmm1, xmm10");
  EXPECT_EQ(enc.emitMMU(0x000F0F28, false, 1, reg(REG_EAX), 0), ERROR_OPERAND_INVALID);
  EXPECT_TRUE(enc.getCode().empty());
}

// --- assemble ------------------------------------------------------------------------

TEST_F(EncoderCore, EntryChecks) {
  EXPECT_EQ(enc.assemble(nullptr, nullptr, nullptr, nullptr, true), ERROR_OPCODE_NULL);
  EXPECT_EQ(encode("cdqe").rc, ERROR_MODE_SUPPORT);
  EXPECT_EQ(TVorAssembler::errorCodeToString(ERROR_MODE_SUPPORT), "Instruction not available in 32 bit mode!");
  setMode(16);
  EXPECT_EQ(encode("cpuid").rc, ERROR_MODE_SUPPORT);
  setMode(32);
  EXPECT_EQ(encode("mov", reg(REG_EAX)).rc, ERROR_OPERAND_COUNT_MIN);
  EXPECT_EQ(encode("nop", reg(REG_EAX)).rc, ERROR_OPERAND_COUNT_MAX);
  // Operands counted one by one: a gap is refused, not shifted.
  EXPECT_EQ(encode("add", nullptr, reg(REG_EAX), reg(REG_EBX)).rc, ERROR_OPERAND1_INVALID);
  EXPECT_EQ(encode("imul", reg(REG_EAX), nullptr, imm(3)).rc, ERROR_OPERAND2_INVALID);
  // A register operand without a number, or with a width not its own.
  EXPECT_EQ(encode("int", reg(REG_NONE)).rc, ERROR_OPERAND1_INVALID);
  TOperand* wide = reg(REG_EAX);
  wide->size = 8;
  EXPECT_EQ(encode("add", reg(REG_EAX), wide).rc, ERROR_OPERAND2_INVALID);
  TOperand* r8d = reg(REG_EAX);
  r8d->reg_base = REG_R8D;
  EXPECT_EQ(encode("add", r8d, reg(REG_EAX)).rc, ERROR_OPERAND1_INVALID);
  TInstruction unknown = *opcodeLookup("nop");
  unknown.group = ig__TOTAL;
  EXPECT_EQ(enc.assemble(&unknown, nullptr, nullptr, nullptr, true), ERROR_OPCODE_UNKNOWN);
}

TEST_F(EncoderCore, RefusedInstructionLeavesTheBufferAsItWas) {
  enc.addBytes(0xCC, 1);
  const PInstruction nop = opcodeLookup("nop");
  ASSERT_EQ(enc.assemble(nop, nullptr, nullptr, nullptr, true), ASSEMBLE_OK);
  EXPECT_EQ(enc.lastinstruction(), nop);
  EXPECT_EQ(enc.assemble(opcodeLookup("int"), imm(300), nullptr, nullptr, true), ERROR_OPERAND_SIZE_MISMATCH);
  EXPECT_EQ(enc.assemble(opcodeLookup("cdqe"), nullptr, nullptr, nullptr, true), ERROR_MODE_SUPPORT);
  EXPECT_EQ(code(), "CC 90");
  EXPECT_EQ(enc.position(), 2u);
  EXPECT_EQ(enc.lastinstruction(), nop);  // only a success is recorded
}

TEST_F(EncoderCore, ListingLineOfAnInstruction) {
  listingOn();
  ASSERT_EQ(encode("nop").rc, ASSEMBLE_OK);
  ASSERT_EQ(encode("int", imm(21)).rc, ASSEMBLE_OK);
  EXPECT_EQ(encode("cdqe").rc, ERROR_MODE_SUPPORT);  // lists nothing
  EXPECT_EQ(encode("int", reg(REG_EAX)).rc, ERROR_OPERAND1_INVALID);
  const std::string expected = "90 " + std::string(45, ' ') + "\t\t\t; nop\r\n" + "CD 15 " +
                               std::string(42, ' ') + "\t\t\t; int 21\r\n";
  EXPECT_EQ(DebugASM->Data(), expected);
}

TEST_F(EncoderCore, NoListingWithoutAsmDebug) {
  ASSERT_EQ(encode("nop").rc, ASSEMBLE_OK);
  EXPECT_EQ(DebugASM, nullptr);
}

}  // namespace
}  // namespace vorak
