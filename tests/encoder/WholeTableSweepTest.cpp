// Cross-family differential sweep over the whole instruction table: every
// row, in each processor mode, is fed a broad generated set of operands (every
// general register incl. AH-BH and r8-r15, segment, stack, mm and xmm
// registers, immediates at the field boundaries, memory of every size and
// addressing form, variables with their fixups, labels and constants) with
// one, two and three operands. Every instruction the encoder accepts must
// read back, through Capstone (and llvm-mc or objdump where Capstone is known
// to misread), as the very instruction written, or as one of the rewrites the
// encoder is meant to make (a mov widening through movzx/movsx, movsx/movzx of
// equal sizes as mov, address loads through lea, memory-to-memory moves and
// pushes of memory blocks and addresses as short sequences). Every refused
// one must leave neither bytes nor fixups behind, and nothing may throw but
// the one fatal error the push of a part-word variable is meant to raise.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include "compiler/driver/Errors.h"
#include "compiler/driver/Settings.h"
#include "compiler/output/FileWriter.h"
#include "compiler/symbols/FuncManager.h"
#include "support/Disasm.h"
#include "support/Emulator.h"
#include "support/EncoderFixture.h"
#include "support/TextDisasm.h"

namespace vorak {
namespace {

using test::canonicalStack;
using test::Decoded;
using test::DecodedOperand;
using test::hexBytes;
using test::sentinel;

// --- Operand descriptions --------------------------------------------------------

// Classes the sampler draws from; a pair or triple of classes is probed first
// and sampled densely only where the row accepts something.
enum Cls {
  cNone, cGpr8, cGpr16, cGpr32, cGpr64, cBadReg, cSeg, cSt, cMm, cXmm, cImm, cMem, cMemVar, cVar, cVarRef,
  cMemRef, cAddr, cOther, kClasses
};

enum AddrKind { akLabel, akLabelRef, akSegLabel, akConst };

bool isGprClass(Cls c) { return c == cGpr8 || c == cGpr16 || c == cGpr32 || c == cGpr64; }
bool isMemoryClass(Cls c) { return c == cMem || c == cMemVar || c == cVar; }

struct Od {
  Cls cls = cNone;
  TRegister reg = REG_NONE;
  uint32_t size = 0;  // registers: a size other than their own when not 0
  bool issigned = false;
  int64_t value = 0;  // immediate, st/mm/xmm number, segment, label offset
  TRegister base = REG_NONE, index = REG_NONE;
  uint8_t scale = 0;
  int64_t disp = 0;  // as written; 64-bit code takes only the signed 32-bit range
  int varNo = 0;  // cVar: which of two variables
  AddrKind addr = akLabel;
  uint32_t selector = 0;
  bool viaFixup = false;  // far label whose offset the builder fills
};

Od gpr(TRegister r, bool issigned = false) {
  Od o;
  const uint8_t s = regSize(r);
  o.cls = r > REG_R15 ? cBadReg : s == 1 ? cGpr8 : s == 2 ? cGpr16 : s == 4 ? cGpr32 : cGpr64;
  o.reg = r;
  o.issigned = issigned;
  return o;
}
Od numbered(Cls c, int64_t n) {
  Od o;
  o.cls = c;
  o.value = n;
  return o;
}
Od memory(Cls c, uint32_t size, TRegister base, TRegister index, int64_t disp, uint8_t scale) {
  Od o;
  o.cls = c;
  o.size = size;
  o.base = base;
  o.index = index;
  o.disp = disp;
  o.scale = scale;
  return o;
}

struct Form {
  TRegister base, index;
  int64_t disp;
  uint8_t scale;
};

// Registers of every kind, a few no form takes, and numbers at the field
// boundaries.
void addRegistersAndNumbers(std::vector<Od>& p) {
  for (int r = REG_AL; r <= REG_R15; ++r) p.push_back(gpr(static_cast<TRegister>(r)));
  for (TRegister r : {REG_EAX, REG_AX, REG_RAX, REG_CL, REG_R9}) p.push_back(gpr(r, true));
  for (TRegister r : {REG_R8D, REG_R9W, REG_R10B, REG_SIL, REG_SPL, REG_NONE}) p.push_back(gpr(r));
  Od wrongSize = gpr(REG_EAX);
  wrongSize.cls = cBadReg;
  wrongSize.size = 2;
  p.push_back(wrongSize);
  for (int64_t s = SEG_ES; s <= SEG_GS + 1; ++s) p.push_back(numbered(cSeg, s));
  for (int64_t n : {0, 1, 3, 7, 8, -1}) p.push_back(numbered(cSt, n));
  for (int64_t n : {0, 1, 3, 7, 8, -1}) p.push_back(numbered(cMm, n));
  for (int64_t n : {0, 1, 7, 8, 13, 15, 16, -1}) p.push_back(numbered(cXmm, n));
  for (int64_t v : {int64_t{0}, int64_t{1}, int64_t{2}, int64_t{3}, int64_t{127}, int64_t{128}, int64_t{255},
                    int64_t{256}, int64_t{32767}, int64_t{32768}, int64_t{65535}, int64_t{65536},
                    int64_t{0x7FFFFFFF}, int64_t{0x80000000}, int64_t{0xFFFFFFFF}, int64_t{0xFFFFFF80},
                    int64_t{0xFFFF8000}, int64_t{0x100000000}, int64_t{0x123456789}, int64_t{-1}, int64_t{-128},
                    int64_t{-129}, int64_t{-32768}, int64_t{-0x80000000LL}, INT64_MIN, INT64_MAX})
    p.push_back(numbered(cImm, v));
}

// Memory of every size in the forms of the three modes, at the edges of the
// displacement field, and of sizes no rule takes.
void addMemory(std::vector<Od>& p) {
  const std::vector<Form> forms = {
      // 16-bit forms
      {REG_BX, REG_SI, 0, 0}, {REG_BP, REG_DI, 0x10, 0}, {REG_BP, REG_NONE, 0, 0}, {REG_SI, REG_NONE, 0x1234, 0},
      {REG_DI, REG_NONE, -300, 0}, {REG_BX, REG_NONE, 0x7FFF, 0}, {REG_BX, REG_NONE, 0x8000, 0},
      {REG_NONE, REG_NONE, 0xFFFF, 0}, {REG_BX, REG_NONE, 0, 2}, {REG_SI, REG_BX, 0, 0}, {REG_AX, REG_NONE, 0, 0},
      {REG_BX, REG_SI, -0x80, 0}, {REG_BP, REG_SI, 0x70000, 0},
      // 32-bit forms
      {REG_EAX, REG_NONE, 0, 0}, {REG_ECX, REG_NONE, 0x7F, 0}, {REG_EDX, REG_NONE, 0x80, 0},
      {REG_ESP, REG_NONE, 0, 0}, {REG_ESP, REG_NONE, 8, 0}, {REG_EBP, REG_NONE, 0, 0}, {REG_EBP, REG_NONE, -4, 0},
      {REG_EBX, REG_ECX, 0x40, 4}, {REG_ESI, REG_NONE, 0x1000, 8}, {REG_EDI, REG_NONE, 0, 2},
      {REG_NONE, REG_NONE, 0x12345678, 0}, {REG_NONE, REG_NONE, -8, 0}, {REG_NONE, REG_NONE, 0x100, 4},
      {REG_NONE, REG_NONE, 0x10000000, 8}, {REG_NONE, REG_NONE, 0x20000000, 8}, {REG_EAX, REG_ESP, 0, 0},
      {REG_ESP, REG_NONE, 0, 2}, {REG_EAX, REG_EBP, 0, 2}, {REG_EBP, REG_ESI, 0, 0}, {REG_EDI, REG_NONE, -0x81, 0},
      {REG_EAX, REG_EBX, 0, 3}, {REG_ESP, REG_EDI, INT32_MIN, 1}, {REG_NONE, REG_EAX, 4, 0},
      // 64-bit forms
      {REG_RAX, REG_NONE, 0, 0}, {REG_RSP, REG_NONE, 8, 0}, {REG_RBP, REG_NONE, 0, 0}, {REG_R12, REG_NONE, 0, 0},
      {REG_R13, REG_NONE, 0, 0}, {REG_R13, REG_NONE, 0x200, 0}, {REG_RBX, REG_R9, 0x40, 4},
      {REG_R11, REG_NONE, 0x1000, 8}, {REG_R8, REG_R12, 0, 0}, {REG_R12, REG_R13, 0, 2}, {REG_RSP, REG_RSP, 0, 0},
      {REG_EBP, REG_NONE, -8, 0}, {REG_ESP, REG_EAX, 0, 2}, {REG_RAX, REG_ECX, 0, 0}, {REG_R15, REG_NONE, -1, 0},
      {REG_NONE, REG_NONE, 0x7FFF0000, 0}, {REG_RBP, REG_R13, 0, 0},
      // Displacements at the edges of the field: 64-bit code sign-extends it,
      // 16- and 32-bit addresses wrap at their width.
      {REG_RBX, REG_NONE, 0xFFFFFFFF, 0}, {REG_NONE, REG_NONE, 0x80000000, 0}, {REG_RSI, REG_RDI, -0x80000000LL, 2},
      {REG_RBX, REG_NONE, 0x7FFFFFFC, 0}, {REG_EBX, REG_NONE, 0xFFFFFFF0, 0}, {REG_BX, REG_NONE, 0xFFFFFFFE, 0}};
  for (const Form& f : forms)
    for (uint32_t size : {0u, 1u, 2u, 4u, 8u, 10u, 16u}) p.push_back(memory(cMem, size, f.base, f.index, f.disp, f.scale));
  for (uint32_t size : {3u, 6u, 12u}) p.push_back(memory(cMem, size, REG_EBX, REG_NONE, 4, 0));
  for (uint32_t size : {3u, 6u, 12u}) p.push_back(memory(cMem, size, REG_RBX, REG_NONE, 4, 0));
  for (uint32_t size : {3u, 6u}) p.push_back(memory(cMem, size, REG_BX, REG_NONE, 4, 0));
}

// Variables: in brackets with registers, whole (with element offsets), the
// second variable, signed ones, their addresses and memory references.
void addVariables(std::vector<Od>& p) {
  const std::vector<Form> varForms = {{REG_NONE, REG_NONE, 0, 0},  {REG_NONE, REG_NONE, 12, 0},
                                      {REG_EBX, REG_NONE, 4, 0},   {REG_RBX, REG_NONE, 4, 0},
                                      {REG_BX, REG_NONE, 6, 0},    {REG_ESI, REG_NONE, 8, 4},
                                      {REG_EBP, REG_EDI, -8, 2},   {REG_R13, REG_NONE, 0, 0},
                                      {REG_BP, REG_DI, 2, 0},      {REG_NONE, REG_NONE, 4, 8}};
  for (const Form& f : varForms)
    for (uint32_t size : {0u, 1u, 2u, 4u, 8u, 16u}) p.push_back(memory(cMemVar, size, f.base, f.index, f.disp, f.scale));

  for (uint32_t size : {1u, 2u, 4u, 8u, 10u, 16u, 3u, 6u, 12u})
    for (int32_t disp : {0, 8}) p.push_back(memory(cVar, size, REG_NONE, REG_NONE, disp, 1));
  for (uint32_t size : {2u, 4u, 8u}) {
    Od o = memory(cVar, size, REG_NONE, REG_NONE, 0, 1);
    o.varNo = 1;
    p.push_back(o);
  }
  for (uint32_t size : {2u, 4u}) {  // widened with sign when smaller sources move in
    Od o = memory(cVar, size, REG_NONE, REG_NONE, 4, 1);
    o.issigned = true;
    p.push_back(o);
  }
  p.push_back(memory(cVarRef, 0, REG_NONE, REG_NONE, 0, 1));
  p.push_back(memory(cVarRef, 0, REG_NONE, REG_NONE, 4, 1));
  p.push_back(memory(cVarRef, 0, REG_NONE, REG_NONE, 2, 4));

  const std::vector<Form> refForms = {{REG_EBX, REG_NONE, 8, 0},  {REG_EBX, REG_NONE, -8, 0},
                                      {REG_EBX, REG_NONE, 0, 0},  {REG_EBX, REG_ESI, 8, 4},
                                      {REG_RBX, REG_NONE, 0x10, 0}, {REG_RSP, REG_NONE, 8, 0},
                                      {REG_ESP, REG_NONE, 4, 0},  {REG_BX, REG_NONE, 4, 0},
                                      {REG_NONE, REG_NONE, 0x1234, 0}, {REG_R12, REG_NONE, -4, 0},
                                      {REG_EBP, REG_ECX, 0, 0},   {REG_EAX, REG_NONE, 0, 2},
                                      {REG_EBX, REG_NONE, INT32_MIN, 0},  {REG_EBX, REG_NONE, 0xFFFFFFFF, 0},
                                      {REG_RBX, REG_NONE, 0x80000000, 0}, {REG_RBX, REG_NONE, 0x7FFFFFFF, 0}};
  for (const Form& f : refForms) p.push_back(memory(cMemRef, 0, f.base, f.index, f.disp, f.scale));
}

// Labels, constants, far labels, and operand kinds and records no parser
// builds.
void addAddressesAndOddities(std::vector<Od>& p) {
  auto addr = [&](AddrKind k, int64_t value, uint32_t selector, bool viaFixup) {
    Od o;
    o.cls = cAddr;
    o.addr = k;
    o.value = value;
    o.selector = selector;
    o.viaFixup = viaFixup;
    p.push_back(o);
  };
  addr(akLabel, 7, 0, true);
  addr(akLabelRef, 9, 0, true);
  addr(akConst, 0, 0, true);
  addr(akSegLabel, 0x1234, 0x10, false);
  addr(akSegLabel, 0x12345678, 0x10, false);
  addr(akSegLabel, 0x12345, 0x10, false);
  addr(akSegLabel, 0x1234, 0x10000, false);
  addr(akSegLabel, 11, 0x20, true);
  // Operand kinds no rule encodes, and records no parser builds.
  for (TOperandType t : {otFlag, otEFlag}) {
    Od o;
    o.cls = cOther;
    o.value = t;
    p.push_back(o);
  }
  for (TRegister bad : {REG_R8D, REG_SIL, REG_NONE}) {
    Od o = memory(cMem, 4, bad, REG_NONE, 0, 0);
    p.push_back(o);
    o = memory(cMem, 4, REG_EAX, bad == REG_NONE ? REG_SP : bad, 0, 0);
    p.push_back(o);
  }
  for (int64_t v : {int64_t{5}, int64_t{0x123456789}, int64_t{-1}}) {
    Od o = numbered(cImm, v);
    o.size = 8;
    p.push_back(o);
  }
}

// One pool for every mode: the encoder must refuse what a mode cannot express.
std::vector<Od> buildPool() {
  std::vector<Od> p;
  addRegistersAndNumbers(p);
  addMemory(p);
  addVariables(p);
  addAddressesAndOddities(p);
  return p;
}

// Whether a mode can express the operand at all (registers of its widths,
// addresses in its form); the sweep tries the others too, expecting refusal.
bool plausible(const Od& o, int bits) {
  auto regOk = [&](TRegister r) {
    if (r == REG_NONE) return true;
    if (r > REG_R15) return false;
    if (bits != 64) return regSize(r) != 8;
    return true;
  };
  auto addrOk = [&](TRegister r) {
    if (r == REG_NONE) return true;
    if (r > REG_R15) return false;
    return bits == 16 ? regSize(r) == 2 : bits == 32 ? regSize(r) == 4 : regSize(r) == 8;
  };
  switch (o.cls) {
    case cGpr8: case cGpr16: case cGpr32: case cGpr64: return regOk(o.reg);
    case cSt: case cMm: return o.value >= 0 && o.value <= 7;
    case cXmm: return o.value >= 0 && o.value <= (bits == 64 ? 15 : 7);
    case cSeg: return o.value <= SEG_GS;
    case cMem: case cMemVar: case cMemRef:
      return addrOk(o.base) && addrOk(o.index) && (o.base != REG_NONE || o.index == REG_NONE) &&
             (bits != 16 || o.scale <= 1);
    default: return true;
  }
}

// --- Expectations ----------------------------------------------------------------

struct WantOp {
  DecodedOperand::Kind kind = DecodedOperand::Reg;
  std::string reg;
  std::vector<int64_t> imms;  // the readings any of which may come back
  std::string base, index;
  int scale = 1;
  int64_t disp = 0;
  int dispBits = 32;  // bits of the address that count
  uint32_t size = 0;  // 0: not checked
  uint32_t fieldBytes = 0;  // the immediate's field, when the decoders show it wider
  bool rolls = false;       // imm_roll: only the bytes of the field count
};

struct Want {
  std::set<std::string> mnemonics;
  std::vector<WantOp> ops;
  bool checkOps = true;
  bool swapOk = false;  // xchg reads the same either way round
  bool nopReading = false;  // a nop, when read as one, has no operands to compare
};

// A rewrite into several instructions: the names it may use, and the stack
// it must leave moved (pushes minus pops), or any positive amount.
struct WantSeq {
  std::set<std::string> mnemonics;
  int pushesMinusPops = 0;
  bool anyPositive = false;
};

bool fitsBytes(int64_t v, uint32_t n) {
  if (n >= 8) return true;
  const int64_t lo = -(int64_t{1} << (8 * n - 1)), hi = (int64_t{1} << (8 * n)) - 1;
  return v >= lo && v <= hi;
}

// A number held as the parser holds it: 32 zero-extended bits also stand for
// their signed reading.
std::vector<int64_t> readings(int64_t v) {
  std::vector<int64_t> r{v};
  if ((v >> 32) == 0 && static_cast<int32_t>(static_cast<uint32_t>(v)) != v)
    r.push_back(static_cast<int32_t>(static_cast<uint32_t>(v)));
  return r;
}

uint64_t lowBits(int64_t v, int bits) {
  return bits >= 64 ? static_cast<uint64_t>(v) : static_cast<uint64_t>(v) & ((uint64_t{1} << bits) - 1);
}

std::string canonicalName(std::string name) {
  static const std::map<std::string, std::string> aliases = {
      {"sal", "shl"},     {"fwait", "wait"}, {"popad", "popal"}, {"pushad", "pushal"},
      {"popfw", "popf"},  {"pushfw", "pushf"}, {"retn", "ret"},  {"goto", "jmp"},
  };
  if (auto it = aliases.find(name); it != aliases.end()) return it->second;
  static const std::map<std::string, std::string> conditions = {
      {"c", "b"},  {"nae", "b"}, {"nb", "ae"}, {"nc", "ae"}, {"z", "e"},  {"nz", "ne"}, {"na", "be"},
      {"nbe", "a"}, {"pe", "p"}, {"po", "np"}, {"nge", "l"}, {"nl", "ge"}, {"ng", "le"}, {"nle", "g"},
  };
  for (const char* stem : {"set", "cmov"}) {
    if (name.rfind(stem, 0) == 0) {
      const std::string cc = name.substr(std::strlen(stem));
      if (auto it = conditions.find(cc); it != conditions.end()) return stem + it->second;
    }
  }
  return name;
}

bool isX87(TInstructionGroup g) {
  return g == igX87_FPU_S || g == igX87_FPU || g == igX87_MEM_STI || g == igX87_MEM;
}
bool isSimd(TInstructionGroup g) { return g == igSSE || g == igMMU_MOV || g == igMMU_MOVQ || g == igMOVSD; }

std::string rowName(const TInstruction& row) { return std::string(row.name, strnlen(row.name, sizeof(row.name))); }

// --- Comparison with a decoder's reading -------------------------------------------

std::string compareOp(const WantOp& w, const DecodedOperand& g, bool sizes) {
  if (g.kind != w.kind) return "operand kind";
  switch (w.kind) {
    case DecodedOperand::Reg:
      if (g.reg != w.reg) return "register " + g.reg + " for " + w.reg;
      return {};
    case DecodedOperand::Imm: {
      // The text oracles name no width: the smallest that holds the number
      // read stands for it.
      uint32_t width = g.size;
      if (w.fieldBytes) {
        width = w.fieldBytes;
      } else if (width != 1 && width != 2 && width != 4 && width != 8) {
        const uint64_t u = static_cast<uint64_t>(g.imm);
        width = u <= 0xFF ? 1 : u <= 0xFFFF ? 2 : u <= 0xFFFFFFFF ? 4 : 8;
      }
      // With imm_roll the program asked for the low bytes of any value.
      for (int64_t r : w.imms)
        if ((w.rolls || fitsBytes(r, width)) && lowBits(r, 8 * width) == lowBits(g.imm, 8 * width)) return {};
      return "immediate " + std::to_string(g.imm) + " for " + std::to_string(w.imms.empty() ? 0 : w.imms[0]);
    }
    case DecodedOperand::Mem: {
      auto none = [](const std::string& r) { return r == "riz" || r == "eiz" ? std::string() : r; };
      if (!g.segment.empty()) return "segment " + g.segment;
      if (none(g.base) != w.base) return "base " + g.base + " for " + w.base;
      if (none(g.index) != w.index) return "index " + g.index + " for " + w.index;
      if (!w.index.empty() && g.scale != w.scale) return "scale " + std::to_string(g.scale);
      if (lowBits(g.disp, w.dispBits) != lowBits(w.disp, w.dispBits))
        return "displacement " + std::to_string(g.disp) + " for " + std::to_string(w.disp);
      if (sizes && w.size != 0 && g.size != 0 && g.size != w.size)
        return "memory size " + std::to_string(g.size) + " for " + std::to_string(w.size);
      return {};
    }
  }
  return {};
}

// The expected operands in the form canonicalStack gives the decoded ones.
void canonicalStack(std::vector<WantOp>& ops) {
  if (ops.size() == 1 && ops[0].kind == DecodedOperand::Reg && ops[0].reg.rfind("st(", 0) == 0) {
    WantOp st0;
    st0.reg = "st(0)";
    ops.insert(ops.begin(), st0);
  }
}

std::string compare(const Want& want, const Decoded& d, size_t length, bool sizes) {
  if (!d.ok) return "not decoded";
  if (d.length != length) return "decoded " + std::to_string(d.length) + " of " + std::to_string(length) + " bytes";
  if (!want.mnemonics.count(d.mnemonic)) return "mnemonic " + d.mnemonic;
  if (!want.checkOps || (want.nopReading && d.mnemonic == "nop" && d.ops.empty())) return {};
  std::vector<DecodedOperand> got = d.ops;
  std::vector<WantOp> ops = want.ops;
  canonicalStack(got);
  canonicalStack(ops);
  if (got.size() != ops.size()) return "operand count " + std::to_string(got.size());
  std::string first;
  for (size_t i = 0; i < ops.size() && first.empty(); ++i) {
    const std::string why = compareOp(ops[i], got[i], sizes);
    if (!why.empty()) first = "operand " + std::to_string(i + 1) + ": " + why;
  }
  if (!first.empty() && want.swapOk && ops.size() == 2 && compareOp(ops[0], got[1], sizes).empty() &&
      compareOp(ops[1], got[0], sizes).empty())
    return {};
  return first;
}

// --- The text oracle ------------------------------------------------------------------

// objdump (16-bit code) or llvm-mc (32- and 64-bit code) over a whole batch in
// one run. Each instruction is followed by 16 filler bytes (nop for objdump,
// int3 for llvm-mc): an instruction that reads past its bytes eats fewer
// than 16 of them, so the next one still starts in step. length is the
// decoded length (objdump), or the instruction's own length when llvm-mc read
// exactly one instruction before the filler, else 0.
std::vector<Decoded> textBatch(const std::vector<std::string>& code, int bits) {
  std::vector<Decoded> out(code.size());
  const std::string path = test::textdisasm::tempPath("vorak_sweep");
  if (path.empty()) return out;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return out;
  if (bits == 16) {
    for (const std::string& c : code) {
      std::fwrite(c.data(), 1, c.size(), f);
      std::fwrite(std::string(16, static_cast<char>(0x90)).data(), 1, 16, f);
    }
    std::fclose(f);
    const std::string text = test::textdisasm::readCommand(
        "objdump -D -z -b binary -m i386 -M intel,i8086 " + path + " 2>/dev/null");
    std::remove(path.c_str());
    std::map<size_t, const test::textdisasm::ObjdumpEntry*> at;
    const std::vector<test::textdisasm::ObjdumpEntry> entries = test::textdisasm::objdumpEntries(text);
    for (const test::textdisasm::ObjdumpEntry& e : entries) at[e.offset] = &e;
    size_t offset = 0;
    for (size_t i = 0; i < code.size(); ++i) {
      if (auto it = at.find(offset); it != at.end()) {
        out[i] = test::textdisasm::parseIntel(it->second->text);
        out[i].length = it->second->length;
      }
      offset += code[i].size() + 16;
    }
    return out;
  }
  for (const std::string& c : code) {
    for (unsigned char b : c) std::fprintf(f, "0x%02x ", b);
    for (int k = 0; k < 16; ++k) std::fputs("0xcc ", f);
    std::fputs("\n", f);
  }
  std::fclose(f);
  const char* triple = bits == 64 ? "x86_64" : "i386";
  const std::string text = test::textdisasm::readCommand(
      std::string("llvm-mc --disassemble -output-asm-variant=1 -triple=") + triple + " " + path + " 2>&1");
  std::remove(path.c_str());
  // Groups of readings between runs of int3, one group per instruction.
  std::vector<std::vector<Decoded>> groups(1);
  bool inFiller = false;
  for (const Decoded& d : test::textdisasm::llvmReadings(text)) {
    if (d.ok && d.mnemonic == "int3") {
      inFiller = true;
      continue;
    }
    if (inFiller) {
      groups.emplace_back();
      inFiller = false;
    }
    groups.back().push_back(d);
  }
  for (size_t i = 0; i < code.size() && i < groups.size(); ++i) {
    if (groups[i].empty()) continue;
    out[i] = groups[i][0];
    out[i].length = groups[i].size() == 1 ? code[i].size() : 0;
  }
  return out;
}

// --- The sweep -----------------------------------------------------------------------

class WholeTableSweep : public test::EncoderTest {
 protected:
  void SetUp() override {
    EncoderTest::SetUp();
    func_ = FuncMan->CreateFunction(ltProc, nullptr);
    for (TVarType& t : types_) t = TVarType{};
    for (TVar& v : vars_) v = TVar{};
    vars_[0].name = const_cast<char*>("first");
    vars_[1].name = const_cast<char*>("second");
    vars_[2].name = const_cast<char*>("pointed");
    vars_[3].name = const_cast<char*>("based");
    // The variable behind an address operand is a double, as x87 loads take it.
    types_[0].size = 8;
    vars_[2].type_ = &types_[0];
    constant_ = TConst{};
  }

  void listingOn() {
    dir_ = std::filesystem::temp_directory_path() / ("vorak_sweep_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    Settings->setProjectPath(dir_.string() + "/");
    Settings->SetASMDebug(true, "sweep.asm");
  }
  void TearDown() override {
    clearFixups();
    EncoderTest::TearDown();
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  void materialize(const Od& d, TOperand& op) {
    op = TOperand{};
    switch (d.cls) {
      case cGpr8: case cGpr16: case cGpr32: case cGpr64: case cBadReg:
        op.setRegister(d.issigned, d.reg);
        if (d.size) op.size = d.size;
        break;
      case cSeg: op.setSegment(false, static_cast<TSegment>(d.value)); break;
      // st and mm names share an operand type; the size says which file.
      case cSt:
        op.setIntType(false, otST, d.value);
        op.size = ST_REGISTER_SIZE;
        break;
      case cMm:
        op.setIntType(false, otST, d.value);
        op.size = MM_REGISTER_SIZE;
        break;
      case cXmm: op.setIntType(false, otXMM, d.value); break;
      case cImm:
        op.setImm(false, 0, d.size ? d.size : 4);
        op.value = d.value;
        break;
      case cOther: op.setIntType(false, static_cast<TOperandType>(d.value), 1); break;
      case cMem:
      case cMemVar: {
        void* var = d.cls == cMemVar ? &vars_[3] : nullptr;
        void* fn = d.cls == cMemVar ? func_ : nullptr;
        if (d.base == REG_NONE && d.index == REG_NONE)
          op.setMemory(false, d.size, d.disp, d.scale, {}, var, otVar, fn);
        else if (d.index == REG_NONE)
          op.setMemory(false, d.size, d.disp, d.scale, {d.base}, var, otVar, fn);
        else if (d.base == REG_NONE)  // an index with no base: the record a parser could not build
          op.setMemory(false, d.size, d.disp, d.scale, {REG_NONE, d.index}, var, otVar, fn);
        else
          op.setMemory(false, d.size, d.disp, d.scale, {d.base, d.index}, var, otVar, fn);
        break;
      }
      case cVar:
        op.setPointer(d.issigned, otVar, func_, &vars_[d.varNo], d.size);
        op.displacement = d.disp;
        op.scale = d.scale;
        break;
      case cVarRef:
        op.setPointer(false, otVarRef, func_, &vars_[2], 0);
        op.displacement = d.disp;
        op.scale = d.scale;
        break;
      case cMemRef:
        if (d.base == REG_NONE)
          op.setMemory(false, 0, d.disp, d.scale, {}, nullptr, otRegister, nullptr);
        else if (d.index == REG_NONE)
          op.setMemory(false, 0, d.disp, d.scale, {d.base}, nullptr, otRegister, nullptr);
        else
          op.setMemory(false, 0, d.disp, d.scale, {d.base, d.index}, nullptr, otRegister, nullptr);
        op.hint = otMemRef;
        break;
      case cAddr:
        switch (d.addr) {
          case akLabel: op.setLabel(false, func_, static_cast<uint32_t>(d.value)); break;
          case akLabelRef:
            op.setLabel(false, func_, static_cast<uint32_t>(d.value));
            op.hint = otLabelRef;
            break;
          case akConst: op.setPointer(false, otConst, func_, &constant_, 0); break;
          case akSegLabel:
            op.setIntType(false, otSegLabel, d.value);
            op.segstart = d.selector;
            op.ptr = d.viaFixup ? func_ : nullptr;
            break;
        }
        break;
      default: break;
    }
  }

  std::string describe(const Od& d, const TInstruction& row) const {
    switch (d.cls) {
      case cNone: return "-";
      case cGpr8: case cGpr16: case cGpr32: case cGpr64: case cBadReg: {
        std::string s = d.reg == REG_NONE ? "reg_none" : d.reg > REG_R15 ? "reg#" + std::to_string(d.reg)
                                                                             : std::string(regToStr(d.reg));
        if (d.size) s += "(size " + std::to_string(d.size) + ")";
        return d.issigned ? "signed " + s : s;
      }
      case cSeg: return d.value <= SEG_GS ? std::string(segToStr(static_cast<uint8_t>(d.value))) : "seg#6";
      case cSt: return "st(" + std::to_string(d.value) + ")";
      case cMm: return "mm" + std::to_string(d.value);
      case cXmm: return "xmm" + std::to_string(d.value);
      case cImm: return std::to_string(d.value);
      case cMem: case cMemVar: case cMemRef: case cVar: {
        std::string s = d.cls == cVar ? (d.issigned ? "signed var" : "var") : d.cls == cMemRef ? "@" : "";
        s += "size" + std::to_string(d.size) + " [";
        if (d.cls == cMemVar) s += "based+";
        if (d.base != REG_NONE) s += std::string(regToStr(d.base));
        if (d.index != REG_NONE) s += "+" + std::string(regToStr(d.index));
        if (d.scale) s += "*" + std::to_string(d.scale);
        return s + (d.disp < 0 ? "-" : "+") + std::to_string(d.disp < 0 ? -int64_t{d.disp} : d.disp) + "]";
      }
      case cVarRef: return "@pointed+" + std::to_string(d.disp) + "*" + std::to_string(d.scale);
      case cOther: return "kind#" + std::to_string(d.value);
      case cAddr:
        switch (d.addr) {
          case akLabel: return "label";
          case akLabelRef: return "@label";
          case akConst: return "const";
          case akSegLabel:
            return std::to_string(d.selector) + ":" + std::to_string(d.value) + (d.viaFixup ? "(fixup)" : "");
        }
        return "addr";
      default: return "?";
    }
  }

  // --- One attempt ---------------------------------------------------------------

  // How an accepted instruction is judged: one instruction read back against
  // the expectation, a rewrite into several (checked as a sequence and run),
  // or a jump's placeholder that the builder replaces.
  enum Shape { One, Sequence, Placeholder };

  // The fixups of an accepted instruction, each checked for its field and
  // filled with the marker of its size plus its offset.
  std::string patchFixups(std::string& bytes, size_t mark, const TInstruction& row) {
    const TFixupList& list = fixupList(func_);
    for (size_t i = mark; i < list.size(); ++i) {
      const TFixup& f = *list[i];
      if (f.parentfunc != func_) return "fixup filed for another function";
      if (f.position + f.size > bytes.size()) return "fixup field past the instruction";
      const char fill = f.hint == ftJmp ? static_cast<char>(0x90) : 0;
      for (uint32_t k = 0; k < f.size; ++k)
        if (bytes[f.position + k] != fill) return "fixup field not blank";
      switch (f.hint) {
        case ftVar:
          if (f.data != &vars_[0] && f.data != &vars_[1] && f.data != &vars_[2] && f.data != &vars_[3])
            return "variable fixup without its variable";
          if (f.size != 2 && f.size != 4 && f.size != 8) return "variable fixup of size " + std::to_string(f.size);
          break;
        case ftConst:
          if (f.data != &constant_) return "constant fixup without its constant";
          break;
        case ftLabel: case ftLabelAbs: case ftRelative:
          if (f.index != 7 && f.index != 9 && f.index != 11) return "label fixup for label " + std::to_string(f.index);
          break;
        case ftJmp:
          if (f.size != 7 || f.index != 7 || f.jmp != static_cast<TJmpType>(row.opcode1 & 0xFFFF))
            return "jump placeholder fixup";
          continue;
        default: return "unexpected fixup type " + std::to_string(f.hint);
      }
      if (f.hint != ftJmp && f.jmp != jtJMP) return "fixup with a jump type";
      const uint64_t v = sentinel(f.size) + (f.hint == ftRelative ? 0 : f.offset);
      for (uint32_t k = 0; k < f.size; ++k) bytes[f.position + k] = static_cast<char>(v >> (8 * k));
    }
    return {};
  }

  // The field size the fixup of an operand ended up with, found by its target.
  uint32_t fixupSizeFor(const void* data, int64_t index, size_t mark) const {
    const TFixupList& list = fixupList(func_);
    for (size_t i = mark; i < list.size(); ++i) {
      const TFixup& f = *list[i];
      const bool byIndex = f.hint == ftLabel || f.hint == ftLabelAbs || f.hint == ftRelative || f.hint == ftJmp;
      if (byIndex ? (data == nullptr && static_cast<int64_t>(f.index) == index) : f.data == data) return f.size;
    }
    return 0;
  }

  int addressBits(const Od& d, int bits) const {
    if (bits == 16) return 16;
    const TRegister r = d.base != REG_NONE ? d.base : d.index;
    if (bits == 32 || (r != REG_NONE && r <= REG_R15 && regSize(r) == 4)) return 32;
    return 64;
  }

  // A memory operand as written (or as a variable's field filled with a marker).
  WantOp memWant(const Od& d, const TOperand& after, int bits, size_t mark) const {
    WantOp w;
    w.kind = DecodedOperand::Mem;
    w.dispBits = addressBits(d, bits);
    w.size = after.size;
    const bool indexOnly = d.index == REG_NONE && d.scale > 1 && d.base != REG_NONE;
    const TRegister b = indexOnly ? REG_NONE : d.base, x = indexOnly ? d.base : d.index;
    if (b != REG_NONE) w.base = std::string(regToStr(b));
    if (x != REG_NONE) {
      w.index = std::string(regToStr(x));
      w.scale = d.scale > 1 ? d.scale : 1;
    }
    int64_t disp = d.disp;
    if (d.base == REG_NONE && d.scale > 1) disp *= d.scale;
    if (d.cls == cVar || d.cls == cMemVar) {
      const void* var = d.cls == cVar ? &vars_[d.varNo] : &vars_[3];
      disp += static_cast<int64_t>(sentinel(fixupSizeFor(var, 0, mark)));
    }
    w.disp = disp;
    return w;
  }

  WantOp immWant(int64_t v) const {
    WantOp w;
    w.kind = DecodedOperand::Imm;
    w.imms = readings(v);
    w.rolls = CompileFlags.imm_roll;
    return w;
  }

  WantOp regWant(std::string name) const {
    WantOp w;
    w.reg = std::move(name);
    return w;
  }

  // The operand as the decoder must show it, in the common reading.
  WantOp operandWant(const TInstruction& row, const Od& d, const TOperand& after, int bits, size_t mark,
                     size_t length) const {
    switch (d.cls) {
      case cGpr8: case cGpr16: case cGpr32: case cGpr64: case cBadReg: return regWant(std::string(regToStr(d.reg)));
      case cSeg: return regWant(std::string(segToStr(static_cast<uint8_t>(d.value))));
      // The register file written: an x87 row reading an mm name (or an MMX
      // row an st name) decodes to the other file and fails here.
      case cSt: return regWant("st(" + std::to_string(d.value) + ")");
      case cMm: return regWant("mm" + std::to_string(d.value));
      case cXmm: return regWant("xmm" + std::to_string(d.value));
      case cImm: return immWant(d.value);
      case cMem: case cMemVar: case cVar: case cMemRef: return memWant(d, after, bits, mark);
      case cVarRef: {
        const int64_t scale = (d.scale == 2 || d.scale == 4 || d.scale == 8) ? d.scale : 1;
        const int64_t address = static_cast<int64_t>(sentinel(fixupSizeFor(&vars_[2], 0, mark))) + d.disp * scale;
        if (isX87(row.group)) {  // the variable itself, of its type's size
          WantOp w;
          w.kind = DecodedOperand::Mem;
          w.disp = address;
          w.dispBits = bits == 16 ? 16 : 32;
          w.size = types_[0].size;
          return w;
        }
        return immWant(address);
      }
      case cAddr: {
        const void* data = d.addr == akConst ? &constant_ : nullptr;
        const uint32_t size = fixupSizeFor(data, d.value, mark);
        if (d.addr == akLabel && row.group == igCALL) {
          WantOp w = immWant(static_cast<int64_t>(lowBits(static_cast<int64_t>(sentinel(size) + length), bits)));
          return w;
        }
        return immWant(static_cast<int64_t>(sentinel(size)));
      }
      default: return {};
    }
  }

  // mov: a register loaded from an address (lea), widened (movzx/movsx), a
  // wider variable read through its low bytes, a 64-bit number (movabs); or
  // memory to memory, a sequence.
  Shape expectMove(const Od* d, const TOperand* after, Cls c1, Cls c2, Want& want, WantSeq& seq) const {
    if (isGprClass(c1)) {
      const uint32_t s1 = after[0].size;
      const bool dwordSource = isGprClass(c2) || c2 == cMem || c2 == cMemVar || c2 == cVar;
      if (s1 == 8 && dwordSource && after[1].size == 4) {
        // A doubleword into a 64-bit register: movsxd, or a 32-bit load that
        // clears the upper half.
        if (after[0].issigned) {
          want.mnemonics = {"movsxd"};
        } else {
          want.ops[0].reg = test::doublewordName(d[0].reg);
          want.ops[0].size = 4;
        }
      } else if (c2 == cMemRef) {
        want.mnemonics = {"lea"};
        want.ops[1].size = 0;
      } else if ((isGprClass(c2) && after[1].size != s1) ||
                 ((c2 == cMem || c2 == cMemVar || c2 == cVar) && after[1].size < s1)) {
        want.mnemonics = {after[0].issigned ? "movsx" : "movzx"};
      } else if (c2 == cVar) {
        want.ops[1].size = s1;  // a larger variable is read through its low bytes
      } else if (s1 == 8 && (c2 == cImm || c2 == cVarRef || c2 == cAddr)) {
        want.mnemonics = {"mov", "movabs"};
      }
    } else if (isMemoryClass(c1) && isMemoryClass(c2)) {
      seq.mnemonics = {"push", "pop", "mov", "movzx", "movsx"};
      return Sequence;
    }
    return One;
  }

  // push and pop: numbers cut to the stack word, and the sequences of
  // variables, memory blocks and addresses.
  Shape expectStack(const TInstruction& row, const TOperand* after, Cls c1, int bits, Want& want,
                    WantSeq& seq) const {
    const bool push = row.group == igPUSH;
    const uint32_t w = bits / 8;
    // 16- and 32-bit code push the low bytes of a wider number.
    if (c1 == cImm && bits != 64) {
      want.ops[0].rolls = true;
      want.ops[0].fieldBytes = w;
    }
    if (c1 == cVar && after[0].size != w) {
      seq.mnemonics = {push ? "push" : "pop"};
      seq.pushesMinusPops = static_cast<int>(after[0].size / w) * (push ? 1 : -1);
      return Sequence;
    }
    if ((c1 == cMem || c1 == cMemVar) && after[0].size != w) {
      if (push) {
        seq.mnemonics = {"push", "shr", "movzx"};
        seq.anyPositive = true;
      } else {
        seq.mnemonics = {"pop"};
        seq.pushesMinusPops = -static_cast<int>(after[0].size / w);
      }
      return Sequence;
    }
    if (c1 == cMemRef) {
      seq.mnemonics = {"push", "add", "sub", "lea"};
      seq.pushesMinusPops = 1;
      return Sequence;
    }
    return One;
  }

  // call and the jumps: the placeholder of a jump to a label, a number as the
  // target of the relative field, a far label.
  Shape expectJump(const TInstruction& row, const Od* d, Cls c1, int bits, size_t mark, size_t length,
                   Want& want) const {
    if (c1 == cAddr && d[0].addr == akLabel && row.group == igGOTO) return Placeholder;
    if (c1 == cImm) {  // the target of a relative field, as the decoders show it
      want.ops[0].imms.clear();
      for (int64_t r : readings(d[0].value))
        want.ops[0].imms.push_back(
            static_cast<int64_t>(lowBits(static_cast<int64_t>(static_cast<uint64_t>(r) + length), bits)));
    }
    if (c1 == cAddr && d[0].addr == akSegLabel) {
      want.mnemonics = {"ljmp"};
      const uint32_t size = fixupSizeFor(nullptr, d[0].value, mark);
      want.ops = {immWant(d[0].selector), immWant(d[0].viaFixup ? static_cast<int64_t>(sentinel(size)) : d[0].value)};
    }
    return One;
  }

  // Builds the expectation of an accepted instruction.
  Shape expect(const TInstruction& row, const Od* d, const TOperand* after, size_t count, int bits, size_t mark,
               size_t length, Want& want, WantSeq& seq) const {
    const std::string name = rowName(row);
    want.mnemonics = {canonicalName(name)};
    for (size_t i = 0; i < count; ++i) want.ops.push_back(operandWant(row, d[i], after[i], bits, mark, length));
    const Cls c1 = count > 0 ? d[0].cls : cNone, c2 = count > 1 ? d[1].cls : cNone;

    switch (row.group) {
      case igEMIT:
        if (row.maxpar == 0) want.checkOps = false;
        if (row.flags & EMIT1_BYTE) want.ops[0].fieldBytes = 1;  // int n: one unsigned byte
        break;
      case igMOVSD:
        if (count == 0) want.checkOps = false;  // the string move
        break;
      case igMOV:
        return expectMove(d, after, c1, c2, want, seq);
      case igMOVSX_MOVZX:
        if (after[0].size == after[1].size) want.mnemonics = {"mov"};
        break;
      case igPUSH:
      case igPOP:
        return expectStack(row, after, c1, bits, want, seq);
      case igCALL:
      case igGOTO:
        return expectJump(row, d, c1, bits, mark, length, want);
      case igRET:
        if (count == 0 || (c1 == cImm && d[0].value == 0)) want.ops.clear();
        if (!want.ops.empty()) want.ops[0].fieldBytes = 2;
        break;
      case igENTER:
        want.ops[0].fieldBytes = 2;
        want.ops[1].fieldBytes = 1;
        break;
      case igSSE:
        if (c2 == cImm) want.ops[1].fieldBytes = 1;
        break;
      case igIMUL:
        if (count == 2 && c2 == cImm) want.ops.insert(want.ops.begin() + 1, want.ops[0]);
        break;
      case igLEA:
        want.ops[1].size = 0;  // an address has no width
        if (c2 == cImm) {
          WantOp m;
          m.kind = DecodedOperand::Mem;
          m.disp = d[1].value;
          m.dispBits = 32;
          want.ops[1] = m;
        }
        break;
      case igXCHG:
        want.swapOk = true;
        // The accumulator with itself is the byte read as nop, except where
        // xchg eax, eax must clear the upper half of RAX.
        if (isGprClass(c1) && c1 == c2 && d[0].reg == d[1].reg && regID(d[0].reg) == 0 && c1 != cGpr8 &&
            !(bits == 64 && c1 == cGpr32)) {
          want.mnemonics.insert("nop");
          if (bits != 64) want.mnemonics.erase("xchg");
          want.nopReading = true;
        }
        break;
      case igRM_S:  // setcc of a wider register writes its low byte
        if (c1 == cGpr16 || c1 == cGpr32 || c1 == cGpr64) want.ops[0].reg = test::lowByteName(d[0].reg);
        break;
      case igMMU_MOVQ:  // between mm and xmm, the moves named movq2dq and movdq2q
        if (c1 == cXmm && c2 == cMm) want.mnemonics = {"movq2dq"};
        if (c1 == cMm && c2 == cXmm) want.mnemonics = {"movdq2q"};
        break;
      case igMMU_MOV:  // movmskps/pd fill a 64-bit register through its doubleword
        if ((row.flags & OP_NOREX) && c1 == cGpr64) want.ops[0].reg = test::doublewordName(d[0].reg);
        break;
      default: break;
    }
    return One;
  }

  struct Pending {  // a reading that needs the text oracle
    std::string label, bytes;
    Want want;
    std::string capstoneWhy;
    bool simdMemory = false;
  };

  // Reported once the console is no longer captured.
  void fail(const std::string& what) {
    ++failures_;
    // A few per mnemonic, so that one fault does not hide the others.
    const std::string key = what.substr(0, what.find(' '));
    if (messages_.size() < 150 && ++perName_[key] <= 3) messages_.push_back(what);
  }

  // Encodes one combination and checks the outcome.
  void attempt(const TInstruction& row, int bits, const Od* d, size_t count) {
    TOperand ops[3];
    POperand p[3] = {nullptr, nullptr, nullptr};
    for (size_t i = 0; i < count; ++i) {
      if (d[i].cls == cNone) continue;
      materialize(d[i], ops[i]);
      p[i] = &ops[i];
    }
    ++tried_;
    const size_t mark = fixupList(func_).size();
    const size_t listed = DebugASM ? DebugASM->Data().size() : 0;
    uint32_t rc = ASSEMBLE_OK;
    bool aborted = false;
    try {
      rc = enc.assemble(&row, p[0], p[1], p[2], optimise_);
    } catch (const EAbort&) {
      aborted = true;
    } catch (const std::exception& e) {
      fail(label(row, bits, d, count) + ": threw " + e.what());
      enc.popCode();
      return;
    }
    std::string bytes = enc.popCode();
    const size_t filed = fixupList(func_).size() - mark;
    if (aborted || rc != ASSEMBLE_OK) {
      const bool listedSome = DebugASM && DebugASM->Data().size() != listed;
      if (bytes.empty() && !filed && !aborted && !listedSome) return;
      const std::string where = label(row, bits, d, count);
      if (listedSome) fail(where + ": refused, but listed");
      if (!bytes.empty()) fail(where + ": refused, but left bytes " + hexBytes(bytes));
      if (filed) fail(where + ": refused, but left " + std::to_string(filed) + " fixups");
      // The push of a variable that is no whole number of stack words is
      // meant to end the compile; nothing else may.
      if (aborted && !((row.group == igPUSH || row.group == igPOP) && count == 1 && d[0].cls == cVar))
        fail(where + ": ended the compile");
      return;
    }
    ++accepted_;
    ++perRow_[&row];
    check(row, bits, d, count, ops, bytes, mark, label(row, bits, d, count));
    clearFixups();
  }

  void clearFixups() {
    // The records belong to the fixup manager: only the list is emptied.
    fixupList(func_).clear();
  }

  std::string label(const TInstruction& row, int bits, const Od* d, size_t count) const {
    std::string s = rowName(row);
    for (size_t i = 0; i < count; ++i) s += (i ? ", " : " ") + describe(d[i], row);
    return s + " in " + std::to_string(bits) + "-bit mode";
  }

  void check(const TInstruction& row, int bits, const Od* d, size_t count, const TOperand* after, std::string bytes,
             size_t mark, const std::string& where) {
    // mov of a register to itself is no instruction at all when optimised
    // (but clears the upper half of a 64-bit register in 64-bit code).
    if (bytes.empty() && count == 2 && d[0].cls == d[1].cls && d[0].reg == d[1].reg && d[0].reg != REG_NONE &&
        (row.group == igMOV || row.group == igMOVSX_MOVZX) && !(bits == 64 && d[0].cls == cGpr32))
      return;
    const std::string raw = bytes;
    const std::string fixupWhy = patchFixups(bytes, mark, row);
    if (!fixupWhy.empty()) {
      fail(where + ": " + fixupWhy + " (bytes " + hexBytes(raw) + ")");
      return;
    }
    Want want;
    WantSeq seq;
    const Shape shape = expect(row, d, after, count, bits, mark, bytes.size(), want, seq);
    if (shape == Placeholder) {
      if (raw != std::string(7, static_cast<char>(0x90)) || fixupList(func_).size() - mark != 1)
        fail(where + ": jump placeholder " + hexBytes(raw));
      return;
    }
    if (shape == Sequence) {
      checkSequence(bits, bytes, seq, where);
      emulateSequence(row, bits, d, after, raw, mark, where);
      return;
    }
    const std::string name = rowName(row);
    // Prefix rows stand in front of the instruction they change.
    static const std::map<std::string, std::pair<std::string, std::string>> prefixed = {
        {"lock", {"\x01\x18", "add"}},  {"rep", {"\xA4", "movsb"}},   {"repe", {"\xA6", "cmpsb"}},
        {"repz", {"\xA6", "cmpsb"}},    {"repn", {"\xA6", "cmpsb"}},  {"repne", {"\xA6", "cmpsb"}},
        {"repnz", {"\xA6", "cmpsb"}}};
    if (auto it = prefixed.find(name); it != prefixed.end()) {
      const Decoded all = test::decode(bytes + it->second.first, bits);
      if (!all.ok || all.length != bytes.size() + it->second.first.size() ||
          all.mnemonic.find(it->second.second) == std::string::npos)
        fail(where + ": prefix reads as " + all.text);
      return;
    }
    if (name == "fclex" || name == "finit") {
      const std::vector<Decoded> all = test::decodeAll(bytes, bits);
      if (all.size() != 2 || all[0].mnemonic != "wait" || all[1].mnemonic != "fn" + name.substr(1) ||
          all[0].length + all[1].length != bytes.size())
        fail(where + ": reads as " + test::disasmText(bytes, bits));
      return;
    }
    const bool simdMemory = isSimd(row.group) && count == 2 &&
                            (d[0].cls == cMem || d[0].cls == cMemVar || d[1].cls == cMem || d[1].cls == cMemVar);
    // Capstone gets the width of some SSE memory operands wrong; those
    // widths are the text oracle's to judge.
    const std::string why = compare(want, test::decode(bytes, bits), bytes.size(), !isSimd(row.group));
    if (why.empty() && !simdMemory) return;
    if (bytes == "\xCC") {  // int3 is the text oracle's filler
      fail(where + ": Capstone reads " + why);
      return;
    }
    pending_.push_back({where, bytes, want, why, simdMemory});
  }

  void checkSequence(int bits, const std::string& bytes, const WantSeq& seq, const std::string& where) {
    const std::vector<Decoded> all = test::decodeAll(bytes, bits);
    size_t length = 0;
    int balance = 0;
    std::string text;
    for (const Decoded& x : all) {
      length += x.length;
      text += (text.empty() ? "" : "; ") + x.text;
      if (x.mnemonic == "push") ++balance;
      if (x.mnemonic == "pop") --balance;
    }
    bool ok = length == bytes.size() && all.size() >= 2;
    for (const Decoded& x : all) ok = ok && seq.mnemonics.count(x.mnemonic);
    ok = ok && (seq.anyPositive ? balance > 0 : balance == seq.pushesMinusPops);
    if (!ok) fail(where + ": sequence " + text + " (bytes " + hexBytes(bytes) + ")");
    ++sequences_;
  }

  // --- Sequences run in the emulator ------------------------------------------------
  //
  // Registers hold small addresses and variables lie in the emulator's data
  // area, so that every sequence whose operands land there is run and its
  // effect compared with the instruction written: the bytes moved, pushed or
  // popped, the stack pointer, and every register but the ones the rewrite
  // may use (the accumulator, where m2m_reg allows it or a push goes through
  // it).
  static uint64_t regValue(int bits, int n) {
    if (n == 4) return test::kEmuStackTop;
    if (bits == 16) {
      switch (n) {
        case 3: return test::kEmuData + 0x100;  // bx
        case 5: return test::kEmuData + 0x300;  // bp
        case 6: return 0x20;                    // si
        case 7: return 0x60;                    // di
        default: break;
      }
    }
    return test::kEmuData + 0x100 + 0x40 * static_cast<uint64_t>(n);
  }
  uint64_t varAddress(const void* var) const {
    for (int i = 0; i < 4; ++i)
      if (var == &vars_[i]) return test::kEmuData + 0x800 + 0x200 * static_cast<uint64_t>(i);
    return 0;
  }
  // The address an operand names, with the stack pointer at sp.
  bool addressOf(const Od& d, int bits, uint64_t sp, uint64_t& out) const {
    auto value = [&](TRegister r) -> int64_t {
      if (r == REG_NONE) return 0;
      const int n = regID(r);
      return static_cast<int64_t>(n == 4 ? sp : regValue(bits, n));
    };
    int64_t a = 0;
    if (d.cls == cVar) {
      a = static_cast<int64_t>(varAddress(&vars_[d.varNo])) + d.disp;
    } else {
      const bool indexOnly = d.index == REG_NONE && d.scale > 1;
      const int64_t scale = d.scale > 1 ? d.scale : 1;
      if (d.base == REG_NONE) {
        a = static_cast<int64_t>(d.disp) * scale;
      } else if (indexOnly) {
        a = value(d.base) * scale + d.disp;
      } else {
        a = value(d.base) + value(d.index) * scale + d.disp;
      }
      if (d.cls == cMemVar) a += static_cast<int64_t>(varAddress(&vars_[3]));
    }
    if (addressBits(d, bits) < 64) a &= addressBits(d, bits) == 16 ? 0xFFFF : 0xFFFFFFFF;
    out = static_cast<uint64_t>(a);
    return true;
  }
  // Mapped memory clear of the code and of the words pushed below the
  // stack top (stack-based operands lie above it).
  // A block that runs past the end of a 16-bit segment wraps to its start.
  static bool inData(uint64_t a, uint64_t n, int bits) {
    const uint64_t top = test::kEmuStackTop;
    if (bits == 16 && a + n > 0x10000) return false;
    return a >= test::kEmuData && a < test::kEmuMemSize && n < 0x1000 && a + n <= test::kEmuMemSize &&
           !(a < top && a + n > top - 0x200);
  }

  void emulateSequence(const TInstruction& row, int bits, const Od* d, const TOperand* after, const std::string& raw,
                       size_t mark, const std::string& where) {
    // The builder's part: each variable field gets its variable's address.
    std::string code = raw;
    const TFixupList& list = fixupList(func_);
    for (size_t i = mark; i < list.size(); ++i) {
      const TFixup& f = *list[i];
      if (f.hint != ftVar) return;
      const uint64_t v = varAddress(f.data) + f.offset;
      for (uint32_t k = 0; k < f.size; ++k) code[f.position + k] = static_cast<char>(v >> (8 * k));
    }
    const uint64_t top = test::kEmuStackTop, w = static_cast<uint64_t>(bits / 8);
    test::Emulator emu(bits);
    if (!emu.ok()) return;
    for (int n = 0; n < emu.regCount(); ++n) emu.setReg(n, regValue(bits, n));
    auto pattern = [](size_t n, uint8_t seed) {
      std::vector<uint8_t> b(n);
      for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + 0x13 * i);
      return b;
    };
    const std::string text = test::disasmText(raw, bits);
    const bool throughAccumulator = text.find("movzx") != std::string::npos || text.find("lea") != std::string::npos;
    bool mayClobberAccumulator = throughAccumulator;
    std::vector<uint8_t> expect;
    uint64_t where1 = 0, expectSp = top;
    switch (row.group) {
      case igMOV: {
        uint64_t da = 0, sa = 0;
        const uint64_t dn = after[0].size, sn = after[1].size;
        if (!addressOf(d[0], bits, top, da) || !addressOf(d[1], bits, top, sa)) return;
        if (!inData(da, dn, bits) || !inData(sa, sn, bits) || !(da + dn <= sa || sa + sn <= da)) return;
        const std::vector<uint8_t> src = pattern(sn, 0x81);
        emu.writeBytes(sa, src);
        emu.writeBytes(da, std::vector<uint8_t>(dn, 0xEE));
        if (emu.run(code) != UC_ERR_OK) return fail(where + ": does not run");
        expect = src;
        expect.resize(dn, after[0].issigned && (src.back() & 0x80) ? 0xFF : 0x00);
        if (emu.read(da, dn) != expect) fail(where + ": moves other bytes");
        if (emu.read(sa, sn) != src) fail(where + ": changes its source");
        mayClobberAccumulator = mayClobberAccumulator || CompileFlags.m2m_reg != REG_NONE;
        break;
      }
      case igPUSH: {
        if (d[0].cls == cMemRef) {
          if (!addressOf(d[0], bits, top, where1)) return;
          if (emu.run(code) != UC_ERR_OK) return fail(where + ": does not run");
          expectSp = top - w;
          std::vector<uint8_t> a(w);
          for (uint64_t k = 0; k < w; ++k) a[k] = static_cast<uint8_t>(where1 >> (8 * k));
          if (emu.read(expectSp, w) != a) fail(where + ": pushes another address");
          break;
        }
        const uint64_t n = after[0].size, words = (n + w - 1) / w;
        if (!addressOf(d[0], bits, top, where1) || !inData(where1, n, bits)) return;
        const std::vector<uint8_t> block = pattern(n, 0x91);
        emu.writeBytes(where1, block);
        emu.writeBytes(top - words * w, std::vector<uint8_t>(words * w, 0xEE));
        if (emu.run(code) != UC_ERR_OK) return fail(where + ": does not run");
        expectSp = top - words * w;
        expect = block;
        expect.resize(words * w, 0);
        if (emu.read(expectSp, words * w) != expect) fail(where + ": pushes other bytes");
        break;
      }
      case igPOP: {
        const uint64_t n = after[0].size;
        expectSp = top + n;
        if (!addressOf(d[0], bits, expectSp, where1) || !inData(where1, n, bits)) return;
        if (where1 < top + n && where1 + n > top) return;  // into the words being popped
        const std::vector<uint8_t> stack = pattern(n, 0xA1);
        emu.writeBytes(top, stack);
        if (emu.run(code) != UC_ERR_OK) return fail(where + ": does not run");
        if (emu.read(where1, n) != stack) fail(where + ": pops other bytes");
        break;
      }
      default: return;
    }
    if (emu.reg(4) != expectSp) fail(where + ": leaves the stack pointer moved");
    for (int n = 0; n < emu.regCount(); ++n) {
      if (n == 4 || (n == 0 && mayClobberAccumulator)) continue;
      if (emu.reg(n) != regValue(bits, n)) fail(where + ": changes register " + std::to_string(n));
    }
    ++emulated_;
  }

  // The text oracle judges what Capstone misread, and every SSE memory width.
  void settlePending(int bits) {
    if (pending_.empty()) return;
    std::vector<std::string> code;
    for (const Pending& p : pending_) code.push_back(p.bytes);
    const std::vector<Decoded> text = textBatch(code, bits);
    const char* oracle = bits == 16 ? "objdump" : "llvm-mc";
    for (size_t i = 0; i < pending_.size(); ++i) {
      const Pending& p = pending_[i];
      Decoded t = text[i];
      // objdump writes an absolute address as ds:0x1234.
      for (DecodedOperand& o : t.ops)
        if (o.kind == DecodedOperand::Mem && o.segment == "ds" && o.base.empty() && o.index.empty()) o.segment.clear();
      const std::string why = compare(p.want, t, p.bytes.size(), true);
      if (why.empty()) {
        ++settledByText_;
        if (std::getenv("SWEEP_DEBUG") && !p.capstoneWhy.empty())
          std::cerr << "SETTLED " << p.label << ": " << p.capstoneWhy << " | " << t.text << " | " << hexBytes(p.bytes) << "\n";
        continue;
      }
      fail(p.label + ": Capstone reads " + (p.capstoneWhy.empty() ? "it as written" : p.capstoneWhy) + ", " +
           oracle + " reads " + why + " [" + t.text + "] (bytes " + hexBytes(p.bytes) + ")");
    }
    pending_.clear();
  }

  // --- Sampling --------------------------------------------------------------------

  void sweepRow(const TInstruction& row, int bits, const std::vector<std::vector<Od>>& byClass) {
    const uint32_t maxpar = row.maxpar;
    Od none;
    // No operand, and the gaps that no rule may read past.
    attempt(row, bits, &none, 0);
    {
      Od gap[2] = {none, byClass[cGpr32][0]};
      attempt(row, bits, gap, 2);
    }
    // One operand: every member of the small classes, a sample of the large.
    for (int c = cGpr8; c < kClasses; ++c) {
      const std::vector<Od>& pool = byClass[c];
      if (pool.size() <= kSingles) {
        for (const Od& o : pool) attempt(row, bits, &o, 1);
      } else {
        for (size_t k = 0; k < kSingles; ++k) attempt(row, bits, &pool[pick(pool.size())], 1);
      }
    }
    if (maxpar < 2) {
      // Too many operands must be refused whole.
      for (int k = 0; k < 4; ++k) {
        Od two[2] = {randomOd(byClass), randomOd(byClass)};
        attempt(row, bits, two, 2);
      }
      return;
    }
    // Two operands: probe every pair of classes, then sample the accepted
    // pairs densely.
    for (int c1 = cGpr8; c1 < kClasses; ++c1) {
      for (int c2 = cGpr8; c2 < kClasses; ++c2) {
        const size_t before = accepted_;
        const std::vector<Od>&a = byClass[c1], &b = byClass[c2];
        for (int k = 0; k < kProbe && accepted_ == before; ++k) {
          Od two[2] = {a[k == 0 ? 0 : pick(a.size())], b[k == 0 ? 0 : pick(b.size())]};
          attempt(row, bits, two, 2);
        }
        if (accepted_ == before) continue;
        if (a.size() * b.size() <= kDense) {
          for (const Od& x : a)
            for (const Od& y : b) {
              Od two[2] = {x, y};
              attempt(row, bits, two, 2);
            }
        } else {
          for (size_t k = 0; k < kDense; ++k) {
            Od two[2] = {a[pick(a.size())], b[pick(b.size())]};
            attempt(row, bits, two, 2);
          }
        }
      }
    }
    if (maxpar < 3) {
      for (int k = 0; k < 4; ++k) {
        Od three[3] = {randomOd(byClass), randomOd(byClass), randomOd(byClass)};
        attempt(row, bits, three, 3);
      }
      return;
    }
    for (int c1 = cGpr8; c1 < kClasses; ++c1)
      for (int c2 = cGpr8; c2 < kClasses; ++c2)
        for (int c3 = cGpr8; c3 < kClasses; ++c3) {
          const size_t before = accepted_;
          const std::vector<Od>&a = byClass[c1], &b = byClass[c2], &c = byClass[c3];
          Od three[3] = {a[0], b[0], c[0]};
          attempt(row, bits, three, 3);
          if (accepted_ == before) continue;
          for (size_t k = 0; k < kDense3; ++k) {
            Od more[3] = {a[pick(a.size())], b[pick(b.size())], c[pick(c.size())]};
            attempt(row, bits, more, 3);
          }
        }
  }

  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  Od randomOd(const std::vector<std::vector<Od>>& byClass) {
    const int c = static_cast<int>(cGpr8 + pick(kClasses - cGpr8));
    return byClass[c][pick(byClass[c].size())];
  }

  // Samples per class (one operand), probes per class pair, samples per
  // accepted class pair and triple; the second pass runs thinner.
  size_t kSingles = 64;
  int kProbe = 6;
  size_t kDense = 400;
  size_t kDense3 = 60;
  bool optimise_ = true;

  TFunction* func_ = nullptr;
  TVarType types_[1];
  TVar vars_[4];
  TConst constant_{};
  std::filesystem::path dir_;
  std::mt19937_64 rng_{20240611};
  size_t tried_ = 0, accepted_ = 0, failures_ = 0, sequences_ = 0, settledByText_ = 0, emulated_ = 0;
  std::map<PInstruction, size_t> perRow_;
  std::vector<Pending> pending_;
  std::vector<std::string> messages_;
  std::map<std::string, size_t> perName_;
};

TEST_F(WholeTableSweep, EveryRowInEveryModeReadsBackAsWrittenOrIsRefused) {
  const std::vector<Od> pool = buildPool();
  std::vector<std::vector<Od>> byClass(kClasses);
  for (const Od& o : pool) byClass[o.cls].push_back(o);
  for (int c = cGpr8; c < kClasses; ++c) ASSERT_FALSE(byClass[c].empty()) << c;

  const auto start = std::chrono::steady_clock::now();
  // Warnings of truncated operands and the one fatal error go to the console.
  ::testing::internal::CaptureStdout();
  // First with the settings a program starts with; then, thinner, with
  // imm_roll, a scratch register allowed for memory-to-memory moves, no
  // optimisation and the listing on, which reads every operand once more.
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 1) {
      CompileFlags.imm_roll = 1;
      CompileFlags.m2m_reg = REG_EAX;
      optimise_ = false;
      kSingles = 24;
      kProbe = 3;
      kDense = 60;
      kDense3 = 12;
      listingOn();
    }
    for (int bits : {16, 32, 64}) {
      setMode(static_cast<uint32_t>(bits));
      // Operands the mode can express first: the probes start with them.
      std::vector<std::vector<Od>> ordered = byClass;
      for (std::vector<Od>& members : ordered)
        std::stable_partition(members.begin(), members.end(), [&](const Od& o) { return plausible(o, bits); });
      for (const TInstruction& row : instructions) sweepRow(row, bits, ordered);
      settlePending(bits);
    }
  }
  ::testing::internal::GetCapturedStdout();
  for (const std::string& m : messages_) ADD_FAILURE() << m;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  // Every row encodes something in some mode.
  for (const TInstruction& row : instructions) EXPECT_GT(perRow_[&row], 0u) << row.name << " accepts nothing";
  EXPECT_EQ(failures_, 0u);
  std::cout << "[ sweep ] " << tried_ << " combinations, " << accepted_ << " accepted, " << sequences_
            << " rewritten into sequences (" << emulated_ << " run), " << settledByText_ << " read by the text oracle, " << seconds << " s\n";
}

}  // namespace
}  // namespace vorak
