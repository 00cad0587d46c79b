// The callback table entry by entry, called in-process the way a plug-in
// calls it: through the 56 pointers, with good and with bad arguments.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "compiler/driver/Common.h"
#include "compiler/driver/Errors.h"
#include "compiler/output/FileWriter.h"
#include "compiler/output/ImportManager.h"
#include "compiler/output/ResourceManager.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/source/IdentManager.h"
#include "compiler/statements/Compiler.h"
#include "compiler/symbols/ConstManager.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "compiler/symbols/VarManager.h"
#include "encoder/FixupManager.h"
#include "plugins/PluginManager.h"
#include "support/Fresh.h"
#include "support/RunVorak.h"

namespace vorak::test {
namespace {

const TVorakCallbacks& table() { return *reinterpret_cast<const TVorakCallbacks*>(pluginCallbackTable()); }

class CallbackTable : public FreshVorak {
 protected:
  void TearDown() override {
    delete fWriter;
    fWriter = nullptr;
    FreshVorak::TearDown();
  }
  // An output buffer as a build has one.
  void openBuffer() { fWriter = new TFileWriter(dir_.path() + "/out"); }
  std::string buffer() const { return std::string(fWriter->Data()); }
  TFunction* function(std::string_view code = {}) {
    TFunction* f = FuncMan->CreateFunction(ltProc, nullptr);
    appendCode(f, code);
    return f;
  }
  // A source as the current file, read up to (1-based) position chr.
  TAFile* source(const std::string& text, uint32_t chr) {
    auto* f = new TAFile(false);
    f->loadBuffer("test", text, nullptr);
    f->CurChar = chr;
    Compiler->setCurFile(f);
    return f;
  }

  const TVorakCallbacks& vk = table();
  TempDir dir_;
};

TEST_F(CallbackTable, HasFiftySixEntriesAndNoneIsMissing) {
  void* const* entries = pluginCallbackTable();
  for (int i = 0; i < 56; ++i) EXPECT_NE(entries[i], nullptr) << "entry " << i;
  EXPECT_EQ(reinterpret_cast<const void*>(entries[13]), reinterpret_cast<const void*>(vk.Func_Get));
  EXPECT_EQ(reinterpret_cast<const void*>(entries[55]), reinterpret_cast<const void*>(vk.vorak_fixup_total));
}

TEST_F(CallbackTable, BufferEntriesWithoutABufferDoNothing) {
  TFunction* f = function("\x90");
  EXPECT_EQ(vk.File_AddBytes("abc", 3), 0u);
  EXPECT_EQ(vk.File_Len(), 0u);
  EXPECT_EQ(vk.File_ReplaceBytes(1, "a", 1), 0u);
  EXPECT_EQ(vk.file_getbuf(), nullptr);
  ResMan->addResource(3, 1, 0, "", "data", 4);
  EXPECT_EQ(vk.file_writeresources(0x1000), 0u);
  EXPECT_EQ(vk.vorak_res_size(), 0);  // nothing was built
  vk.File_WriteCode(f->FuncIndex);
  static const vwchar exe[] = {'e', 'x', 'e', 0};
  vk.set_fileext(exe);
  EXPECT_EQ(Plugins->StrExt(), "bin");
  vk.File_Commit();
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

TEST_F(CallbackTable, BufferEntriesAppendPatchAndCheckTheirRanges) {
  openBuffer();
  EXPECT_EQ(vk.File_AddBytes("abc", 3), 1u);
  EXPECT_EQ(vk.File_AddBytes("de", 2), 4u);
  EXPECT_EQ(vk.File_AddBytes(nullptr, 2), 0u);  // no bytes to take
  EXPECT_EQ(vk.File_Len(), 5u);
  EXPECT_EQ(vk.File_ReplaceBytes(2, "XY", 2), 2u);
  EXPECT_EQ(buffer(), "aXYde");
  // Outside the buffer nothing is written: position 0, past the end, a
  // range running over the end.
  EXPECT_EQ(vk.File_ReplaceBytes(0, "Q", 1), 0u);
  EXPECT_EQ(vk.File_ReplaceBytes(6, "Q", 1), 0u);
  EXPECT_EQ(vk.File_ReplaceBytes(4, "QQQ", 3), 0u);
  EXPECT_EQ(vk.File_ReplaceBytes(0xFFFFFFFFu, "QQ", 2), 0u);
  EXPECT_EQ(vk.File_ReplaceBytes(1, nullptr, 1), 0u);
  EXPECT_EQ(buffer(), "aXYde");
  static_cast<char*>(vk.file_getbuf())[4] = 'E';
  EXPECT_EQ(buffer(), "aXYdE");

  TFunction* f = function(std::string_view("\xB8\x01\x00\x00\x00", 5));
  TFunction* empty = function();
  vk.File_WriteCode(f->FuncIndex);
  vk.File_WriteCode(empty->FuncIndex);
  vk.File_WriteCode(vk.Func_Count());  // past the end: nothing
  EXPECT_EQ(buffer(), std::string("aXYdE\xB8\x01\x00\x00\x00", 10));

  static const vwchar ext[] = {'c', 'o', 'm', 0};
  vk.set_fileext(ext);
  EXPECT_EQ(Plugins->StrExt(), "com");
  vk.set_fileext(nullptr);
  EXPECT_EQ(Plugins->StrExt(), "com");
}

// A builder that commits the buffer itself half-way, then goes on.
vbool earlyCommitBuilder(uint32_t event, uint32_t) {
  if (event != teComplete) return 1;
  const TVorakCallbacks& t = table();
  t.File_AddBytes("ab", 2);
  t.File_Commit();
  static const vwchar ext[] = {'o', 'u', 't', 0};
  t.set_fileext(ext);
  t.File_AddBytes("cd", 2);
  t.File_Commit();
  t.File_AddBytes("ef", 2);
  return 1;
}

TEST_F(CallbackTable, ABuildersOwnCommitLeavesTheOutputWhole) {
  ASSERT_GE(Plugins->registerBuilder("early", &earlyCommitBuilder), 0);
  ASSERT_TRUE(Plugins->selectBuilder("EARLY"));
  const std::string out = dir_.path() + "/prog";
  ASSERT_TRUE(Plugins->callBuilder(out));
  // The output holds the whole buffer once, under the name the build gives it.
  std::ifstream in(out + ".out", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "abcdef");
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_FALSE(std::filesystem::exists(out + ".bin"));  // the first commit's name
}

TEST_F(CallbackTable, ResourcesAreBuiltIntoTheBufferOnce) {
  openBuffer();
  EXPECT_FALSE(vk.file_hasresources());
  EXPECT_EQ(vk.file_writeresources(0x2000), 0u);
  EXPECT_EQ(vk.File_Len(), 0u);
  ResMan->addResource(3, 7, 1033, "", "ICON", 4);
  EXPECT_TRUE(vk.file_hasresources());
  EXPECT_EQ(vk.vorak_res_size(), 0);
  const uint32_t n = vk.file_writeresources(0x2000);
  EXPECT_EQ(vk.File_Len(), n);
  EXPECT_EQ(static_cast<uint32_t>(vk.vorak_res_size()), ResMan->DirectorySize());
  EXPECT_EQ(n, ResMan->DirectorySize() + 4);  // the directory, then the 4 data bytes
  EXPECT_EQ(buffer().substr(buffer().size() - 4), "ICON");
}

TEST_F(CallbackTable, CodeGetChecksItsIndexAndReadsOnlyTheBytesThere) {
  TFunction* f = function(std::string_view("\x31\xC0\x00\xC3", 4));
  TFunction* empty = function();
  uint32_t len = 77;
  const auto* code = static_cast<const char*>(vk.Code_Get(f->FuncIndex, &len));
  ASSERT_NE(code, nullptr);
  EXPECT_EQ(std::string(code, len), std::string("\x31\xC0\x00\xC3", 4));
  // An empty function: an empty text, not nil.
  len = 77;
  code = static_cast<const char*>(vk.Code_Get(empty->FuncIndex, &len));
  ASSERT_NE(code, nullptr);
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(*code, '\0');
  // Index equal to the count: nil, len untouched.
  len = 77;
  EXPECT_EQ(vk.Code_Get(vk.Code_Count(), &len), nullptr);
  EXPECT_EQ(vk.Code_Get(0xFFFFFFFFu, &len), nullptr);
  EXPECT_EQ(len, 77u);
  EXPECT_EQ(vk.Code_Count(), 2u);
  EXPECT_EQ(vk.Func_Count(), 2u);
  // A label referenced but not placed keeps a source position in BufLen;
  // the length handed out is that of the code really there.
  TFunction* ref = FuncMan->CreateFunction(ltRef, nullptr);
  ref->BufLen = 4000;
  len = 77;
  ASSERT_NE(vk.Code_Get(ref->FuncIndex, &len), nullptr);
  EXPECT_EQ(len, 0u);
  openBuffer();
  vk.File_WriteCode(ref->FuncIndex);
  EXPECT_EQ(vk.File_Len(), 0u);
}

TEST_F(CallbackTable, RecordGettersCheckTheirIndexes) {
  TFunction* main = function("\xC3");
  Compiler->setCurFunc(main);
  EXPECT_EQ(vk.Func_Get(0), main);
  EXPECT_EQ(vk.Func_Get(1), nullptr);
  EXPECT_EQ(vk.Func_Get(0xFFFFFFFFu), main);  // the function being compiled
  TFunction* inner = function();
  Compiler->setCurFunc(inner);
  EXPECT_EQ(vk.Func_Get(0xFFFFFFFFu), inner);

  Consts->addConst("five", ctValue, 1, int64_t{5});
  EXPECT_EQ(vk.Const_Count(), 1u);
  ASSERT_NE(vk.Const_Get(0), nullptr);
  EXPECT_EQ(vk.Const_Get(0)->int_, 5);
  EXPECT_EQ(vk.Const_Get(1), nullptr);

  const uint32_t vars = vk.Var_Count();
  TVar* v = VarMan->addVar(vmGlobal, "g", VarMan->UIntType(), 1, 0);
  EXPECT_EQ(vk.Var_Count(), vars + 1);
  EXPECT_EQ(vk.Var_Get(vars), v);
  EXPECT_EQ(vk.Var_Get(vars + 1), nullptr);

  EXPECT_EQ(vk.get_flags(), &CompileFlags);
  EXPECT_EQ(vk.vorak_func_index(inner), 1u);
  TFunction bogus{};
  EXPECT_EQ(vk.vorak_func_index(&bogus), 0xFFFFFFFFu);
  EXPECT_EQ(vk.vorak_func_index(nullptr), 0xFFFFFFFFu);
}

TEST_F(CallbackTable, FixupEntriesTakeOnlyFunctionRecordsOfTheCompiler) {
  TFunction* main = function("\x90\x90");
  TFunction* f = function(std::string_view("\xE8\x00\x00\x00\x00", 5));
  FixMan->addFixup(ftLabel, f, uint32_t{0}, -4, 4, 0, jtJMP);
  EXPECT_EQ(vk.Fixup_Count(f), 1u);
  ASSERT_NE(vk.Fixup_Get(f, 0), nullptr);
  EXPECT_EQ(vk.Fixup_Get(f, 0)->position, 1u);
  EXPECT_EQ(vk.Fixup_Get(f, 1), nullptr);
  EXPECT_EQ(vk.Fixup_Count(main), 0u);
  EXPECT_EQ(vk.Fixup_Get(main, 0), nullptr);
  // A pointer that is not one of the compiler's records is never read.
  TFunction bogus{};
  EXPECT_EQ(vk.Fixup_Count(&bogus), 0u);
  EXPECT_EQ(vk.Fixup_Get(&bogus, 0), nullptr);
  EXPECT_EQ(vk.Fixup_Count(nullptr), 0u);
  EXPECT_EQ(vk.Fixup_Get(nullptr, 0), nullptr);

  // fixup_add: position = the function's code length + pos, jump kind jtJMP.
  vk.fixup_add(ftLabelAbs, f, 0, static_cast<uint32_t>(-4), 4, 9);
  ASSERT_EQ(vk.Fixup_Count(f), 2u);
  const TFixup* added = vk.Fixup_Get(f, 1);
  EXPECT_EQ(added->hint, ftLabelAbs);
  EXPECT_EQ(added->position, 1u);
  EXPECT_EQ(added->size, 4u);
  EXPECT_EQ(added->offset, 9u);
  EXPECT_EQ(added->jmp, jtJMP);
  EXPECT_EQ(added->index, 0u);
  EXPECT_EQ(added->parentfunc, f);
  // Without a function the record joins the first function's list, at pos.
  vk.fixup_add(ftCodeRVA, nullptr, 1, 7, 4, 0);
  ASSERT_EQ(vk.Fixup_Count(main), 1u);
  EXPECT_EQ(vk.Fixup_Get(main, 0)->position, 7u);
  // Refused: an unknown kind, a foreign record.
  vk.fixup_add(11, f, 0, 0, 4, 0);
  vk.fixup_add(ftLabel, &bogus, 0, 0, 4, 0);
  EXPECT_EQ(vk.Fixup_Count(f), 2u);
  EXPECT_EQ(vk.Fixup_Count(main), 1u);

  // Variable fixups.
  EXPECT_EQ(vk.vorak_var_fixupcount(), 0u);
  TVar* table = VarMan->addVar(vmGlobal, "table", VarMan->PtrType(), 2, 0);
  TConst* s = Consts->addConstItem("", "hi", ctAnsiString);
  FixMan->addVarFixup(ftConst, table, s, 4, 4, 0, jtJMP);
  EXPECT_EQ(vk.vorak_var_fixupcount(), 1u);
  EXPECT_EQ(vk.vorak_fixup_total(), 1);
  ASSERT_NE(vk.vorak_var_fixup(0), nullptr);
  EXPECT_EQ(vk.vorak_var_fixup(0)->data, s);
  EXPECT_EQ(vk.vorak_var_fixup(1), nullptr);
}

TEST_F(CallbackTable, EmitAndRemoveWorkOnTheCodeTheyAreGiven) {
  TFunction* cur = function("\x01\x02");
  TFunction* other = function();
  Compiler->setCurFunc(cur);
  vk.func_emit(nullptr, "\x03\x04", 2);  // nil: the function being compiled
  vk.func_emit(other, "\x05", 1);
  vk.func_emit(other, nullptr, 3);
  TFunction bogus{};
  vk.func_emit(&bogus, "\x06", 1);
  EXPECT_EQ(vorStrView(cur->Buffer), "\x01\x02\x03\x04");
  EXPECT_EQ(cur->BufLen, 4u);
  EXPECT_EQ(vorStrView(other->Buffer), "\x05");

  // Removal from a 1-based position, only inside the code.
  vk.func_rem(nullptr, 2, 2);
  EXPECT_EQ(vorStrView(cur->Buffer), "\x01\x04");
  EXPECT_EQ(cur->BufLen, 2u);
  for (auto [start, len] : {std::pair<uint32_t, uint32_t>{0, 1}, {3, 1}, {2, 2}, {1, 0xFFFFFFFFu}, {0xFFFFFFFFu, 2}})
    vk.func_rem(cur, start, len);
  vk.func_rem(&bogus, 1, 1);
  EXPECT_EQ(vorStrView(cur->Buffer), "\x01\x04");
  vk.func_rem(cur, 1, 2);
  EXPECT_EQ(cur->Buffer, nullptr);
  EXPECT_EQ(cur->BufLen, 0u);
}

TEST_F(CallbackTable, ImportEntriesCheckLibraryAndFunctionIndexes) {
  EXPECT_EQ(vk.ilib_count(), 0u);
  EXPECT_EQ(vk.import_count(0), 0u);
  EXPECT_EQ(vk.ilib_name(0), nullptr);
  const uint32_t k32 = Imports->addImportLib("kernel32.dll");
  Imports->addImportLib("user32.dll");
  TFunction* exitp = FuncMan->CreateFunction(ltProc, nullptr);
  vorStrAssign(exitp->ImportName, "ExitProcess");
  exitp->DLLIndex = static_cast<int32_t>(k32);
  setCalled(exitp, nullptr);
  EXPECT_EQ(vk.ilib_count(), 2u);
  EXPECT_STREQ(vk.ilib_name(0), "kernel32.dll");
  EXPECT_STREQ(vk.ilib_name(1), "user32.dll");
  EXPECT_EQ(vk.import_count(0), 1u);
  EXPECT_EQ(vk.import_count(1), 0u);
  EXPECT_EQ(vk.import_count(2), 0u);  // equal to the library count
  EXPECT_EQ(vk.import_get(0, 0), exitp);
  EXPECT_EQ(vk.import_get(0, 1), nullptr);
  EXPECT_EQ(vk.import_get(2, 0), nullptr);
  EXPECT_EQ(vk.vorak_import_total(), 1);
  EXPECT_EQ(vk.vorak_export_total(), 0);
  exitp->IsExported = 1;
  function()->IsExported = 1;
  EXPECT_EQ(vk.vorak_export_total(), 2);
}

TEST_F(CallbackTable, TokenReadersHandOutTheCurrentToken) {
  TCurrentToken& tk = *Compiler->CurToken();
  tk.setInteger(8, 0x123456789ALL, "0x123456789A");
  int64_t v64 = 0;
  uint32_t v32[2] = {0, 0xAAAAAAAA};
  vk.get_int64_value(&v64);
  vk.token_get_int32(v32);
  EXPECT_EQ(v64, 0x123456789ALL);
  EXPECT_EQ(v32[0], 0x3456789Au);
  EXPECT_EQ(v32[1], 0xAAAAAAAAu);  // exactly four bytes
  EXPECT_EQ(vk.get_token_size(), 8u);
  EXPECT_STREQ(vk.get_char_ptr(), "0x123456789A");
  vk.get_int64_value(nullptr);
  vk.token_get_int32(nullptr);

  tk.setText("", ttAnsiString);
  EXPECT_STREQ(vk.get_char_ptr(), "");
  EXPECT_EQ(vk.get_wchar_ptr(), nullptr);  // an empty text
  tk.setText("ab", ttWideString);
  ASSERT_NE(vk.get_wchar_ptr(), nullptr);
  EXPECT_EQ(std::memcmp(vk.get_wchar_ptr(), "ab", 3), 0);  // the stored bytes, not converted

  TFunction* label = FuncMan->CreateFunction(ltLabel, nullptr);
  tk.setLabel(label, "there");
  EXPECT_EQ(vk.get_token_ident(), itLabel);
  EXPECT_EQ(vk.token_get_dataptr(), label);
}

TEST_F(CallbackTable, RealValuesAreStoredInTheAskedWidthOnly) {
  Compiler->CurToken()->setFloat(10, 1.5L, "1.5");
  uint8_t b[16];
  // The x87 80-bit form of 1.5: mantissa C000000000000000, exponent 3FFF.
  static const uint8_t ext15[10] = {0, 0, 0, 0, 0, 0, 0, 0xC0, 0xFF, 0x3F};
  std::memset(b, 0xEE, sizeof b);
  vk.get_real_value(b, 10);
  EXPECT_EQ(std::memcmp(b, ext15, 10), 0);
  EXPECT_EQ(b[10], 0xEE);
  EXPECT_EQ(b[11], 0xEE);

  std::memset(b, 0xEE, sizeof b);
  vk.get_real_value(b, 8);
  double d = 0;
  std::memcpy(&d, b, 8);
  EXPECT_EQ(d, 1.5);
  EXPECT_EQ(b[8], 0xEE);

  std::memset(b, 0xEE, sizeof b);
  vk.get_real_value(b, 4);
  float f = 0;
  std::memcpy(&f, b, 4);
  EXPECT_EQ(f, 1.5f);
  EXPECT_EQ(b[4], 0xEE);

  // Any other size: four zero bytes.
  for (uint32_t size : {0u, 2u, 16u}) {
    std::memset(b, 0xEE, sizeof b);
    vk.get_real_value(b, size);
    EXPECT_EQ(b[0] | b[1] | b[2] | b[3], 0) << size;
    EXPECT_EQ(b[4], 0xEE) << size;
  }
  vk.get_real_value(nullptr, 10);
}

TEST_F(CallbackTable, ExtractLineCopiesTheCurrentLineAndTheCharacterItStoppedAt) {
  struct Case {
    const char* text;
    uint32_t chr;
    int32_t maxlen;
    std::string line;  // the copied characters
    char stop;         // stored after them
  };
  const Case cases[] = {
      {"first\nsecond line\nthird", 10, 100, "second line", '\n'},
      {"first\nsecond line\nthird", 1, 100, "first", '\n'},
      {"first\nsecond line\nthird", 0, 100, "first", '\n'},    // before the first byte
      {"first\nsecond line\nthird", 22, 100, "third", '\0'},   // the last line
      {"first\nsecond line\nthird", 99, 100, "third", '\0'},   // past the end: the end
      {"a\r\nbc\r\n", 5, 100, "bc", '\r'},
      {"a\n\nb", 2, 100, "", '\n'},                            // an empty line
      {"first\nsecond line\nthird", 10, 3, "sec", 'o'},        // cut: the next character
  };
  for (const Case& c : cases) {
    source(c.text, c.chr);
    char buf[128];
    std::memset(buf, 0x7F, sizeof buf);
    const int32_t n = vk.vorak_extractline(buf, c.maxlen);
    ASSERT_EQ(n, static_cast<int32_t>(c.line.size())) << c.text << " @" << c.chr;
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), c.line) << c.text << " @" << c.chr;
    EXPECT_EQ(buf[n], c.stop) << c.text << " @" << c.chr;
    EXPECT_EQ(buf[n + 1], '\0');
    EXPECT_EQ(buf[n + 2], 0x7F);  // nothing past maxlen + 2 bytes
  }
  // Nothing to copy into: nothing written.
  char buf[4] = {1, 1, 1, 1};
  EXPECT_EQ(vk.vorak_extractline(nullptr, 10), 0);
  EXPECT_EQ(vk.vorak_extractline(buf, 0), 0);
  EXPECT_EQ(vk.vorak_extractline(buf, -5), 0);
  EXPECT_EQ(buf[0], 1);
}

TEST_F(CallbackTable, SetBufferReplacesASourceByItsListIndex) {
  TAFile* f = source("program FLAT;\nnop\n", 18);
  const uint32_t id = f->ID();
  EXPECT_EQ(Compiler->FileList()[id], f);
  EXPECT_FALSE(vk.vorak_file_setbuffer(static_cast<uint32_t>(Compiler->FileList().size()), "x", 1));
  EXPECT_FALSE(vk.vorak_file_setbuffer(id, nullptr, 3));
  // A length whose end does not fit 32 bits is refused before anything is read.
  EXPECT_FALSE(vk.vorak_file_setbuffer(id, "x", 0xFFFFFFFFu));
  EXPECT_EQ(f->FileLen, 18u);
  ASSERT_TRUE(vk.vorak_file_setbuffer(id, "ret", 3));
  EXPECT_EQ(f->FileLen, 3u);
  EXPECT_EQ(f->Buffer, std::string("ret\0", 4));
  EXPECT_LE(f->CurChar, 3u);  // the reader stays inside the new text
  // The text handed in may be the source's own.
  ASSERT_TRUE(vk.vorak_file_setbuffer(id, f->Buffer.data() + 1, 2));
  EXPECT_EQ(f->Buffer, std::string("et\0", 3));
}

TEST_F(CallbackTable, KeywordsAreRegisteredAsLowerCaseCopies) {
  auto handler = +[]() -> vbool { return 1; };
  static const char readOnly[] = "MiXeD";
  char writable[] = "UPPER";
  EXPECT_EQ(vk.RegisterKeyword(readOnly, handler), 0u);
  EXPECT_EQ(vk.RegisterKeyword(writable, handler), 1u);
  EXPECT_STREQ(writable, "UPPER");  // the plug-in's own text is left alone
  EXPECT_EQ(vk.RegisterKeyword(nullptr, handler), 0xFFFFFFFFu);
  EXPECT_EQ(vk.RegisterKeyword("", handler), 0xFFFFFFFFu);
  EXPECT_EQ(vk.RegisterKeyword("x", nullptr), 0xFFFFFFFFu);
  EXPECT_EQ(vk.RegisterKeyword("next", handler), 2u);  // refusals count nothing
  EXPECT_EQ(Plugins->findKeyword("mixed"), handler);
  EXPECT_EQ(Plugins->findKeyword("MIXED"), handler);
  EXPECT_EQ(Plugins->findKeyword("upper"), handler);
  EXPECT_EQ(Plugins->findKeyword("other"), nullptr);
  PIdent id = Plugins->Keywords()->findIdent("mixed", 0);
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(id->name, "mixed");
  EXPECT_EQ(id->type_, itReservedKeyword);
  EXPECT_EQ(vk.UnregisterKeyword("mixed"), 0);
  EXPECT_EQ(Plugins->findKeyword("mixed"), handler);
}

TEST_F(CallbackTable, BuildersAreRegisteredOncePerNameInAnyCase) {
  auto a = +[](uint32_t, uint32_t) -> vbool { return 1; };
  auto b = +[](uint32_t, uint32_t) -> vbool { return 0; };
  EXPECT_EQ(vk.RegisterBuilder("Flat", a), 0);
  EXPECT_EQ(vk.RegisterBuilder("FLAT", b), -1);
  EXPECT_EQ(vk.RegisterBuilder("pe", b), 1);
  EXPECT_EQ(vk.RegisterBuilder(nullptr, b), -1);
  EXPECT_EQ(vk.RegisterBuilder("x", nullptr), -1);
  EXPECT_EQ(Plugins->builderNames(), "FLAT, PE");
  ASSERT_TRUE(Plugins->selectBuilder("flat"));
  EXPECT_EQ(Plugins->CurBuilderID(), 0);
  EXPECT_TRUE(Plugins->builderStartTrigger());  // a's answer, not b's
}

// A NUL cannot reach set_fileext inside a terminated text; the host refuses
// it all the same, as it refuses "/", "\\" and "..".
TEST_F(CallbackTable, AnExtensionHoldingANulIsRefused) {
  ::testing::internal::CaptureStdout();
  EXPECT_THROW(Plugins->setStrExt(std::string("a\0b", 3)), EAbort);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(Plugins->StrExt(), "bin");
  EXPECT_EQ(out, "[13121] The builder's file extension \"a\\x00b\" is not a plain name: it holds \"/\", \"\\\", "
                 "\"..\" or NUL\n");
}

TEST_F(CallbackTable, LabelReferenceMakesAForwardLabelCalledFromTheCurrentFunction) {
  TFunction* main = function();
  main->IsCalled = 1;
  Compiler->setCurFunc(main);
  TAFile* f = source("call later\n", 10);
  f->CurLine = 1;
  f->CurLineChar = 10;
  TCurrentToken& tk = *Compiler->CurToken();
  tk.setCleanIdent("Later");
  const uint32_t index = vk.token_conv_labelref();
  TFunction* label = FuncMan->getFunc(index);
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(label->Type_, ltRef);
  EXPECT_EQ(vorStrView(label->Name), "Later");
  EXPECT_EQ(vorStrView(label->ImportName), "Later");
  EXPECT_TRUE(label->IsCalled);  // called from a reachable function
  EXPECT_EQ(label->BufLen, 10u);
  EXPECT_EQ(label->ParamCount, 1u);
  EXPECT_EQ(label->ParamSize, 10u);
  PIdent id = Idents->findIdent("later", SSL_SCOPE_MAX);
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(id->type_, itLabel);
  EXPECT_EQ(id->ptr, label);
  ASSERT_NE(Compiler->labelReference(label), nullptr);
  EXPECT_EQ(Compiler->labelReference(label)->file, f);
  // Only a name becomes a label.
  const uint32_t count = vk.Func_Count();
  tk.setInteger(4, 5, "5");
  EXPECT_EQ(vk.token_conv_labelref(), 0xFFFFFFFFu);
  EXPECT_EQ(vk.Func_Count(), count);
}

TEST_F(CallbackTable, SourceReadersWithoutASourceGiveNothing) {
  Compiler->setCurFile(nullptr);
  EXPECT_EQ(vk.get_next_token(), static_cast<uint32_t>(ttEOF));
  EXPECT_EQ(vk.peek_next_token(), static_cast<uint32_t>(ttEOF));
  EXPECT_EQ(vk.expect_next_token(ttIdent), ttNone);
  EXPECT_EQ(vk.expect_next_ident(itLabel), itNone);
  EXPECT_EQ(vk.vorak_eol(), 0);
  EXPECT_EQ(vk.token_conv_labelref(), 0xFFFFFFFFu);
  EXPECT_EQ(vk.func_execute("nop", 3), 0);  // no compile is running
  char buf[4] = {1, 1, 1, 1};
  EXPECT_EQ(vk.vorak_extractline(buf, 1), 0);
  EXPECT_EQ(buf[0], '\0');
}

TEST_F(CallbackTable, ExecuteRefusesALengthWhoseEndDoesNotFit32Bits) {
  TFunction* fn = function();
  Compiler->setCurFunc(fn);
  source("nop\n", 0);
  EXPECT_EQ(vk.func_execute("int3", 0xFFFFFFFFu), 0);
  EXPECT_EQ(fn->BufLen, 0u);
  // The same text with its length compiles.
  EXPECT_EQ(vk.func_execute("int3", 4), 1);
  EXPECT_EQ(std::string(vorStrView(fn->Buffer)), "\xCC");
}

TEST_F(CallbackTable, SourceReadersReadTheCurrentSource) {
  source("alpha 12 ;\n", 0);
  EXPECT_EQ(vk.peek_next_token(), static_cast<uint32_t>(ttIdent));
  EXPECT_EQ(vk.expect_next_token(ttIdent), ttIdent);
  EXPECT_STREQ(vk.get_char_ptr(), "alpha");
  EXPECT_EQ(vk.expect_next_ident(itLabel), itNone);  // a number is no identifier
  int32_t v = 0;
  vk.token_get_int32(&v);
  EXPECT_EQ(v, 12);
  EXPECT_EQ(vk.vorak_eol(), 0);
  EXPECT_EQ(vk.get_next_token(), static_cast<uint32_t>(ttSymbol));
  EXPECT_EQ(vk.vorak_eol(), 1);
  EXPECT_EQ(vk.get_next_token(), static_cast<uint32_t>(ttEOF));
}

// ---- Failures inside a callback end the run there ----

// Runs f in a child whose standard output goes to standard error, where the
// death test reads it.
template <typename F>
void toStderr(F f) {
  dup2(2, 1);
  f();
}

using CallbackTableDeathTest = CallbackTable;

TEST_F(CallbackTableDeathTest, FatalMessageEndsTheRunWithExitCodeOneUnderNoPause) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(toStderr([&] {
                bPause = false;
                vk.Log_MessageA("the plug-in gives up", 1);
                std::printf("returned\n");
              }),
              ::testing::ExitedWithCode(1), "PlugSys: the plug-in gives up\n$");
  static const vwchar wide[] = {'w', 0x00E9, 0};
  EXPECT_EXIT(toStderr([&] {
                bPause = false;
                vk.Log_MessageW(wide, 1);
              }),
              ::testing::ExitedWithCode(1), "PlugSys: w\xC3\xA9\n$");
}

TEST_F(CallbackTableDeathTest, WithPauseTheRunShutsDownAndEndsWithCodeZero) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(toStderr([&] {
                bPause = true;
                std::freopen("/dev/null", "r", stdin);
                vk.Log_MessageA("stop", 1);
              }),
              ::testing::ExitedWithCode(0), "PlugSys: stop\nPress the \\[enter\\] key to exit.\n$");
}

TEST_F(CallbackTableDeathTest, CompileErrorsInsideACallbackEndTheRunToo) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // A failure that is not a fatal message: the line of the top-level handler.
  EXPECT_EXIT(toStderr([&] {
                bPause = false;
                openBuffer();
                ResMan->addResource(3, 1, 0, "", "data", 4);
                vk.file_writeresources(0xFFFFFFF0u);  // past 4 GB: fatal
              }),
              ::testing::ExitedWithCode(1), "\\[13023\\] Resource section does not fit at RVA 4294967280\n$");
}

TEST_F(CallbackTable, NonFatalMessagesGoToTheLog) {
  const std::string out = captureStdout([&] {
    vk.Log_MessageA("hello", 0);
    vk.Log_MessageA(nullptr, 0);
    static const vwchar wide[] = {'h', 0x00E9, 0};
    vk.Log_MessageW(wide, 0);
  });
  EXPECT_EQ(out, "PlugSys: hello\nPlugSys: \nPlugSys: h\xC3\xA9\n");
}

}  // namespace
}  // namespace vorak::test
