// Encoder test fixture: fresh global state in a chosen processor mode, an
// encoder, operand builders, and one call that assembles a row by name and
// hands back the result code and the bytes.
#pragma once

#include <deque>
#include <initializer_list>
#include <string>
#include <string_view>

#include "compiler/driver/Common.h"
#include "encoder/InstructionTable.h"
#include "encoder/VorAssembler.h"
#include "support/Fresh.h"

namespace vorak::test {

struct EncodeResult {
  uint32_t rc = 0;
  std::string bytes;
};

class EncoderTest : public FreshVorak {
 protected:
  void SetUp() override {
    FreshVorak::SetUp();
    setMode(32);
  }

  static void setMode(uint32_t bits) {
    CompileFlags.cpu_bits = bits;
    ptrSize = static_cast<int32_t>(bits / 8);
  }

  // Public so that table rows (lambdas) can build operands too.
 public:
  // Operands live as long as the test.
  TOperand* reg(TRegister r) {
    TOperand& op = ops_.emplace_back();
    op.setRegister(false, r);
    return &op;
  }
  // An immediate held as the parser holds a number: 32 bits, zero-extended.
  TOperand* imm32(uint32_t v, uint32_t size = 4) {
    TOperand& op = ops_.emplace_back();
    op.setImm(false, v, size);
    return &op;
  }
  // An immediate with its full 64-bit value.
  TOperand* imm(int64_t v, uint32_t size = 4) {
    TOperand* op = imm32(0, size);
    op->value = v;
    return op;
  }
  TOperand* mem(uint32_t size, std::initializer_list<TRegister> regs, int64_t disp = 0, uint8_t scale = 0) {
    TOperand& op = ops_.emplace_back();
    op.setMemory(false, size, disp, scale, regs, nullptr, otRegister, nullptr);
    return &op;
  }
  // A memory operand that refers to a variable record (its displacement is
  // the variable's address, filled in by the builder through a fixup).
  TOperand* memVar(uint32_t size, std::initializer_list<TRegister> regs, void* var, void* func,
                   int64_t disp = 0, uint8_t scale = 0) {
    TOperand& op = ops_.emplace_back();
    op.setMemory(false, size, disp, scale, regs, var, otVar, func);
    return &op;
  }
  // A variable's contents (otVar) or address (otVarRef).
  TOperand* var(TOperandType kind, uint32_t size, void* varRecord, void* func, int64_t disp = 0) {
    TOperand& op = ops_.emplace_back();
    op.setPointer(false, kind, func, varRecord, size);
    op.displacement = disp;
    return &op;
  }

  // Assembles the row called name with optimise on, and takes the bytes.
  EncodeResult encode(std::string_view name, TOperand* o1 = nullptr, TOperand* o2 = nullptr,
                      TOperand* o3 = nullptr) {
    EncodeResult r;
    const PInstruction row = opcodeLookup(name);
    EXPECT_NE(row, nullptr) << name;
    r.rc = enc.assemble(row, o1, o2, o3, true);
    r.bytes = enc.popCode();
    return r;
  }

  TVorAssembler enc;
  std::deque<TOperand> ops_;
};

// The disassemblers' name of the doubleword of a 64-bit register: eax for
// rax, r9d for r9.
inline std::string doublewordName(TRegister r) {
  const std::string n(regToStr(r));
  if (r >= REG_R8 && r <= REG_R15) return n + "d";
  return "e" + n.substr(1);
}

// The disassemblers' name of the low byte of a general register: al for ax,
// eax and rax, sil for si, esi and rsi (behind a REX), r9b for r9.
inline std::string lowByteName(TRegister r) {
  static const char* const kLow[16] = {"al",  "cl",  "dl",   "bl",   "spl",  "bpl",  "sil",  "dil",
                                       "r8b", "r9b", "r10b", "r11b", "r12b", "r13b", "r14b", "r15b"};
  return kLow[regID(r) & 15];
}

// Sentinels that a test writes into fixup fields, to see where the
// disassembler finds them.
inline uint64_t sentinel(uint32_t size) {
  switch (size) {
    case 2: return 0x1234;
    case 4: return 0x12345678;
    case 8: return 0x1122334455667788ull;
    default: return 0x5A;
  }
}

// "66 0F AF C3" for the bytes 66 0F AF C3.
inline std::string hexBytes(std::string_view bytes) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string s;
  for (unsigned char c : bytes) {
    if (!s.empty()) s += ' ';
    s += hex[c >> 4];
    s += hex[c & 15];
  }
  return s;
}

}  // namespace vorak::test
