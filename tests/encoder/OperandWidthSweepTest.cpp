// Operand widths the encoder has to choose itself, swept over rows and modes
// and read back by Capstone: a number as the address of lea (whatever width
// its token had), a bracket without a size in the one-operand groups, and
// setcc of a register wider than the byte it writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "support/Disasm.h"
#include "support/EncoderSweep.h"

namespace vorak {
namespace {

using test::Decoded;
using test::DecodedOperand;
using test::hexBytes;

class OperandWidthSweep : public test::EncoderSweep {
 protected:
  // Assembles row with fresh copies of the operands; the bytes, or the code.
  struct Outcome {
    uint32_t rc;
    std::string bytes;
  };
  Outcome run(PInstruction row, const TOperand* o1, const TOperand* o2 = nullptr) {
    TOperand a = *o1, b;
    if (o2) b = *o2;
    const uint32_t rc = enc.assemble(row, &a, o2 ? &b : nullptr, nullptr, true);
    return {rc, enc.popCode()};
  }
};

// Capstone's name for a row: sal is shl, and the condition codes have one
// name each.
std::string readName(const char* rowName) {
  std::string n(rowName);
  if (n == "sal") return "shl";
  static const char* const kSame[][2] = {{"c", "b"},  {"nae", "b"}, {"nb", "ae"}, {"nc", "ae"}, {"z", "e"},
                                         {"nz", "ne"}, {"na", "be"}, {"nbe", "a"}, {"pe", "p"},  {"po", "np"},
                                         {"nge", "l"}, {"nl", "ge"}, {"ng", "le"}, {"nle", "g"}};
  if (n.rfind("set", 0) == 0)
    for (const auto& s : kSame)
      if (n.substr(3) == s[0]) return std::string("set") + s[1];
  return n;
}

std::string where(const char* name, const std::string& ops, int bits) {
  return std::string(name) + " " + ops + " in " + std::to_string(bits) + "-bit code";
}

// --- lea with a number ---------------------------------------------------------

// The number is the address, a 4-byte displacement: whatever width its token
// had (1 for 5 and -4, 2 for 4096, 0 for a constant), lea must load the
// number itself. In 64-bit code mod 0 r/m 5 would be RIP-relative, so the
// absolute address must read back with no base at all.
TEST_F(OperandWidthSweep, LeaTakesANumberOfAnyTokenWidthAsItsAddress) {
  const int64_t values[] = {0,      5,      -4,         127,        128,        4096, 0x7FFF,
                            0x8000, 0xFFFF, 100000,     0x7FFFFFFF, 0x80000000, 0xFFFFFFFC, -0x80000000LL};
  size_t checked = 0;
  for (int bits : {32, 64}) {
    setMode(static_cast<uint32_t>(bits));
    for (TRegister r : {REG_EAX, REG_ECX, REG_ESP, REG_EBP, REG_EDI}) {
      for (int64_t v : values) {
        for (uint32_t tokenSize : {0u, 1u, 2u, 4u}) {
          const std::string label = where("lea", std::string(regToStr(r)) + ", " + std::to_string(v) + " (a " +
                                                     std::to_string(tokenSize) + "-byte token)",
                                          bits);
          const Outcome o = run(opcodeLookup("lea"), reg(r), imm(v, tokenSize));
          ASSERT_EQ(o.rc, ASSEMBLE_OK) << label << ": " << TVorAssembler::errorCodeToString(o.rc);
          const Decoded d = test::decode(o.bytes, bits);
          ASSERT_TRUE(d.ok) << label << ": " << hexBytes(o.bytes);
          EXPECT_EQ(d.length, o.bytes.size()) << label << ": " << d.text;
          EXPECT_EQ(d.mnemonic, "lea") << label;
          ASSERT_EQ(d.ops.size(), 2u) << label << ": " << d.text;
          EXPECT_EQ(d.ops[0].reg, regToStr(r)) << label << ": " << d.text;
          const DecodedOperand& m = d.ops[1];
          EXPECT_EQ(m.kind, DecodedOperand::Mem) << label << ": " << d.text;
          EXPECT_EQ(m.base, "") << label << ": " << d.text;
          EXPECT_EQ(m.index, "") << label << ": " << d.text;
          // The register keeps the low 32 bits of the address.
          EXPECT_EQ(static_cast<uint32_t>(m.disp), static_cast<uint32_t>(v)) << label << ": " << d.text;
          ++checked;
        }
      }
    }
  }
  EXPECT_EQ(checked, 2u * 5 * std::size(values) * 4);

  // lea eax, 4096 as the operand parser hands it over (4096 is a 2-byte token).
  setMode(32);
  const Outcome o = run(opcodeLookup("lea"), reg(REG_EAX), imm(4096, 2));
  EXPECT_EQ(o.rc, ASSEMBLE_OK);
  EXPECT_EQ(hexBytes(o.bytes), "8D 05 00 10 00 00");

  // What has no such form stays refused: a number beyond 32 bits, a register
  // of another width (lea takes a 4-byte one), and 16-bit code.
  struct Refusal {
    int bits;
    TRegister r;
    int64_t v;
    uint32_t rc;
  };
  for (const Refusal& c : {Refusal{32, REG_EAX, 0x100000000LL, ERROR_OPERAND_SIZE_MISMATCH},
                           Refusal{64, REG_EAX, -0x80000001LL, ERROR_OPERAND_SIZE_MISMATCH},
                           Refusal{32, REG_AX, 4096, ERROR_OPERAND_SIZE_MISMATCH},
                           Refusal{64, REG_RAX, 4096, ERROR_OPERAND_SIZE_MISMATCH},
                           Refusal{16, REG_AX, 4096, ERROR_NOT_SUPPORTED}}) {
    setMode(static_cast<uint32_t>(c.bits));
    for (uint32_t tokenSize : {1u, 2u, 4u, 8u}) {
      const Outcome r = run(opcodeLookup("lea"), reg(c.r), imm(c.v, tokenSize));
      EXPECT_EQ(r.rc, c.rc) << where("lea", std::string(regToStr(c.r)) + ", " + std::to_string(c.v), c.bits);
      EXPECT_TRUE(r.bytes.empty());
    }
  }
}

// --- a bracket without a size ---------------------------------------------------

// The width a bracket without a size stands for, by group and mode: in
// 16-bit code a word everywhere; in 32-bit code a dword; in 64-bit code a
// qword for imul, push, pop and jmp and a dword for the others.
uint32_t unsizedWidth(TInstructionGroup g, int bits) {
  if (bits == 16) return 2;
  if (bits == 32) return 4;
  switch (g) {
    case igIMUL: case igPUSH: case igPOP: case igGOTO: return 8;
    default: return 4;
  }
}

TEST_F(OperandWidthSweep, AnUnsizedBracketTakesTheWidthOfItsGroupAndMode) {
  size_t checked = 0, expected = 0;
  for (int bits : {16, 32, 64}) {
    setMode(static_cast<uint32_t>(bits));
    std::vector<TOperand*> places;
    if (bits == 16) {
      places = {mem(0, {REG_BX}), mem(0, {REG_BP, REG_SI}, 4), mem(0, {REG_DI}, -2)};
    } else if (bits == 32) {
      places = {mem(0, {REG_EBX}), mem(0, {REG_ESP}, 8), mem(0, {REG_ESI, REG_EDI}, 0x10, 4)};
    } else {
      places = {mem(0, {REG_RBX}), mem(0, {REG_R12}, 8), mem(0, {REG_RSI, REG_R9}, 0, 2)};
    }
    for (const TInstruction& row : instructions) {
      // The second operands each group is tried with (nullptr: none).
      std::vector<TOperand*> seconds;
      switch (row.group) {
        case igINCDEC: case igREGMEM: case igIMUL: case igPUSH: case igPOP: seconds = {nullptr}; break;
        case igROT: seconds = {imm(1, 1), reg(REG_CL), imm(3, 1)}; break;
        case igBT: seconds = {imm(3, 1)}; break;
        case igGOTO:
          if (std::strcmp(row.name, "jmp") == 0) seconds = {nullptr};
          break;
        default: break;
      }
      const uint32_t want = unsizedWidth(row.group, bits);
      expected += seconds.size() * places.size();
      for (TOperand* second : seconds) {
        for (TOperand* place : places) {
          const std::string label = where(row.name, "[...]" + std::string(second ? ", n" : ""), bits);
          const Outcome o = run(&row, place, second);
          ASSERT_EQ(o.rc, ASSEMBLE_OK) << label << ": " << TVorAssembler::errorCodeToString(o.rc);
          const Decoded d = test::decode(o.bytes, bits);
          ASSERT_TRUE(d.ok) << label << ": " << hexBytes(o.bytes);
          EXPECT_EQ(d.length, o.bytes.size()) << label << ": " << d.text;
          EXPECT_EQ(d.mnemonic, readName(row.name)) << label << ": " << d.text;
          ASSERT_FALSE(d.ops.empty()) << label << ": " << d.text;
          const DecodedOperand& m = d.ops[0];
          EXPECT_EQ(m.kind, DecodedOperand::Mem) << label << ": " << d.text;
          EXPECT_EQ(m.base, regToStr(place->reg_base)) << label << ": " << d.text;
          EXPECT_EQ(m.size, want) << label << ": " << d.text << " (" << hexBytes(o.bytes) << ")";
          ++checked;
        }
      }
    }
  }
  // inc dec, five F6/F7 rows, imul, eight shifts with three counts, four bit
  // tests, push, pop, jmp: 3 places each, 3 modes.
  EXPECT_EQ(expected, 3u * 3 * (2 + 5 + 1 + 8 * 3 + 4 + 3));
  EXPECT_EQ(checked, expected);
}

// --- a number against the width of its field --------------------------------------

// The field a row gives its immediate in a form whose operand is w bytes
// wide: the operand's width, or one byte for counts, bit numbers, int n and
// the selectors of the mm and xmm rows. 0: the row has a rule of its own for
// the number (an address for lea, a relative target, ret, enter, and push,
// which pushes the low bytes of a wider number with a warning).
uint32_t immediateField(const TInstruction& row, uint32_t w) {
  switch (row.group) {
    case igROT: case igBT: case igSHLRD: case igEMIT: case igSSE: case igMMU_MOV: case igMMU_MOVQ: return 1;
    case igLEA: case igPUSH: case igRET: case igENTER: case igCALL: case igGOTO: return 0;
    default: return w;
  }
}

// Whether n bytes hold v read as signed or as unsigned, worked out here on
// its own: -2^(8n-1) .. 2^(8n)-1.
bool holds(int64_t v, uint32_t n) {
  const __int128 lo = -(static_cast<__int128>(1) << (8 * n - 1)), hi = (static_cast<__int128>(1) << (8 * n)) - 1;
  return v >= lo && v <= hi;
}

// Numbers at each edge of 1-, 2- and 4-byte fields, the 32-bit patterns that
// read as small negative numbers, and the ends of 64 bits.
std::vector<int64_t> edgeNumbers() {
  std::vector<int64_t> v;
  for (int n : {1, 2, 4}) {
    const int64_t half = int64_t{1} << (8 * n - 1), whole = int64_t{1} << (8 * n);
    for (int64_t x : {-half - 1, -half, half - 1, half, whole - 1, whole}) v.push_back(x);
  }
  for (int64_t x : {int64_t{-1}, int64_t{0}, int64_t{1}, int64_t{0xFFFFFF80}, int64_t{0xFFFF8000},
                    int64_t{0xFFFF7FFF}, int64_t{0xFFFFFFFE}, int64_t{-0x100000000LL}, INT64_MIN, INT64_MAX,
                    static_cast<int64_t>(0xFFFFFFFFFFFFFF80ull)})
    v.push_back(x);
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
  return v;
}

// Every row that takes a number, in every form with an operand of 1, 2 or 4
// bytes (registers, the accumulator, memory, three operands, mm and xmm
// registers) and in every mode, is fed numbers at the edges of each width.
// A number is taken when its field holds it as a signed or an unsigned number
// and reads back (Capstone) with the bits written; any other is refused as
// too wide. With imm_roll every number is taken, its low bytes kept.
TEST_F(OperandWidthSweep, ANumberFitsItsFieldAsASignedOrAnUnsignedNumberOrIsRefused) {
  const std::vector<int64_t> numbers = edgeNumbers();
  size_t accepted = 0, refused = 0, rolled = 0;
  struct Form {
    std::string what;
    std::vector<TOperand*> before;
    uint32_t w;
    bool simd = false;  // the operands before the number are mm or xmm registers
  };
  for (int bits : {16, 32, 64}) {
    setMode(static_cast<uint32_t>(bits));
    const TRegister base = bits == 16 ? REG_BX : bits == 32 ? REG_EBX : REG_RBX;
    std::vector<Form> forms = {{"imm", {}, 4},
                               {"xmm1, imm", {xmm(1)}, 1, true},
                               {"xmm1, xmm2, imm", {xmm(1), xmm(2)}, 1, true},
                               {"mm1, imm", {mm(1)}, 1, true},
                               {"mm1, mm2, imm", {mm(1), mm(2)}, 1, true}};
    const TRegister byWidth[3][2] = {{REG_AL, REG_BL}, {REG_AX, REG_BX}, {REG_EAX, REG_EBX}};
    for (uint32_t i = 0; i < 3; ++i) {
      const uint32_t w = 1u << i;
      for (TRegister r : byWidth[i]) forms.push_back({std::string(regToStr(r)) + ", imm", {reg(r)}, w});
      forms.push_back({std::to_string(w) + "-byte [" + std::string(regToStr(base)) + "], imm", {mem(w, {base})}, w});
      const TRegister other = byWidth[i][1] == REG_BL ? REG_CL : static_cast<TRegister>(byWidth[i][1] - 2);
      forms.push_back({std::string(regToStr(byWidth[i][1])) + ", " + std::string(regToStr(other)) + ", imm",
                       {reg(byWidth[i][1]), reg(other)}, w});
      forms.push_back({std::string(regToStr(byWidth[i][1])) + ", [mem], imm", {reg(byWidth[i][1]), mem(w, {base})}, w});
    }
    for (const TInstruction& row : instructions) {
      for (const Form& form : forms) {
        const uint32_t field = immediateField(row, form.w);
        if (field == 0) continue;
        auto run3 = [&](int64_t v) {
          TOperand ops[3];
          POperand p[3] = {nullptr, nullptr, nullptr};
          size_t k = 0;
          for (TOperand* b : form.before) {
            ops[k] = *b;
            p[k] = &ops[k];
            ++k;
          }
          ops[k].setImm(false, 0, 4);
          ops[k].value = v;
          p[k] = &ops[k];
          const uint32_t rc = enc.assemble(&row, p[0], p[1], p[2], true);
          return Outcome{rc, enc.popCode()};
        };
        CompileFlags.imm_roll = 0;
        // Rows without this form are no concern here.
        if (run3(5).rc != ASSEMBLE_OK) continue;
        for (int roll : {0, 1}) {
          CompileFlags.imm_roll = static_cast<uint8_t>(roll);
          for (int64_t v : numbers) {
            const std::string label = where(row.name, form.what + " with " + std::to_string(v) +
                                                          (roll ? " (imm_roll)" : ""), bits);
            const Outcome o = run3(v);
            if (!roll && !holds(v, field)) {
              EXPECT_EQ(o.rc, ERROR_OPERAND_SIZE_MISMATCH) << label << ": " << hexBytes(o.bytes);
              EXPECT_TRUE(o.bytes.empty()) << label;
              ++refused;
              continue;
            }
            ASSERT_EQ(o.rc, ASSEMBLE_OK) << label << ": " << TVorAssembler::errorCodeToString(o.rc);
            roll ? ++rolled : ++accepted;
            // Capstone reads no mm or xmm row in 16-bit code; their bytes,
            // a mandatory 66 included, are those of 32-bit code.
            const Decoded d = test::decode(o.bytes, form.simd && bits == 16 ? 32 : bits);
            ASSERT_TRUE(d.ok) << label << ": " << hexBytes(o.bytes);
            if (d.length != o.bytes.size()) continue;  // a sequence: not one instruction to read back
            const DecodedOperand* found = nullptr;
            for (const DecodedOperand& op : d.ops)
              if (op.kind == DecodedOperand::Imm) found = &op;
            if (!found) continue;  // a shift by 1 has no field
            const uint64_t mask = field >= 8 ? ~0ull : (1ull << (8 * field)) - 1;
            EXPECT_EQ(static_cast<uint64_t>(found->imm) & mask, static_cast<uint64_t>(v) & mask)
                << label << " reads " << d.text << " (" << hexBytes(o.bytes) << ")";
          }
        }
      }
    }
  }
  CompileFlags.imm_roll = 0;
  // The sweep reached the rows it is about.
  EXPECT_GT(accepted, 5000u);
  EXPECT_GT(refused, 10000u);
  EXPECT_EQ(rolled, accepted + refused);
}

// --- setcc of a wide register ---------------------------------------------------

// setcc writes one byte: a wider register stands for its low byte. AX..BX
// and their wider forms have it under their own number; R8..R15 (names
// every mode reads as such) and, behind a REX, SP..DI and their wider forms
// in 64-bit code. Outside 64-bit code no REX exists, and SP..DI would name
// AH..BH there.
TEST_F(OperandWidthSweep, SetccWritesTheLowByteOfEveryGeneralRegister) {
  size_t accepted = 0, refused = 0, rows = 0;
  for (const TInstruction& row : instructions) rows += row.group == igRM_S;
  EXPECT_GE(rows, 16u);  // one row per condition at least, and aliases
  for (int bits : {16, 32, 64}) {
    setMode(static_cast<uint32_t>(bits));
    std::vector<TRegister> regs;
    for (int r = REG_AL; r <= REG_DI; ++r) regs.push_back(static_cast<TRegister>(r));
    if (bits >= 32)
      for (int r = REG_EAX; r <= REG_EDI; ++r) regs.push_back(static_cast<TRegister>(r));
    // Every mode is handed the 8-byte registers (the parser reads r8 and r9
    // as names in every mode); outside 64-bit code there are none.
    for (int r = REG_RAX; r <= REG_R15; ++r) regs.push_back(static_cast<TRegister>(r));
    for (const TInstruction& row : instructions) {
      if (row.group != igRM_S) continue;
      for (TRegister r : regs) {
        const std::string label = where(row.name, std::string(regToStr(r)), bits);
        const uint8_t id = regID(r);
        const bool wide = regSize(r) > 1;
        const bool needsRex = wide && id >= 4;
        const Outcome o = run(&row, reg(r));
        if ((needsRex || regSize(r) == 8) && bits != 64) {
          EXPECT_NE(o.rc, ASSEMBLE_OK) << label << ": " << hexBytes(o.bytes);
          EXPECT_TRUE(o.bytes.empty()) << label;
          ++refused;
          continue;
        }
        ASSERT_EQ(o.rc, ASSEMBLE_OK) << label << ": " << TVorAssembler::errorCodeToString(o.rc);
        const Decoded d = test::decode(o.bytes, bits);
        ASSERT_TRUE(d.ok) << label << ": " << hexBytes(o.bytes);
        EXPECT_EQ(d.length, o.bytes.size()) << label << ": " << d.text;
        EXPECT_EQ(d.mnemonic, readName(row.name)) << label << ": " << d.text;
        ASSERT_EQ(d.ops.size(), 1u) << label << ": " << d.text;
        EXPECT_EQ(d.ops[0].reg, wide ? test::lowByteName(r) : std::string(regToStr(r))) << label << ": " << d.text;
        // One byte is written: no REX.W, and no REX at all where the
        // register's number names its low byte without one.
        EXPECT_EQ(d.rex & 8, 0) << label << ": " << hexBytes(o.bytes);
        if (!needsRex && id < 4) {
          EXPECT_EQ(d.rex, 0) << label << ": " << hexBytes(o.bytes);
        }
        ++accepted;
      }
    }
  }
  // Per row: 16-bit code takes 8 byte and 4 word registers and refuses 4
  // word registers and the 16 of 8 bytes; 32-bit code adds 4 and 4
  // doubleword registers; 64-bit code takes all 8 + 8 + 8 + 16.
  EXPECT_EQ(accepted, rows * ((8 + 4) + (8 + 4 + 4) + (8 + 8 + 8 + 16)));
  EXPECT_EQ(refused, rows * ((4 + 16) + (4 + 4 + 16)));
}

}  // namespace
}  // namespace vorak
