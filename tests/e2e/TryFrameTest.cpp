// The __try / __except frame: its bytes read back by Capstone, and both of
// its paths run in the emulator with fs pointing at a scratch block whose
// first word stands for the thread's handler chain.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/CodeRunner.h"

namespace vorak::test {
namespace {

constexpr uint64_t kScratch = 0x100000;     // fs base
constexpr uint32_t kChain = 0xCAFEBABE;     // the chain entry before __try
constexpr uint64_t kRecord = 0x100100;      // an exception record
constexpr uint32_t kCode = 0xC0000005, kAddress = 0x4567;

TEST(TryFrame, DisassemblesToTheFrameAndItsHandler) {
  if (!kHaveDisassembler) GTEST_SKIP() << "no Capstone";
  const FlatRun r = runFlat("#define win32 1;\n__try { inc ebx } __except (eax, edx) { inc ecx }\nret\n", 32);
  ASSERT_TRUE(r.built) << r.compile.out;
  std::vector<std::string> code = shapeOf(r.image, 32, 0, r.image.size());
  ASSERT_EQ(code.size(), 24u);
  // The handler's address: the first instruction of the handler, #11.
  EXPECT_EQ(code[2].rfind("mov esi, ", 0), 0u) << code[2];
  code[2] = "mov esi, <handler>";
  const std::vector<std::string> expected = {
      "sub esp, 8", "pushal", "mov esi, <handler>", "push esi", "mov esi, dword ptr [esp + 8]",
      "push dword ptr fs:[0]", "mov dword ptr fs:[0], esp", "inc ebx", "pop dword ptr fs:[0]", "add esp, 0x2c",
      "jmp #23", "mov eax, dword ptr [esp + 4]", "mov edx, dword ptr [eax + 0xc]", "mov eax, dword ptr [eax]",
      "mov esp, dword ptr [esp + 8]", "pop dword ptr fs:[0]", "add esp, 4", "mov dword ptr [esp + 0x24], eax",
      "mov dword ptr [esp + 0x20], edx", "popal", "pop edx", "pop eax", "inc ecx", "ret"};
  EXPECT_EQ(code, expected);
}

#ifdef VORAK_HAVE_UNICORN
struct Outcome {
  CodeRunner::Result result;
  uint32_t chain = 0;  // fs:[0] after the run
};

Outcome runTry(const std::string& body) {
  Outcome o;
  const FlatRun r = runFlat("#define win32 1;\nmov esi, 0x1234\nmov ebx, 5\n__try { " + body +
                                " } __except (eax, edx) { mov ebx, 99 }\nret\n",
                            32);
  EXPECT_TRUE(r.built) << r.compile.out;
  if (!r.built) return o;
  CodeRunner run(r.image, 32);
  run.setFsBase(kScratch);
  run.write(kScratch, &kChain, 4);
  run.write(kRecord, &kCode, 4);
  run.write(kRecord + 12, &kAddress, 4);
  o.result = run.call(0, {});
  o.chain = static_cast<uint32_t>(run.read(kScratch, 4));
  return o;
}

TEST(TryFrame, NormalExitUnlinksTheFrameAndBalancesTheStack) {
  const Outcome o = runTry("add ebx, 10\npush ecx\npop ecx\nmov edi, [esp + 4]");
  ASSERT_TRUE(o.result.returned) << o.result.fault;  // the return address was where it belonged
  EXPECT_EQ(o.result.reg(rBX), 15u);
  EXPECT_EQ(o.result.reg(rSI), 0x1234u);  // not the handler's address
  EXPECT_EQ(o.chain, kChain);
  EXPECT_EQ(o.result.reg(rSP), flatStackTop(32));
}

// The body calls the handler as the system would: exception record,
// establisher frame (the frame's address), context, dispatcher context.
TEST(TryFrame, HandlerRunsWithCodeAddressAndTheStackOfBeforeTheTry) {
  const Outcome o = runTry(
      "mov edi, esp\npush 0\npush 0\npush edi\npush " + std::to_string(kRecord) +
      "\ncall dword [edi + 4]\nmov ebx, 1");
  ASSERT_TRUE(o.result.returned) << o.result.fault;
  EXPECT_EQ(o.result.reg(rBX), 99u);
  EXPECT_EQ(o.result.reg(rAX), kCode);
  EXPECT_EQ(o.result.reg(rDX), kAddress);
  EXPECT_EQ(o.result.reg(rSI), 0x1234u);
  EXPECT_EQ(o.chain, kChain);
  EXPECT_EQ(o.result.reg(rSP), flatStackTop(32));
}
#endif

}  // namespace
}  // namespace vorak::test
