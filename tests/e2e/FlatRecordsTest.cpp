// The FLAT builder on compiled programs put together record by record, for
// what the statement loop does not produce yet (variables, constants, the
// locals room, alignment, imports): the builder runs in-process, loaded from
// its shared library like any plug-in, and the image runs in the emulator.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "compiler/driver/Common.h"
#include "compiler/output/ImportManager.h"
#include "compiler/output/ResourceManager.h"
#include "compiler/symbols/ConstManager.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "compiler/symbols/VarManager.h"
#include "e2e/FlatHarness.h"
#include "encoder/FixupManager.h"
#include "plugins/PluginManager.h"
#include "support/Fresh.h"

namespace vorak::test {
namespace {

uint64_t alignUp(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

class FlatRecords : public FreshVorak {
 public:
  void SetUp() override {
    FreshVorak::SetUp();
    setMode(32);
    main_ = FuncMan->CreateFunction(ltProc, nullptr);
    vorStrAssign(main_->Name, "rtlmain");
    main_->IsCalled = 1;
  }

  void setMode(int bits) {
    mode_ = bits;
    CompileFlags.cpu_bits = static_cast<uint32_t>(bits);
    ptrSize = bits / 8;
  }
  TVarType* type(std::string_view name) {
    for (TVarType* t : VarMan->TypeList())
      if (vorStrView(t->name) == name) return t;
    ADD_FAILURE() << "no type " << name;
    return nullptr;
  }
  TFunction* function(std::string_view name, bool called = true) {
    TFunction* f = FuncMan->CreateFunction(ltProc, nullptr);
    vorStrAssign(f->Name, name);
    f->IsCalled = called ? 1 : 0;
    return f;
  }
  // A label placed at the current end of f's code.
  TFunction* label(TFunction* f, std::string_view name) {
    TFunction* l = FuncMan->CreateFunction(ltLabel, f);
    vorStrAssign(l->Name, name);
    l->Address = f->BufLen;
    return l;
  }
  static void code(TFunction* f, std::initializer_list<uint8_t> bytes) {
    const std::vector<uint8_t> b(bytes);
    appendCode(f, b.data(), static_cast<uint32_t>(b.size()));
  }
  // Bytes whose last `size` bytes are a fixup field for a label.
  static void labelField(TFunction* f, std::initializer_list<uint8_t> opcode, TFixupType ft, const TFunction* target,
                         uint8_t size, uint32_t offset = 0) {
    code(f, opcode);
    FixMan->addFixup(ft, f, target->FuncIndex, 0, size, offset, jtJMP);
    appendCode(f, std::string(size, '\0'));
  }
  static void dataField(TFunction* f, std::initializer_list<uint8_t> opcode, TFixupType ft, void* target,
                        uint8_t size, uint32_t offset = 0) {
    code(f, opcode);
    FixMan->addFixup(ft, f, target, 0, size, offset, jtJMP);
    appendCode(f, std::string(size, '\0'));
  }
  // The 7-byte room of a jump to a label.
  static void jump(TFunction* f, TJmpType jt, const TFunction* target) {
    FixMan->addFixup(ftJmp, f, target->FuncIndex, 0, 7, 0, jt);
    appendCode(f, std::string(7, '\x90'));
  }
  TVar* global(std::string_view name, std::string_view typeName, uint32_t count, std::vector<uint8_t> content = {}) {
    TVar* v = VarMan->addVar(vmGlobal, name, type(typeName), count, 0);
    for (size_t i = 0; i < content.size() && i < vorArrCount(v->content); ++i) v->content[i] = content[i];
    v->initialised = content.empty() ? 0 : 1;
    return v;
  }
  // A pointer global whose initial value is g's address, kept in its own
  // fixup record as a declaration "pointer name = @g;" leaves it.
  TVar* holdingAddressOf(std::string_view name, TVar* g) {
    TVar* p = global(name, "pointer", 1);
    p->fixup = new TFixup{};
    p->fixup->hint = ftVar;
    p->fixup->size = 4;
    p->fixup->jmp = jtIGNORE;
    p->fixup->data = g;
    p->initialised = 1;
    return p;
  }

  // Loads the FLAT builder as the executable does, builds, and hands back
  // the image; log_ keeps what the run printed.
  std::vector<uint8_t> build() {
    placePlugins(dir_.path(), {shippedPlugin("flat")});
    log_ = captureStdout([&] {
      Plugins->initPlugins(dir_.path() + "/plugins/");
      EXPECT_TRUE(Plugins->selectBuilder("flat"));
      EXPECT_TRUE(Plugins->callBuilder(dir_.path() + "/out"));
    });
    std::ifstream in(dir_.path() + "/out.bin", std::ios::binary);
    EXPECT_TRUE(in) << "no out.bin\n" << log_;
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  FlatRun buildAndRun() {
    FlatRun r;
    r.image = build();
    r.built = true;
    emulateFlat(r, mode_);
    return r;
  }
  // In a child: builds with -nopause in force; the run must end there.
  void buildInChild() {
    dup2(2, 1);
    bPause = false;
    placePlugins(dir_.path(), {shippedPlugin("flat")});
    Plugins->initPlugins(dir_.path() + "/plugins/");
    Plugins->selectBuilder("flat");
    Plugins->callBuilder(dir_.path() + "/out");
    std::printf("the build came back\n");
  }
  bool outputWritten() const { return std::filesystem::exists(dir_.path() + "/out.bin"); }

  int mode_ = 32;
  TFunction* main_ = nullptr;
  TempDir dir_;
  std::string log_;
};

TEST_F(FlatRecords, ConstantsThenGlobalsFollowTheCodeAtPointerAlignedAddresses) {
  TVar* g = global("g", "dword", 1, {0x44, 0x33, 0x22, 0x11});
  TVar* arr = global("arr", "byte", 3, {1, 2, 3});
  TConst* hi = Consts->addConstItem("", "hi", ctAnsiString);
  hi->active = 1;
  TConst* wide = Consts->addConstItem("", "h\xC3\xA9", ctWideString);
  wide->active = 1;
  Consts->addConstItem("", "never used", ctAnsiString);  // not active: not in the image
  TConst* num = Consts->getConst(Consts->addConst("n", ctValue, 2, int64_t{0x1234}));
  num->active = 1;
  dataField(main_, {0xA1}, ftVar, g, 4);                   // mov eax, [g]
  dataField(main_, {0xBE}, ftConst, hi, 4);                // mov esi, hi
  code(main_, {0x0F, 0xB6, 0x5E, 0x01});                    // movzx ebx, byte [esi+1]
  dataField(main_, {0xB9}, ftVar, arr, 4, 2);              // mov ecx, arr+2
  code(main_, {0x0F, 0xB6, 0x11});                          // movzx edx, byte [ecx]
  dataField(main_, {0xBF}, ftConst, wide, 4);              // mov edi, wide
  dataField(main_, {0x66, 0x8B, 0x2D}, ftConst, num, 4);   // mov bp, [num]
  code(main_, {0xC3});
  const FlatRun r = buildAndRun();
  ASSERT_TRUE(r.finished) << r.fault;
  EXPECT_EQ(r.reg(rAX), 0x11223344u);
  EXPECT_EQ(r.reg(rBX), uint64_t{'i'});
  EXPECT_EQ(r.reg(rDX), 3u);
  EXPECT_EQ(r.reg(rBP) & 0xFFFF, 0x1234u);

  // The layout, by the documented rule: code, then each active constant and
  // each global at the next multiple of the pointer size.
  const uint64_t codeLen = main_->BufLen;
  const uint64_t hiAt = alignUp(codeLen, 4);
  const uint64_t wideAt = alignUp(hiAt + 3, 4);
  const uint64_t numAt = alignUp(wideAt + 6, 4);
  const uint64_t gAt = alignUp(numAt + 2, 4);
  const uint64_t arrAt = alignUp(gAt + 4, 4);
  EXPECT_EQ(r.reg(rSI), hiAt);
  EXPECT_EQ(r.reg(rDI), wideAt);
  EXPECT_EQ(r.reg(rCX), arrAt + 2);
  EXPECT_EQ(r.image.size(), arrAt + 3);
  EXPECT_EQ(std::string(r.image.begin() + hiAt, r.image.begin() + hiAt + 3), std::string("hi\0", 3));
  // UTF-16 of "hé" and its terminator.
  EXPECT_EQ(std::vector<uint8_t>(r.image.begin() + wideAt, r.image.begin() + wideAt + 6),
            (std::vector<uint8_t>{'h', 0, 0xE9, 0, 0, 0}));
  for (uint64_t a = codeLen; a < hiAt; ++a) EXPECT_EQ(r.image[a], 0) << a;  // zero padding
}

TEST_F(FlatRecords, ConstantsOfEveryKindAndSize) {
  Consts->getConst(Consts->addConst("b", ctValue, 1, int64_t{-2}))->active = 1;
  Consts->getConst(Consts->addConst("q", ctValue, 8, int64_t{0x0102030405060708}))->active = 1;
  TConst* f4 = Consts->getConst(Consts->addConst("f4", ctFloat, 4, 2.5L));
  TConst* f8 = Consts->getConst(Consts->addConst("f8", ctFloat, 8, 0.75L));
  TConst* f10 = Consts->getConst(Consts->addConst("f10", ctFloat, 10, -1.0L));
  f4->active = f8->active = f10->active = 1;
  code(main_, {0xC3});
  const std::vector<uint8_t> image = build();
  // ret, 3 bytes of padding, then 1 + 3 | 8 | 4 | 8 | 10 (+2 padding) bytes.
  const std::vector<uint8_t> expected = {
      0xC3, 0, 0, 0,                                   //
      0xFE, 0, 0, 0,                                   // -2 in one byte
      0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // eight bytes
      0x00, 0x00, 0x20, 0x40,                          // 2.5f
      0, 0, 0, 0, 0, 0, 0xE8, 0x3F,                    // 0.75
      0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0xBF,           // -1.0 as an 80-bit value
  };
  EXPECT_EQ(image, expected);
}

TEST_F(FlatRecords, VariableFixupsPutAddressesIntoTheData) {
  TVar* g = global("g", "dword", 1, {7, 0, 0, 0});
  TVar* table = global("table", "pointer", 2);
  TConst* s = Consts->addConstItem("", "str", ctAnsiString);
  s->active = 1;
  FixMan->addVarFixup(ftConst, table, s, 4, 4, 0, jtJMP);  // table[1] := @"str"
  FixMan->addVarFixup(ftVar, table, g, 0, 4, 0, jtJMP);    // table[0] := @g
  // p holds g's address as its initial value, in its own fixup record.
  TVar* p = holdingAddressOf("p", g);
  dataField(main_, {0x8B, 0x1D}, ftVar, p, 4);  // mov ebx, [p]
  code(main_, {0x8B, 0x03});                     // mov eax, [ebx]
  dataField(main_, {0x8B, 0x35}, ftVar, table, 4, 4);  // mov esi, [table+4]
  code(main_, {0x8A, 0x0E});                     // mov cl, [esi]
  code(main_, {0xC3});
  const FlatRun r = buildAndRun();
  ASSERT_TRUE(r.finished) << r.fault;
  EXPECT_EQ(r.reg(rAX), 7u);
  EXPECT_EQ(r.reg(rCX) & 0xFF, uint64_t{'s'});
  const uint64_t gAt = r.reg(rBX);
  const uint64_t tableAt = alignUp(gAt + 4, 4);
  EXPECT_EQ(r.read(tableAt, 4), gAt);
  EXPECT_EQ(r.read(tableAt + 4, 4), r.reg(rSI));
}

TEST_F(FlatRecords, In64BitCodeDataIsAddressedThroughAbsolute32BitFields) {
  setMode(64);
  TVar* g = global("g", "qword", 1, {1, 2, 3, 4, 5, 6, 7, 8});
  dataField(main_, {0x48, 0x8B, 0x04, 0x25}, ftVar, g, 4);  // mov rax, [abs g] (SIB, no RIP)
  dataField(main_, {0x48, 0xBB}, ftVar, g, 8);              // mov rbx, g (8-byte address)
  dataField(main_, {0x8B, 0x0C, 0x25}, ftVar, g, 4, 4);     // mov ecx, [abs g+4]
  code(main_, {0xC3});
  const FlatRun r = buildAndRun();
  ASSERT_TRUE(r.finished) << r.fault;
  EXPECT_EQ(r.reg(rAX), 0x0807060504030201u);
  EXPECT_EQ(r.reg(rBX), alignUp(main_->BufLen, 8));
  EXPECT_EQ(r.reg(rCX), 0x08070605u);
}

TEST_F(FlatRecords, In16BitCodeAddressesAreTwoBytes) {
  setMode(16);
  TVar* w = global("w", "word", 1, {0x34, 0x12});
  TFunction* f = function("f");
  dataField(main_, {0xA1}, ftVar, w, 2);        // mov ax, [w]
  labelField(main_, {0xE8}, ftLabel, f, 2);     // call f (rel16)
  code(main_, {0xC3});
  code(f, {0x43, 0xC3});                        // inc bx; ret
  const FlatRun r = buildAndRun();
  ASSERT_TRUE(r.finished) << r.fault;
  EXPECT_EQ(r.reg(rAX) & 0xFFFF, 0x1234u);
  EXPECT_EQ(r.reg(rBX) & 0xFFFF, 1u);
}

// push ebp; mov ebp, esp; the six-byte room; mov ebx, esp; mov esp, ebp;
// pop ebp; ret — by mode.
void framedFunction(TFunction* f, int mode) {
  if (mode == 64) {
    appendCode(f, std::string_view("\x55\x48\x89\xE5", 4));
  } else {
    appendCode(f, std::string_view("\x55\x89\xE5", 3));
  }
  FixMan->addFixup(ftLocals, f, uint32_t{0}, 0, static_cast<uint8_t>(mode / 8), 0, jtJMP);
  appendCode(f, std::string(6, '\x90'));
  if (mode == 64)
    appendCode(f, std::string_view("\x48\x89\xE3\x48\x89\xEC\x5D\xC3", 8));
  else
    appendCode(f, std::string_view("\x89\xE3\x89\xEC\x5D\xC3", 6));
}

// The six-byte room becomes "sub esp, size" (sp, rsp) in its shortest form,
// or nothing at all, and the code after it moves up or down with it.
TEST_F(FlatRecords, TheLocalsRoomReservesTheLocalsSize) {
  struct Case {
    int mode;
    uint32_t size;
    std::vector<uint8_t> room;  // the instruction that takes the room's place
  };
  const Case cases[] = {
      {32, 0, {}},
      {32, 8, {0x83, 0xEC, 0x08}},
      {32, 127, {0x83, 0xEC, 0x7F}},
      {32, 128, {0x81, 0xEC, 0x80, 0x00, 0x00, 0x00}},
      {32, 0x200, {0x81, 0xEC, 0x00, 0x02, 0x00, 0x00}},
      {16, 0, {}},
      {16, 6, {0x83, 0xEC, 0x06}},
      {16, 0x200, {0x81, 0xEC, 0x00, 0x02}},
      {64, 0, {}},
      {64, 0x10, {0x48, 0x83, 0xEC, 0x10}},
      {64, 200, {0x48, 0x81, 0xEC, 0xC8, 0x00, 0x00, 0x00}},
      {64, 0x12340, {0x48, 0x81, 0xEC, 0x40, 0x23, 0x01, 0x00}},
  };
  for (const Case& c : cases) {
    DeinitVorak();
    SetUp();
    setMode(c.mode);
    TFunction* f = function("f");
    f->LocalSize = c.size;
    framedFunction(f, c.mode);
    labelField(main_, {0xE8}, ftLabel, f, c.mode == 16 ? 2 : 4);
    code(main_, {0xC3});
    const FlatRun r = buildAndRun();
    ASSERT_TRUE(r.finished) << r.fault << " mode " << c.mode;
    const uint64_t fAt = main_->BufLen;
    const uint64_t roomAt = fAt + (c.mode == 64 ? 4 : 3);
    ASSERT_GE(r.image.size(), roomAt + c.room.size());
    EXPECT_EQ(std::vector<uint8_t>(r.image.begin() + roomAt, r.image.begin() + roomAt + c.room.size()), c.room)
        << c.mode << "/" << c.size;
    // Then straight on with the body: mov ebx, esp (rbx, rsp).
    EXPECT_EQ(r.image[roomAt + c.room.size() + (c.mode == 64 ? 1 : 0)], 0x89) << c.mode << "/" << c.size;
    // Inside f, after the room: the return address and the saved frame
    // pointer below the top, then the locals.
    const uint64_t word = c.mode / 8;
    EXPECT_EQ(r.reg(rBX) & (c.mode == 16 ? 0xFFFF : ~0ull), flatStackTop(c.mode) - 2 * word - word - c.size)
        << c.mode << "/" << c.size;
  }
}

// Jumps across locals rooms that shrink or grow: main calls g, whose room
// lies between main and f, then jumps on to f; f loops back across its own
// room three times.
TEST_F(FlatRecords, JumpsAcrossTheLocalsRoomLandWhereTheyShould) {
  for (int mode : {16, 32, 64}) {
    for (uint32_t locals : {0u, 8u, 200u}) {
      DeinitVorak();
      SetUp();
      setMode(mode);
      TFunction* g = function("g");
      g->LocalSize = locals;
      framedFunction(g, mode);
      TFunction* f = function("f");
      f->LocalSize = locals;
      TFunction* entry = label(f, "entry");
      if (mode == 64) appendCode(f, std::string_view("\x55\x48\x89\xE5", 4));  // push rbp; mov rbp, rsp
      else appendCode(f, std::string_view("\x55\x89\xE5", 3));
      FixMan->addFixup(ftLocals, f, uint32_t{0}, 0, static_cast<uint8_t>(mode / 8), 0, jtJMP);
      appendCode(f, std::string(6, '\x90'));
      if (mode == 64) code(f, {0x48, 0x89, 0xEC});  // mov rsp, rbp
      else code(f, {0x89, 0xEC});
      code(f, {0x5D});                                    // pop ebp
      if (mode == 16) code(f, {0x41});                    // inc cx
      else code(f, {0xFF, 0xC1});                         // inc ecx
      code(f, {0x83, 0xF9, 0x03});                        // cmp ecx, 3
      jump(f, jtJNE, entry);
      code(f, {0xC3});
      code(main_, {0x31, 0xC9});                          // xor ecx, ecx
      labelField(main_, {0xE8}, ftLabel, g, mode == 16 ? 2 : 4);
      jump(main_, jtJMP, f);
      const FlatRun r = buildAndRun();
      ASSERT_TRUE(r.finished) << r.fault << " mode " << mode << " locals " << locals;
      EXPECT_EQ(r.reg(rCX) & 0xFFFF, 3u) << mode << "/" << locals;
      EXPECT_EQ(r.reg(rSP) & (mode == 16 ? 0xFFFF : ~0ull), flatStackTop(mode)) << mode << "/" << locals;
      EXPECT_TRUE(nopsIn(r.image, mode).empty()) << mode << "/" << locals;
    }
  }
}

TEST_F(FlatRecords, AlignmentFillerIsCutSoTheNextByteIsAligned) {
  TFunction* f = function("f");
  // main: a 1-byte nop, align 4, label a, mov eax, a; call f; ret.
  code(main_, {0x90});
  FixMan->addFixup(ftAlignment, main_, uint32_t{0}, 0, 4, 0, jtJMP);
  appendCode(main_, std::string(4, '\x90'));
  TFunction* a = label(main_, "a");
  labelField(main_, {0xB8}, ftLabelAbs, a, 4);
  labelField(main_, {0xE8}, ftLabel, f, 4);
  code(main_, {0xC3});
  // f: jmp over an align 16 to label b; mov ebx, b; ret.
  TFunction* b = FuncMan->CreateFunction(ltLabel, f);
  vorStrAssign(b->Name, "b");
  jump(f, jtJMP, b);
  FixMan->addFixup(ftAlignment, f, uint32_t{0}, 0, 16, 0, jtJMP);
  appendCode(f, std::string(16, '\xCC'));  // never executed
  b->Address = f->BufLen;
  labelField(f, {0xBB}, ftLabelAbs, b, 4);
  code(f, {0xC3});
  const FlatRun r = buildAndRun();
  ASSERT_TRUE(r.finished) << r.fault;
  EXPECT_EQ(r.reg(rAX), 4u);  // 1 byte, then 3 of the 4 filler bytes
  EXPECT_EQ(r.reg(rBX) % 16, 0u);
  EXPECT_GT(r.reg(rBX), 4u + 5 + 5 + 1);
  // main is 1 + 3 + 5 + 5 + 1 bytes.
  EXPECT_EQ(r.image[15], 0xEB);  // f starts with the jump
  EXPECT_EQ(r.image.size(), r.reg(rBX) + 6);
}

TEST_F(FlatRecords, FunctionsReachedOnlyByAJumpAreLaidOutAndUnreachedOnesAreNot) {
  TFunction* unreached = function("unreached", false);
  code(unreached, {0xCC, 0xCC, 0xCC});
  TFunction* jumpedTo = function("jumpedTo", false);
  code(jumpedTo, {0xB8, 0x2A, 0x00, 0x00, 0x00, 0xC3});  // mov eax, 42; ret
  jump(main_, jtJMP, jumpedTo);
  const FlatRun r = buildAndRun();
  ASSERT_TRUE(r.finished) << r.fault;
  EXPECT_EQ(r.reg(rAX), 42u);
  // The jump to the very next byte: EB 00.
  EXPECT_EQ(r.image.size(), 2u + 6u);
}

TEST_F(FlatRecords, ExportedFunctionsAreNotedAsPlainCode) {
  TFunction* f = function("f");
  f->IsExported = 1;
  code(f, {0xC3});
  code(main_, {0xC3});
  const std::vector<uint8_t> image = build();
  EXPECT_EQ(image, (std::vector<uint8_t>{0xC3, 0xC3}));
  EXPECT_NE(log_.find("PlugSys: FLAT: a flat binary has no export table; the 1 exported function(s) are laid "
                      "out as plain code\n"),
            std::string::npos)
      << log_;
}

TEST_F(FlatRecords, AFarJumpGetsTheLabelsAbsoluteAddress) {
  TFunction* f = function("f");
  code(f, {0xC3});
  code(main_, {0xEA});
  FixMan->addFixup(ftRelative, main_, f->FuncIndex, 0, 4, 7, jtJMP);
  appendCode(main_, std::string_view("\0\0\0\0\x08\x00", 6));  // offset, then selector 8
  const std::vector<uint8_t> image = build();
  EXPECT_EQ(image, (std::vector<uint8_t>{0xEA, 7, 0, 0, 0, 8, 0, 0xC3}));
}

// Records a plug-in or a damaged compile could leave: jumps, alignment and
// locals rooms at random places, overlapping, past the end, to labels
// anywhere or nowhere. Each build runs in a child; it either writes its
// image (exit 0) or stops with a message (exit 1), and never crashes or
// trips a sanitizer.
TEST_F(FlatRecords, RandomLayoutRecordsEndInAnImageOrAMessage) {
  std::mt19937 rng(20261207);
  auto pick = [&rng](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  size_t built = 0;
  for (int round = 0; round < 120; ++round) {
    DeinitVorak();
    SetUp();
    setMode(pick(3) == 0 ? 16 : pick(2) ? 32 : 64);
    TFunction* f = function("f");
    std::vector<TFunction*> targets{main_, f};
    // Half the rounds hold sound records only.
    const bool damaged = pick(2) == 0;
    for (TFunction* fn : {main_, f}) {
      for (int piece = 0, n = 1 + static_cast<int>(pick(12)); piece < n; ++piece) {
        const uint32_t kind = pick(6);
        switch (!damaged && kind == 4 ? 0 : kind) {
          case 0: appendCode(fn, std::string(pick(140), '\x90')); break;
          case 1: jump(fn, static_cast<TJmpType>(damaged && pick(4) == 0 ? uint32_t{jtLOOP} : pick(17)), targets[pick(static_cast<uint32_t>(targets.size()))]);
            break;
          case 2: {
            const uint8_t size = static_cast<uint8_t>(damaged && pick(4) == 0 ? pick(3) : 1u << pick(5));
            FixMan->addFixup(ftAlignment, fn, uint32_t{0}, 0, size, 0, jtJMP);
            appendCode(fn, std::string(size, '\x90'));
            break;
          }
          case 3:
            fn->LocalSize = !damaged || pick(2) ? pick(300) : 0x10000u + pick(2);
            FixMan->addFixup(ftLocals, fn, uint32_t{0}, 0, static_cast<uint8_t>(mode_ / 8), 0, jtJMP);
            appendCode(fn, std::string(6, !damaged || pick(8) ? '\x90' : '\xCC'));
            break;
          case 4: {
            // A stray record: anywhere, of any of the three kinds.
            const TFixupType ft = pick(3) == 0 ? ftJmp : pick(2) ? ftAlignment : ftLocals;
            FixMan->addFixup(ft, fn, f->FuncIndex, -static_cast<int32_t>(pick(fn->BufLen + 10)),
                             static_cast<uint8_t>(pick(9)), 0, jtJMP);
            break;
          }
          default: {
            TFunction* l = label(fn, "l");
            if (damaged && pick(4) == 0) l->Address = fn->BufLen + pick(20);
            targets.push_back(l);
            break;
          }
        }
      }
      code(fn, {0xC3});
    }
    labelField(main_, {0xE8}, ftLabel, f, mode_ == 16 ? 2 : 4);
    code(main_, {0xC3});
    placePlugins(dir_.path(), {shippedPlugin("flat")});
    const std::string logFile = dir_.path() + "/child.log";
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      std::freopen(logFile.c_str(), "w", stdout);
      dup2(1, 2);
      bPause = false;
      Plugins->initPlugins(dir_.path() + "/plugins/");
      Plugins->selectBuilder("flat");
      const bool ok = Plugins->callBuilder(dir_.path() + "/out");
      std::fflush(nullptr);
      _exit(ok ? 0 : 2);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    std::stringstream log;
    log << std::ifstream(logFile).rdbuf();
    ASSERT_TRUE(WIFEXITED(status)) << "round " << round << " ended by a signal\n" << log.str();
    EXPECT_EQ(log.str().find("Sanitizer"), std::string::npos) << "round " << round << "\n" << log.str();
    EXPECT_EQ(log.str().find("runtime error"), std::string::npos) << "round " << round << "\n" << log.str();
    if (WEXITSTATUS(status) == 0) {
      ++built;
      EXPECT_TRUE(outputWritten()) << "round " << round;
    } else {
      EXPECT_EQ(WEXITSTATUS(status), 1) << "round " << round << "\n" << log.str();
      EXPECT_NE(log.str().find("PlugSys: FLAT: "), std::string::npos) << "round " << round << "\n" << log.str();
    }
    std::filesystem::remove(dir_.path() + "/out.bin");
  }
  // Some rounds build and some are damaged beyond building.
  EXPECT_GE(built, 40u);
  EXPECT_LT(built, 110u);
}

// ---- What a flat binary cannot hold, and damaged records ----

using FlatRecordsDeathTest = FlatRecords;

TEST_F(FlatRecordsDeathTest, ImportsStopTheBuild) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const uint32_t lib = Imports->addImportLib("kernel32.dll");
  TFunction* exitp = FuncMan->CreateFunction(ltProc, nullptr);
  vorStrAssign(exitp->ImportName, "ExitProcess");
  exitp->DLLIndex = static_cast<int32_t>(lib);
  setCalled(exitp, main_);
  labelField(main_, {0xE8}, ftLabel, exitp, 4);
  EXPECT_EXIT(buildInChild(), ::testing::ExitedWithCode(1),
              "PlugSys: FLAT: a flat binary cannot hold imports: the program calls 1 imported function\\(s\\), the "
              "first kernel32.dll ExitProcess\n$");
  EXPECT_FALSE(outputWritten());
}

TEST_F(FlatRecordsDeathTest, ResourcesStopTheBuild) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ResMan->addResource(3, 1, 0, "", "data", 4);
  EXPECT_EXIT(buildInChild(), ::testing::ExitedWithCode(1), "PlugSys: FLAT: a flat binary cannot hold resources\n$");
}

TEST_F(FlatRecordsDeathTest, DamagedOrUnplaceableReferencesStopTheBuild) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* what;
    std::function<void(FlatRecords&)> make;
    const char* message;
  };
  const Case cases[] = {
      {"outside", [](FlatRecords& t) {
         code(t.main_, {0xE8, 0, 0});
         FixMan->addFixup(ftLabel, t.main_, t.main_->FuncIndex, -2, 4, 0, jtJMP);  // runs past the end
       },
       "PlugSys: FLAT: the fixup at offset 1 of rtlmain does not lie inside the code\n$"},
      {"never placed", [](FlatRecords& t) {
         TFunction* ref = FuncMan->CreateFunction(ltRef, nullptr);
         vorStrAssign(ref->Name, "later");
         jump(t.main_, jtJMP, ref);
       },
       "PlugSys: FLAT: the fixup at offset 0 of rtlmain refers to the label later, which is never placed\n$"},
      {"no code", [](FlatRecords& t) {
         TFunction* proto = t.function("proto");
         labelField(t.main_, {0xE8}, ftLabel, proto, 4);
       },
       "PlugSys: FLAT: the fixup at offset 1 of rtlmain refers to proto, which is declared but has no code\n$"},
      {"local", [](FlatRecords& t) {
         TVar* local = VarMan->addVar(vmLocal, "tmp", t.type("dword"), 1, -8);
         dataField(t.main_, {0xA1}, ftVar, local, 4);
       },
       "PlugSys: FLAT: the fixup at offset 1 of rtlmain refers to a variable that is not a global; only globals "
       "have an address in the image\n$"},
      {"kind", [](FlatRecords& t) {
         code(t.main_, {0, 0, 0, 0});
         FixMan->addFixup(ftJmpShort, t.main_, uint32_t{0}, -4, 4, 0, jtJMP);
       },
       "PlugSys: FLAT: the fixup at offset 0 of rtlmain is of the kind 3, which a flat binary has no use for\n$"},
      {"locals64", [](FlatRecords& t) {
         t.setMode(64);
         TFunction* f = t.function("f");
         f->LocalSize = 0x80000000u;
         framedFunction(f, 64);
         labelField(t.main_, {0xE8}, ftLabel, f, 4);
       },
       "PlugSys: FLAT: the fixup at offset 4 of f: 2147483648 bytes of locals exceed the 2 GiB that sub rsp can "
       "reserve\n$"},
      {"locals16", [](FlatRecords& t) {
         t.setMode(16);
         TFunction* f = t.function("f");
         f->LocalSize = 0x10000u;
         framedFunction(f, 16);
         labelField(t.main_, {0xE8}, ftLabel, f, 2);
       },
       "PlugSys: FLAT: the fixup at offset 3 of f: 65536 bytes of locals exceed 64 KiB\n$"},
      {"jump into a call", [](FlatRecords& t) {
         TFunction* f = t.function("f");
         code(f, {0xC3});
         jump(t.main_, jtJMP, f);
         FixMan->addFixup(ftLabel, t.main_, f->FuncIndex, -4, 4, 0, jtJMP);  // inside the jump's room
       },
       "PlugSys: FLAT: the fixup at offset 3 of rtlmain lies inside the jump at offset 0\n$"},
      {"two jumps in one room", [](FlatRecords& t) {
         jump(t.main_, jtJMP, t.main_);
         FixMan->addFixup(ftJmp, t.main_, t.main_->FuncIndex, -3, 7, 0, jtJMP);
         appendCode(t.main_, std::string(4, '\x90'));
       },
       "PlugSys: FLAT: the fixups at offsets 0 and 4 of rtlmain claim the same bytes\n$"},
      {"16-bit address", [](FlatRecords& t) {
         t.setMode(16);
         TVar* w = t.global("w", "word", 1);
         dataField(t.main_, {0xA1}, ftVar, w, 2);
         appendCode(t.main_, std::string(0x10000, '\x90'));
       },
       "PlugSys: FLAT: the fixup at offset 1 of rtlmain: the address 0x10004 does not fit its 2-byte field\n$"},
  };
  for (const Case& c : cases) {
    EXPECT_EXIT((c.make(*this), buildInChild()), ::testing::ExitedWithCode(1), c.message) << c.what;
  }
}

// Every fixup the builder writes names a mode it can write in: a call's,
// a jump's, an address's, the locals room's, alignment's, a global's data
// fixups and the address a global holds as its initial value.
TEST_F(FlatRecordsDeathTest, EveryFixupIsFiledInAModeItCanWrite) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* what;
    std::function<TFixup*(FlatRecords&)> make;
    const char* where;
    bool filed = true;  // by the fixup manager, in the mode of its code
  };
  const auto last = [](TFunction* f, uint32_t k) { return FixMan->getFixup(f, k); };
  const Case cases[] = {
      {"call", [&](FlatRecords& t) {
         TFunction* f = t.function("f");
         code(f, {0xC3});
         code(t.main_, {0xE8});
         const uint32_t k = FixMan->addFixup(ftLabel, t.main_, f->FuncIndex, 0, 4, 0, jtJMP);
         appendCode(t.main_, std::string(4, '\0'));
         return last(t.main_, k);
       },
       "the fixup at offset 1 of rtlmain"},
      {"jump", [&](FlatRecords& t) {
         const uint32_t k = FixMan->addFixup(ftJmp, t.main_, t.main_->FuncIndex, 0, 7, 0, jtJMP);
         appendCode(t.main_, std::string(7, '\x90'));
         return last(t.main_, k);
       },
       "the fixup at offset 0 of rtlmain"},
      {"label address", [&](FlatRecords& t) {
         code(t.main_, {0xB8});
         const uint32_t k = FixMan->addFixup(ftLabelAbs, t.main_, t.main_->FuncIndex, 0, 4, 0, jtJMP);
         appendCode(t.main_, std::string(4, '\0'));
         return last(t.main_, k);
       },
       "the fixup at offset 1 of rtlmain"},
      {"variable address", [&](FlatRecords& t) {
         TVar* g = t.global("g", "dword", 1);
         code(t.main_, {0xA1});
         const uint32_t k = FixMan->addFixup(ftVar, t.main_, g, 0, 4, 0, jtJMP);
         appendCode(t.main_, std::string(4, '\0'));
         return last(t.main_, k);
       },
       "the fixup at offset 1 of rtlmain"},
      {"alignment", [&](FlatRecords& t) {
         const uint32_t k = FixMan->addFixup(ftAlignment, t.main_, uint32_t{0}, 0, 4, 0, jtJMP);
         appendCode(t.main_, std::string(4, '\x90'));
         return last(t.main_, k);
       },
       "the alignment at offset 0 of rtlmain"},
      {"data of a global", [&](FlatRecords& t) {
         TVar* g = t.global("g", "dword", 1);
         TVar* table = t.global("table", "pointer", 1);
         const uint32_t k = FixMan->addVarFixup(ftVar, table, g, 0, 4, 0, jtJMP);
         return FixMan->VarFixupList()[k];
       },
       "the fixup at offset 0 of the data of table"},
      {"initial address of a global", [&](FlatRecords& t) {
         TVar* g = t.global("g", "dword", 1);
         TVar* p = t.holdingAddressOf("p", g);
         return p->fixup;
       },
       "the fixup at offset 0 of the data of p", false},
  };
  for (const Case& c : cases) {
    TFixup* fx = c.make(*this);
    ASSERT_NE(fx, nullptr) << c.what;
    if (c.filed) {
      EXPECT_EQ(fx->bits, 32) << c.what;
    }
    fx->bits = 7;
    code(main_, {0xC3});
    EXPECT_EXIT(buildInChild(), ::testing::ExitedWithCode(1),
                std::string("PlugSys: FLAT: ") + c.where + " is filed in the mode 7, which is none of 16, 32 and 64\n$")
        << c.what;
    DeinitVorak();
    SetUp();
  }
}

}  // namespace
}  // namespace vorak::test
