// Instruction table: lookup, row contents against the documented rows, opcode
// bytes, the printed name list and the "-listinstructions" command line.
#include "encoder/InstructionTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "compiler/driver/Errors.h"
#include "support/Fresh.h"
#include "support/RunVorak.h"

namespace vorak {
namespace {

// The documented row order, one string per name length (2 to 8), written out
// by hand; duplicates are part of the order.
const char* const kOrder[] = {
    "or bt jo jb jc jz je ja js jp jl jg",
    "aaa aad aam aas add adc and cmp cbw clc cld cmc daa das jmp sbb sub lea xor nop ud2 stc std dec inc pop bsf bsr btc btr bts shl rcl rol ror rsm sal sar shr rcr mov div mul neg not ret int clc cld cli sti cmc hlt fld fst jne jnz jno jae jnb jnc jbe jna jns jnp jpo jge jnl jle jng jpe rep",
    "popf shld shrd call cdqe cwde emms fabs fchs fcos fld1 fldz fnop fsin ftst fxam goto int3 push sahf seta setb setc sete setg setl seto setp sets setz test idiv retn int3 xchg imul movq jnae jnbe jnge jnle jcxz loop fcom fadd fdiv fmul fsub fstp fild fist pand lock repn repe repz xadd",
    "bswap enter pushf popfw rdtsc rdmsr rdpmc jecxz loope loopz cmpsb cmpsw cmpsd repne repnz movsb movsw movsd scasb scasw scasd stosb stosw stosd lodsb lodsw lodsd cpuid f2xm1 fclex femms finit fldpi fprem fptan fsqrt fwait leave mwait pause popad popfd popfq fyl2x cmova cmovb cmovc cmove cmovg cmovl cmovo cmovp cmovs cmovz setae setbe setge setle setna setnb setnc setne setng setnl setno setnp setns setnz setpe setpo movsx movzx fcomp fdivr fsubr fiadd ficom fidiv fimul fistp fisub addpd addps addsd addss andpd andps pslld psllq psllw psrad psraw psrld psrlq psrlw psubb psubd psubq maxpd maxps maxsd maxss minpd minps minsd minss pabsb pabsd pabsw paddb paddd paddq paddw pandn pavgb pavgw psubw ptest divpd divps divsd divss mulpd mulps mulsd mulss lddqu subpd subps subsd subss xorpd xorps movss",
    "loopne loopnz pushfw pushfd fcompp fldl2e fldl2t fldlg2 fldln2 fnclex fninit fpatan fprem1 fscale lfence mfence sfence pushad pushfd pushfq cmovae cmovbe cmovge cmovle cmovna cmovnb cmovnc cmovne cmovng cmovnl cmovno cmovnp cmovns cmovnz cmovpe cmovpo popcnt setnae setnbe setnge setnle fisttp ficomp fidivr fisubr andnpd andnps comisd comiss haddpd haddps hsubpd hsubps paddsb paddsw phaddw phsubd phsubw pmaxsb pmaxsd pmaxsw pmaxub pmaxud pmaxuw pminsb pminsd pminsw pminub pminud pminuw pmuldq pmulhw pmulld pmullw psignb psignd psignw psubsb psubsw pslldq psrldq sqrtpd sqrtps sqrtsd sqrtss movntq movapd movaps movdqa movdqu movlpd movlps movhpd movhps movupd movups movnti",
    "cmpxchg fdecstp fincstp frndint fsincos fucompp fyl2xp1 monitor cmovnae cmovnbe cmovnge cmovnle movq2dq paddusb paddusw pcmpeqb pcmpeqd pcmpeqq pcmpeqw pcmpgtb pcmpgtd pcmpgtq pcmpgtw phaddsw phsubsw pmaddwd pmulhuw pmuludq psubusb psubusw ucomisd ucomiss movddup movdq2q movhlps movlhps movntdq movntpd movntps",
    "addsubpd addsubps movmskpd movmskps movntdqa",
};

std::vector<std::string> documentedOrder() {
  std::vector<std::string> names;
  for (const char* line : kOrder) {
    std::istringstream in(line);
    for (std::string w; in >> w;) names.push_back(w);
  }
  return names;
}

// "D8 DC D0 D0" -> 0xD8DCD0D0.
uint32_t word(const char* bytes) {
  uint32_t w = 0;
  int n = 0;
  std::istringstream in(bytes);
  for (std::string b; in >> b; ++n) w = (w << 8) | static_cast<uint32_t>(std::stoul(b, nullptr, 16));
  EXPECT_EQ(n, 4) << bytes;
  return w;
}

// ---------------------------------------------------------------- lookup

TEST(InstructionLookup, EveryDocumentedNameFindsItsFirstRow) {
  const std::vector<std::string> names = documentedOrder();
  ASSERT_EQ(names.size(), 416u);
  std::map<std::string, size_t> first;
  for (size_t i = 0; i < names.size(); ++i) first.emplace(names[i], i);
  for (const auto& [name, index] : first) {
    PInstruction row = opcodeLookup(name);
    ASSERT_NE(row, nullptr) << name;
    EXPECT_EQ(row, &instructions[index]) << name;
    EXPECT_STREQ(row->name, name.c_str());
  }
}

TEST(InstructionLookup, DuplicatesFindTheFirstOfTwoIdenticalRows) {
  const std::vector<std::string> names = documentedOrder();
  for (const char* dup : {"clc", "cld", "cmc", "int3", "pushfd"}) {
    std::vector<size_t> at;
    for (size_t i = 0; i < names.size(); ++i)
      if (names[i] == dup) at.push_back(i);
    ASSERT_EQ(at.size(), 2u) << dup;
    EXPECT_EQ(opcodeLookup(dup), &instructions[at[0]]) << dup;
    const TInstruction& a = instructions[at[0]];
    const TInstruction& b = instructions[at[1]];
    EXPECT_STREQ(b.name, dup);
    EXPECT_EQ(std::memcmp(a.name, b.name, sizeof a.name), 0);
    EXPECT_EQ(a.group, b.group) << dup;
    EXPECT_EQ(a.flags, b.flags) << dup;
    EXPECT_EQ(a.flags2, b.flags2) << dup;
    EXPECT_EQ(a.minpar, b.minpar) << dup;
    EXPECT_EQ(a.maxpar, b.maxpar) << dup;
    EXPECT_EQ(a.opcode1, b.opcode1) << dup;
    EXPECT_EQ(a.opcode2, b.opcode2) << dup;
    EXPECT_EQ(a.opcode_r, b.opcode_r) << dup;
  }
}

TEST(InstructionLookup, IsExactAndCaseSensitive) {
  ASSERT_NE(opcodeLookup("add"), nullptr);
  EXPECT_EQ(opcodeLookup("add")->group, igALU);
  for (const char* miss : {"ADD", "Add", "aDd", "MOVSD", "Jmp", "add ", " add", "ad", "addd", "adds",
                           "movs", "movsdx", "xyz", "jmpx", "pushfe", "movntdqb"})
    EXPECT_EQ(opcodeLookup(miss), nullptr) << miss;
}

TEST(InstructionLookup, LengthsWithoutBucketReturnNothing) {
  EXPECT_EQ(opcodeLookup(""), nullptr);
  EXPECT_EQ(opcodeLookup("j"), nullptr);
  EXPECT_EQ(opcodeLookup("abcdefghi"), nullptr);   // nine letters: an empty bucket
  EXPECT_EQ(opcodeLookup("addsubpdx"), nullptr);   // a known name plus one letter
  EXPECT_EQ(opcodeLookup("abcdefghij"), nullptr);  // ten letters
  EXPECT_EQ(opcodeLookup(std::string(100000, 'a')), nullptr);
}

TEST(InstructionLookup, ReadsOnlyTheGivenCharacters) {
  // A view into a longer text, with no terminator after it.
  const std::string text = "movntdqa";
  EXPECT_EQ(opcodeLookup(std::string_view(text).substr(0, 3)), opcodeLookup("mov"));
  EXPECT_EQ(opcodeLookup(std::string_view(text).substr(0, 7)), opcodeLookup("movntdq"));
  // Embedded NUL bytes never match the padding of a shorter name.
  EXPECT_EQ(opcodeLookup(std::string_view("or\0", 3)), nullptr);
  EXPECT_EQ(opcodeLookup(std::string_view("mov\0\0", 5)), nullptr);
}

// Every row is found by its packed name, and the lengths by first letter
// let through every row's name while refusing lengths no row has.
TEST(InstructionLookup, PackedNamesAndTheLengthIndexCoverEveryRow) {
  uint16_t seen[26] = {};
  for (const TInstruction& row : instructions) {
    const size_t len = strnlen(row.name, sizeof row.name);
    uint64_t key = 0;
    std::memcpy(&key, row.name, std::min<size_t>(len, 8));
    ASSERT_LE(len, 8u) << row.name;
    ASSERT_TRUE(row.name[0] >= 'a' && row.name[0] <= 'z') << row.name;
    EXPECT_EQ(opcodeLookupPacked(key, len), opcodeLookup(std::string_view(row.name, len))) << row.name;
    EXPECT_NE((mnemonicLengths[static_cast<size_t>(row.name[0] - 'a')] >> len) & 1, 0) << row.name;
    seen[row.name[0] - 'a'] |= static_cast<uint16_t>(1u << len);
  }
  for (size_t c = 0; c < 26; ++c) EXPECT_EQ(mnemonicLengths[c], seen[c]) << static_cast<char>('a' + c);
  EXPECT_EQ(opcodeLookupPacked(0, 0), nullptr);
  EXPECT_EQ(opcodeLookupPacked(~uint64_t{0}, 9), nullptr);
}

// ---------------------------------------------------------------- rows

TEST(InstructionRows, TableOrderIsTheDocumentedOrder) {
  const std::vector<std::string> names = documentedOrder();
  ASSERT_EQ(names.size(), 416u);
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_STREQ(instructions[i].name, names[i].c_str()) << "row " << i;
    // NUL padding up to the full field.
    for (size_t k = names[i].size(); k < sizeof instructions[i].name; ++k)
      EXPECT_EQ(instructions[i].name[k], '\0') << names[i];
  }
}

TEST(InstructionRows, GroupRowCounts) {
  const std::map<TInstructionGroup, int> expected = {
      {igEMIT, 106},      {igALU, 8},          {igLEA, 1},         {igPUSH, 1},       {igPOP, 1},
      {igCALL, 1},        {igGOTO, 39},        {igINCDEC, 2},      {igBT, 4},         {igROT, 8},
      {igSHLRD, 2},       {igRM_S, 30},        {igENTER, 1},       {igBSWAP, 1},      {igMMU_MOVQ, 1},
      {igMOVSX_MOVZX, 2}, {igMOV, 1},          {igTEST, 1},        {igREGMEM, 5},     {igRET, 2},
      {igXCHG, 1},        {igIMUL, 1},         {igREG_REGMEM, 33}, {igREGMEM_REG, 2}, {igX87_FPU_S, 2},
      {igX87_FPU, 6},     {igX87_MEM_STI, 3},  {igX87_MEM, 12},    {igMOVSD, 1},      {igSSE, 115},
      {igMMU_MOV, 23}};
  std::map<TInstructionGroup, int> counted;
  for (const TInstruction& row : instructions) ++counted[row.group];
  EXPECT_EQ(counted, expected);
  EXPECT_EQ(static_cast<int>(ig__TOTAL), 31);
}

TEST(InstructionRows, EmptyInstructionIsZeroWithoutGroup) {
  EXPECT_EQ(empty_instruction.name[0], '\0');
  EXPECT_EQ(empty_instruction.group, ig__TOTAL);
  EXPECT_EQ(empty_instruction.flags | empty_instruction.flags2 | empty_instruction.opcode1 |
                empty_instruction.opcode2,
            0u);
  EXPECT_EQ(empty_instruction.minpar + empty_instruction.maxpar + empty_instruction.opcode_r, 0);
}

TEST(InstructionRows, FlagConstants) {
  const std::pair<uint32_t, uint32_t> pairs[] = {
      {EMIT2, 0x1},           {EMIT3, 0x2},          {MINMODE32, 0x4},      {MINMODE64, 0x8},
      {OP_XMM, 0x10},         {OP_REG16, 0x20},      {OP_REG32, 0x40},      {OP_REG64, 0x80},
      {OP_ST, 0x100},         {OP_IMM, 0x200},       {OP_NOREX, 0x400},     {OP_MEM, 0x800},
      {OP_FM1, 0x1000},       {OP_FM2, 0x2000},      {OP_FM4, 0x4000},      {OP_FM8, 0x8000},
      {OP_FM10, 0x10000},     {OP_MM, 0x10000},      {EMIT1_BYTE, 0x20000}, {FLAG19, 0x40000},
      {FLAG32, 0x80000000},   {OP_REG32_64, 0xC0},   {OP_REG32_OR_64, 0xC0}, {OP_REG16_32_64, 0xE0},
      {OP_MM_MEM, 0x10800},   {OP_XMM_MEM, 0x810},   {OP_XMM_OR_MEM, 0x810}, {OP_MM_XMM, 0x10010},
      {OP_MM_XMM_MEM, 0x10810}, {OP_ST_OR_XMM, 0x110}, {OP_ST_OR_XMM_OR_MEM, 0x910},
      {OP_FM2_4, 0x6000},     {OP_FM4_8, 0xC000},    {OP_FM2_4_8, 0xE000},  {OP_FM4_8_10, 0x1C000}};
  for (const auto& [constant, value] : pairs) EXPECT_EQ(constant, value);
}

// A row as the documentation lists it.
struct DocRow {
  const char* name;
  TInstructionGroup group;
  uint32_t flags, flags2;
  int minpar, maxpar;
  const char* opcode1;  // B1 B2 B3 B4
  const char* opcode2;
  int opcode_r;
};

void PrintTo(const DocRow& d, std::ostream* os) { *os << d.name; }

class DocumentedRow : public ::testing::TestWithParam<DocRow> {};

TEST_P(DocumentedRow, MatchesFieldByField) {
  const DocRow& d = GetParam();
  PInstruction row = opcodeLookup(d.name);
  ASSERT_NE(row, nullptr) << d.name;
  EXPECT_EQ(row->group, d.group);
  EXPECT_EQ(row->flags, d.flags);
  EXPECT_EQ(row->flags2, d.flags2);
  EXPECT_EQ(row->minpar, d.minpar);
  EXPECT_EQ(row->maxpar, d.maxpar);
  EXPECT_EQ(row->opcode1, word(d.opcode1)) << std::hex << row->opcode1;
  EXPECT_EQ(row->opcode2, word(d.opcode2)) << std::hex << row->opcode2;
  EXPECT_EQ(row->opcode_r, d.opcode_r);
}

constexpr const char* Z = "00 00 00 00";

const DocRow kDocRows[] = {
    // igEMIT: one byte, two bytes, three bytes, one byte plus the operand.
    {"aaa", igEMIT, 0, 0, 0, 0, "37 00 00 00", Z, 0},
    {"rep", igEMIT, 0, 0, 0, 0, "F3 00 00 00", Z, 0},
    {"int3", igEMIT, 0, 0, 0, 0, "CC 00 00 00", Z, 0},
    {"repnz", igEMIT, 0, 0, 0, 0, "F2 00 00 00", Z, 0},
    {"popfq", igEMIT, 0, 0, 0, 0, "9D 00 00 00", Z, 0},
    {"pushfd", igEMIT, 0, 0, 0, 0, "9C 00 00 00", Z, 0},
    {"aad", igEMIT, EMIT2, 0, 0, 0, "D5 0A 00 00", Z, 0},
    {"cdqe", igEMIT, EMIT2 | MINMODE64, 0, 0, 0, "48 98 00 00", Z, 0},
    {"cpuid", igEMIT, EMIT2 | MINMODE32, 0, 0, 0, "0F A2 00 00", Z, 0},
    {"pause", igEMIT, EMIT2, 0, 0, 0, "F3 90 00 00", Z, 0},
    {"fucompp", igEMIT, EMIT2, 0, 0, 0, "DA E9 00 00", Z, 0},
    {"fyl2xp1", igEMIT, EMIT2, 0, 0, 0, "D9 F9 00 00", Z, 0},
    {"fclex", igEMIT, EMIT3, 0, 0, 0, "9B DB E2 00", Z, 0},
    {"monitor", igEMIT, EMIT3, 0, 0, 0, "0F 01 C8 00", Z, 0},
    {"sfence", igEMIT, EMIT3, 0, 0, 0, "0F AE F8 00", Z, 0},
    {"int", igEMIT, EMIT1_BYTE, 0, 1, 1, "CD 00 00 00", Z, 0},
    // igALU
    {"add", igALU, 0, 0, 2, 2, Z, "00 00 00 80", 0},
    {"or", igALU, 0, 0, 2, 2, "00 00 00 08", "00 00 00 80", 1},
    {"cmp", igALU, 0, 0, 2, 2, "00 00 00 38", "00 00 00 80", 7},
    // igGOTO: the jump type in opcode1.
    {"jo", igGOTO, 0, 0, 1, 1, Z, Z, 0},
    {"jnae", igGOTO, 0, 0, 1, 1, "00 00 00 02", Z, 0},
    {"jpo", igGOTO, 0, 0, 1, 1, "00 00 00 0B", Z, 0},
    {"jnle", igGOTO, 0, 0, 1, 1, "00 00 00 0F", Z, 0},
    {"goto", igGOTO, 0, 0, 1, 1, "00 00 00 10", Z, 0},
    {"loopnz", igGOTO, 0, 0, 1, 1, "00 00 00 70", Z, 0},  // 112
    {"loopz", igGOTO, 0, 0, 1, 1, "00 00 00 71", Z, 0},   // 113
    {"loop", igGOTO, 0, 0, 1, 1, "00 00 00 72", Z, 0},    // 114
    {"jecxz", igGOTO, 0, 0, 1, 1, "00 00 00 73", Z, 0},   // 115
    {"jcxz", igGOTO, 0, 0, 1, 1, "00 00 03 E7", Z, 0},    // 999
    // igRM_S
    {"seto", igRM_S, 0, 0, 1, 1, "00 00 0F 90", Z, 0},
    {"setnae", igRM_S, 0, 0, 1, 1, "00 00 0F 92", Z, 0},
    {"setpe", igRM_S, 0, 0, 1, 1, "00 00 0F 9A", Z, 0},
    {"setnle", igRM_S, 0, 0, 1, 1, "00 00 0F 9F", Z, 0},
    // igREG_REGMEM
    {"bsr", igREG_REGMEM, 0, 0, 2, 2, "00 00 0F BD", Z, 0},
    {"popcnt", igREG_REGMEM, 0, 0, 2, 2, "F3 00 0F B8", Z, 0},
    {"cmovo", igREG_REGMEM, 0, 0, 2, 2, "00 00 0F 40", Z, 0},
    {"cmovnc", igREG_REGMEM, 0, 0, 2, 2, "00 00 0F 43", Z, 0},
    {"cmovpo", igREG_REGMEM, 0, 0, 2, 2, "00 00 0F 4B", Z, 0},
    {"cmovnle", igREG_REGMEM, 0, 0, 2, 2, "00 00 0F 4F", Z, 0},
    // Other integer groups.
    {"lea", igLEA, 0, 0, 2, 2, "8D 00 00 00", Z, 0},
    {"push", igPUSH, 0, 0, 1, 1, "00 00 00 50", "00 00 00 FF", 6},
    {"pop", igPOP, 0, 0, 1, 1, "00 00 00 58", "00 00 00 8F", 0},
    {"call", igCALL, 0, 0, 1, 1, Z, Z, 0},
    {"inc", igINCDEC, 0, 0, 1, 1, "00 00 00 40", "00 00 00 FE", 0},
    {"dec", igINCDEC, 0, 0, 1, 1, "00 00 00 48", "00 00 00 FE", 1},
    {"bt", igBT, OP_REG16 | OP_REG32 | OP_REG64 | OP_MEM, OP_REG16 | OP_REG32 | OP_REG64 | OP_IMM, 2, 2,
     "00 00 0F A3", "00 00 0F BA", 4},
    {"btc", igBT, OP_REG16 | OP_REG32 | OP_REG64 | OP_MEM, OP_REG16 | OP_REG32 | OP_REG64 | OP_IMM, 2, 2,
     "00 00 0F BB", "00 00 0F BA", 7},
    {"bts", igBT, OP_REG16 | OP_REG32 | OP_REG64 | OP_MEM, OP_REG16 | OP_REG32 | OP_REG64 | OP_IMM, 2, 2,
     "00 00 0F AB", "00 00 0F BA", 5},
    {"rcr", igROT, 0, 0, 2, 2, Z, Z, 3},
    {"sal", igROT, 0, 0, 2, 2, Z, Z, 4},
    {"sar", igROT, 0, 0, 2, 2, Z, Z, 7},
    {"shrd", igSHLRD, 0, 0, 3, 3, "00 00 0F AC", Z, 0},
    {"enter", igENTER, 0, 0, 2, 2, "00 00 00 C8", Z, 0},
    {"bswap", igBSWAP, 0, 0, 1, 1, "00 00 00 0F", Z, 0},
    {"movq", igMMU_MOVQ, 0, 0, 2, 2, Z, Z, 0},
    {"movsx", igMOVSX_MOVZX, 0, 0, 2, 2, "00 00 0F BE", Z, 0},
    {"movzx", igMOVSX_MOVZX, 0, 0, 2, 2, "00 00 0F B6", Z, 0},
    {"mov", igMOV, 0, 0, 2, 2, Z, Z, 0},
    {"test", igTEST, 0, 0, 2, 2, Z, Z, 0},
    {"neg", igREGMEM, 0, 0, 1, 1, "00 00 00 F6", Z, 3},
    {"idiv", igREGMEM, 0, 0, 1, 1, "00 00 00 F6", Z, 7},
    {"ret", igRET, 0, 0, 0, 1, Z, Z, 0},
    {"retn", igRET, 0, 0, 0, 1, Z, Z, 0},
    {"xchg", igXCHG, 0, 0, 2, 2, Z, Z, 0},
    {"imul", igIMUL, 0, 0, 1, 3, Z, Z, 0},
    {"xadd", igREGMEM_REG, 0, 0, 2, 2, "00 00 0F C0", Z, 0},
    {"cmpxchg", igREGMEM_REG, 0, 0, 2, 2, "00 00 0F B0", Z, 0},
    // x87
    {"fcom", igX87_FPU_S, 0, 0, 1, 1, "D8 DC D0 D0", Z, 2},
    {"fcomp", igX87_FPU_S, 0, 0, 1, 1, "D8 DC D8 D8", Z, 3},
    {"fadd", igX87_FPU, 0, 0, 1, 2, "D8 DC C0 C0", Z, 0},
    {"fsub", igX87_FPU, 0, 0, 1, 2, "D8 DC E0 E8", Z, 4},
    {"fsubr", igX87_FPU, 0, 0, 1, 2, "D8 DC E8 E0", Z, 5},
    {"fdivr", igX87_FPU, 0, 0, 1, 2, "D8 DC F8 F0", Z, 7},
    {"fld", igX87_MEM_STI, OP_FM4 | OP_FM8 | OP_FM10, 0, 1, 1, "00 D9 DD 00", "D9 C0 DB 05", 0},
    {"fst", igX87_MEM_STI, OP_FM4 | OP_FM8, 0, 1, 1, "00 D9 DD 02", "DD D0 00 00", 2},
    {"fstp", igX87_MEM_STI, OP_FM4 | OP_FM8 | OP_FM10, 0, 1, 1, "00 D9 DD 03", "DD D8 DB 07", 3},
    {"fild", igX87_MEM, OP_FM2 | OP_FM4 | OP_FM8, 0, 1, 1, "DF DB DF 05", Z, 0},
    {"fistp", igX87_MEM, OP_FM2 | OP_FM4 | OP_FM8, 0, 1, 1, "DF DB DF 07", Z, 3},
    {"fisttp", igX87_MEM, OP_FM2 | OP_FM4 | OP_FM8, 0, 1, 1, "DF DB DD 01", Z, 1},
    {"fist", igX87_MEM, OP_FM2 | OP_FM4, 0, 1, 1, "DF DB 00 00", Z, 2},
    {"fiadd", igX87_MEM, OP_FM2 | OP_FM4, 0, 1, 1, "DE DA 00 00", Z, 0},
    {"ficomp", igX87_MEM, OP_FM2 | OP_FM4, 0, 1, 1, "DE DA 00 00", Z, 3},
    {"fidivr", igX87_MEM, OP_FM2 | OP_FM4, 0, 1, 1, "DE DA 00 00", Z, 7},
    // igMOVSD
    {"movsd", igMOVSD, OP_XMM | OP_MEM, OP_XMM | OP_MEM, 0, 2, "F2 00 0F 10", "F2 00 0F 11", 0},
    // igSSE
    {"addpd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, "66 0F 58 00", Z, 0},
    {"addps", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, "00 0F 58 00", Z, 0},
    {"andnps", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, "00 0F 55 00", Z, 0},
    {"maxsd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, "F2 0F 5F 00", Z, 0},
    {"sqrtss", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, "F3 0F 51 00", Z, 0},
    {"xorpd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, "66 0F 57 00", Z, 0},
    {"comiss", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, "00 0F 2F 00", Z, 0},
    {"ucomisd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, "66 0F 2E 00", Z, 0},
    {"haddps", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, "F2 0F 7C 00", Z, 0},
    {"addsubpd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, "66 0F D0 00", Z, 0},
    {"movq2dq", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, "F3 0F D6 00", Z, 0},
    {"pcmpgtd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, "66 0F 66 00", Z, 0},
    {"psubusw", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, "66 0F D9 00", Z, 0},
    {"ptest", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, "66 0F 38 17", Z, 0},
    {"phsubsw", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, "66 0F 38 07", Z, 0},
    {"pand", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, "00 0F DB 00", Z, 0},
    {"pmullw", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, "00 0F D5 00", Z, 0},
    {"psignd", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, "00 0F 38 0A", Z, 0},
    {"pabsb", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, "0F 38 1C 00", Z, 0},
    {"psllw", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_IMM | OP_MEM, 2, 2, "00 0F F1 00", "00 0F 71 00", 6},
    {"psrad", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_IMM | OP_MEM, 2, 2, "00 0F E2 00", "00 0F 72 00", 4},
    {"psrlq", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_IMM | OP_MEM, 2, 2, "00 0F D3 00", "00 0F 73 00", 2},
    {"lddqu", igSSE, OP_XMM, OP_MEM, 2, 2, "F2 0F F0 00", Z, 0},
    {"pslldq", igSSE, OP_XMM, OP_IMM, 2, 2, Z, "66 0F 73 00", 7},
    {"psrldq", igSSE, OP_XMM, OP_IMM, 2, 2, Z, "66 0F 73 00", 3},
    // igMMU_MOV
    {"movss", igMMU_MOV, OP_XMM | OP_MEM, OP_XMM | OP_MEM, 2, 2, "F3 00 0F 10", "F3 00 0F 11", 0},
    {"movaps", igMMU_MOV, OP_XMM | OP_MEM, OP_XMM | OP_MEM, 2, 2, "00 00 0F 28", "00 00 0F 29", 0},
    {"movdqu", igMMU_MOV, OP_XMM | OP_MEM, OP_XMM | OP_MEM, 2, 2, "F3 00 0F 6F", "F3 00 0F 7F", 0},
    {"movhps", igMMU_MOV, OP_XMM | OP_MEM, OP_XMM | OP_MEM, 2, 2, "00 00 0F 16", "00 00 0F 17", 0},
    {"movntq", igMMU_MOV, OP_MEM, OP_MM, 2, 2, Z, "00 00 0F E7", 0},
    {"movnti", igMMU_MOV, OP_MEM, OP_REG32 | OP_REG64, 2, 2, Z, "00 00 0F C3", 0},
    {"movntpd", igMMU_MOV, OP_MEM, OP_XMM, 2, 2, Z, "66 00 0F 2B", 0},
    {"movddup", igMMU_MOV, OP_XMM, OP_XMM | OP_MEM, 2, 2, "F2 00 0F 12", Z, 0},
    {"movdq2q", igMMU_MOV, OP_MM, OP_XMM, 2, 2, "F2 00 0F D6", Z, 0},
    {"movlhps", igMMU_MOV, OP_XMM, OP_XMM, 2, 2, "00 00 0F 16", Z, 0},
    {"movmskps", igMMU_MOV, OP_REG32 | OP_REG64 | OP_NOREX, OP_XMM, 2, 2, "00 00 0F 50", Z, 0},
    {"movntdqa", igMMU_MOV, OP_XMM, OP_MEM, 2, 2, "66 0F 38 2A", Z, 0},
};

INSTANTIATE_TEST_SUITE_P(Table, DocumentedRow, ::testing::ValuesIn(kDocRows),
                         [](const ::testing::TestParamInfo<DocRow>& info) { return std::string(info.param.name); });

// Rules that hold for whole groups, checked over every row.
TEST(InstructionRows, GroupWideRules) {
  for (const TInstruction& row : instructions) {
    SCOPED_TRACE(row.name);
    if (row.group == igEMIT) {
      // Exactly one emission form, with the operand count that goes with it.
      const uint32_t form = row.flags & (EMIT2 | EMIT3 | EMIT1_BYTE);
      EXPECT_TRUE(form == 0 || form == EMIT2 || form == EMIT3 || form == EMIT1_BYTE);
      EXPECT_EQ(row.maxpar, form == EMIT1_BYTE ? 1 : 0);
      EXPECT_EQ(row.minpar, row.maxpar);
      // The bytes that are emitted are there, the rest is zero.
      const int bytes = (form == EMIT3) ? 3 : (form == EMIT2) ? 2 : 1;
      for (int i = 1; i <= 4; ++i) {
        if (i <= bytes)
          EXPECT_NE(B(row.opcode1, i), 0) << i;
        else
          EXPECT_EQ(B(row.opcode1, i), 0) << i;
      }
      EXPECT_EQ(row.opcode2, 0u);
    }
    if (row.group == igSSE) {
      // The encoder refuses a row without first-operand classes.
      EXPECT_NE(row.flags, 0u);
      EXPECT_EQ(row.minpar, 2);
      EXPECT_EQ(row.maxpar, 2);
    }
    if (row.group == igMMU_MOV) {
      EXPECT_NE(row.flags, 0u);
      EXPECT_NE(row.flags2, 0u);
    }
    // Spare bits stay unused.
    EXPECT_EQ((row.flags | row.flags2) & 0xFFFC0000u, 0u);
  }
}

// ---------------------------------------------------------------- B

TEST(OpcodeByte, PicksBytesMostSignificantFirst) {
  EXPECT_EQ(B(0x660F5800, 1), 0x66);
  EXPECT_EQ(B(0x660F5800, 2), 0x0F);
  EXPECT_EQ(B(0x660F5800, 3), 0x58);
  EXPECT_EQ(B(0x660F5800, 4), 0x00);
  EXPECT_EQ(B(0xFFFFFFFF, 1), 0xFF);
  EXPECT_EQ(B(0x000000C8, 4), 0xC8);
  EXPECT_EQ(B(0x000000C8, 3), 0x00);
}

class OpcodeByteFatal : public test::FreshVorak {};

TEST_F(OpcodeByteFatal, IndexOutsideOneToFourIsAnInternalFault) {
  for (int index : {0, 5, -1, 255}) {
    ::testing::internal::CaptureStdout();
    EXPECT_THROW(B(0x660F5800, index), EAbort) << index;
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[124783] Notify developers"), std::string::npos) << out;
  }
}

// ---------------------------------------------------------------- list

std::string expectedPlainList() {
  const std::vector<std::string> names = documentedOrder();
  std::string s = "[416]\r\n";
  for (size_t i = 0; i < names.size(); ++i) {
    s += names[i] + std::string(13 - names[i].size(), ' ');
    if ((i + 1) % 6 == 0) s += "\r\n";
  }
  return s;
}

TEST(InstructionList, PlainFormByteForByte) {
  const std::string got = listInstructions(false);
  const std::string want = expectedPlainList();
  EXPECT_EQ(got, want);
  // Shape: 416 = 69 full lines and a last line of two names without a break.
  EXPECT_EQ(got.rfind("[416]\r\n", 0), 0u);
  EXPECT_EQ(got.size(), 7u + 416u * 13u + 69u * 2u);
  EXPECT_EQ(got.substr(7, 13 * 6 + 2), "or           bt           jo           jb           jc           jz           \r\n");
  EXPECT_EQ(got.substr(got.size() - 26), "movmskps     movntdqa     ");
}

TEST(InstructionList, JsFormOneExpressionPerLength) {
  std::string want;
  for (const char* line : kOrder) {
    std::istringstream in(line);
    std::string names, w;
    size_t len = 0;
    while (in >> w) {
      len = w.size();
      if (!names.empty()) names += '|';
      names += w;
    }
    want += "var asm_l" + std::to_string(len) + " = /(\\b)(" + names + ")(\\b)/ig\r\n";
  }
  const std::string got = listInstructions(true);
  EXPECT_EQ(got, want);
  EXPECT_EQ(got.rfind("var asm_l2 = /(\\b)(or|bt|jo|", 0), 0u);
  EXPECT_EQ(got.find("asm_l1 "), std::string::npos);
  EXPECT_EQ(got.find("asm_l9 "), std::string::npos);
}

TEST(InstructionList, CommandLinePrintsThePlainForm) {
  test::TempDir dir;
  const test::RunResult r = test::runVorak({"-listinstructions"}, dir.path());
  EXPECT_EQ(r.exitCode, 0);
  const std::string want = "Instructions: " + listInstructions(false);
  EXPECT_NE(r.out.find(want), std::string::npos) << r.out;
  // Exactly this list: the line that follows it is a new message.
  const size_t at = r.out.find(want);
  if (at != std::string::npos) {
    ASSERT_GT(r.out.size(), at + want.size());
    EXPECT_EQ(r.out[at + want.size()], '\n');
  }
}

}  // namespace
}  // namespace vorak
