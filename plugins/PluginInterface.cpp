// The table of callbacks through which plug-ins reach the compiler. Every
// entry catches at the boundary: no exception ever unwinds through a
// plug-in's frames (a plug-in may be C, built without unwind tables, or hold
// resources of its own). A failure inside a callback ends the run right
// there, the way the top-level handler ends it. Indexes, record pointers and
// lengths coming from a plug-in are checked; out of range they give the
// entry's "nothing" value and change nothing.
#include <cstring>
#include <exception>
#include <string>
#include <type_traits>
#include <utility>

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/driver/Utils.h"
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

namespace vorak {

namespace {

// Runs one entry's work; a failure ends the run right there.
template <typename F>
auto caught(F&& f) noexcept -> decltype(f()) {
  try {
    return f();
  } catch (...) {
    reportException(std::current_exception());
    finishAfterFailure();
  }
}

// Runs one entry's work, or gives nothing once shut-down has begun: the
// objects the entries read are being freed, and a plug-in's exit entry
// must not start anything (a compile, a build, a registration) then.
template <typename R, typename F>
R guardedOr(R nothing, F&& f) noexcept {
  if (hostStage() == THostStage::ShutDown) return nothing;
  return caught(std::forward<F>(f));
}

// The same for an entry whose "nothing" is zero, nil or no effect at all.
template <typename F>
auto guarded(F&& f) noexcept -> decltype(f()) {
  using R = decltype(f());
  if constexpr (std::is_void_v<R>) {
    if (hostStage() != THostStage::ShutDown) caught(std::forward<F>(f));
  } else {
    return guardedOr(R{}, std::forward<F>(f));
  }
}

uint32_t funcCount() { return FuncMan ? static_cast<uint32_t>(FuncMan->FuncList().size()) : 0; }
TFunction* funcAt(uint32_t i) { return i < funcCount() ? FuncMan->getFunc(i) : nullptr; }
// A record pointer from a plug-in is read only when it is one of ours.
bool isFunc(const TFunction* fn) { return FuncMan && FuncMan->owns(fn); }
// fn, or the function being compiled when fn is nil; nil for a pointer that
// is not a function record.
TFunction* orCurrent(TFunction* fn) {
  if (!fn) return Compiler ? Compiler->CurFunc() : nullptr;
  return isFunc(fn) ? fn : nullptr;
}
TCurrentToken* curToken() { return Compiler ? Compiler->CurToken() : nullptr; }
TAFile* curFile() { return Compiler ? Compiler->CurFile() : nullptr; }

// A plug-in's message; at shut-down (an exit entry) it is printed as it is,
// the run being over already, and not as a fatal error.
void logMessage(const std::string& message, vbool fatal) {
  if (!Log) return;
  const std::string text = msg::text(msg::PluginMessage, message);
  if (fatal && hostStage() != THostStage::ShutDown) Log->FatalError(text, true);
  Log->Message(text, colPlugin);
}

// ---- log, builders, output buffer -------------------------------------------

// Positions in the buffer are 32-bit: it never grows past 4 GiB - 1.
bool bufferTakes(size_t n) { return fWriter && uint64_t(fWriter->Data().size()) + n <= 0xFFFFFFFFu; }

// The two message entries serve an exit entry too: its messages still go
// to the console.
void cbLog_MessageA(const char* msg, vbool fatal) {
  caught([&] { logMessage(msg ? msg : "", fatal); });
}
void cbLog_MessageW(const vwchar* msg, vbool fatal) {
  caught([&] { logMessage(utf16ToUtf8(msg), fatal); });
}
int32_t cbRegisterBuilder(const char* name, TRBCallback cb) {
  return guardedOr(-1, [&]() -> int32_t { return name && cb ? Plugins->registerBuilder(name, cb) : -1; });
}
void cbFile_Commit() {
  guarded([] {
    if (Plugins) Plugins->commitOutput();
  });
}
uint32_t cbFile_AddBytes(const void* bytes, uint32_t len) {
  return guarded([&]() -> uint32_t {
    if (!bufferTakes(len) || (!bytes && len)) return 0;
    return fWriter->addFileData(bytes, len);
  });
}
uint32_t cbFile_Len() {
  return guarded([]() -> uint32_t { return fWriter ? fWriter->Len() : 0; });
}
uint32_t cbFile_ReplaceBytes(uint32_t pos, const void* bytes, uint32_t len) {
  return guarded([&]() -> uint32_t {
    if (!fWriter || (!bytes && len) || !fWriter->replaceFileData(pos, bytes, len)) return 0;
    return pos;
  });
}

// ---- the compiled program --------------------------------------------------

const void* cbCode_Get(uint32_t i, uint32_t* len) {
  return guarded([&]() -> const void* {
    TFunction* f = funcAt(i);
    if (!f) return nullptr;
    // The length of the bytes really there: a label referenced before it is
    // placed keeps a source position in BufLen, not a code length.
    if (len) *len = vorStrLen(f->Buffer);
    return vorStrCStr(f->Buffer);  // an empty function gives an empty text, not nil
  });
}
uint32_t cbCode_Count() {
  return guarded([] { return funcCount(); });
}
TConst* cbConst_Get(uint32_t i) {
  return guarded([&]() -> TConst* { return Consts && i < Consts->Count() ? Consts->getConst(i) : nullptr; });
}
uint32_t cbConst_Count() {
  return guarded([]() -> uint32_t { return Consts ? Consts->Count() : 0; });
}
TFixup* cbFixup_Get(TFunction* fn, uint32_t i) {
  return guarded([&]() -> TFixup* { return isFunc(fn) && FixMan ? FixMan->getFixup(fn, i) : nullptr; });
}
uint32_t cbFixup_Count(TFunction* fn) {
  return guarded([&]() -> uint32_t { return isFunc(fn) ? static_cast<uint32_t>(fixupList(fn).size()) : 0; });
}
TFunction* cbFunc_Get(uint32_t i) {
  return guarded([&]() -> TFunction* { return i == 0xFFFFFFFFu ? orCurrent(nullptr) : funcAt(i); });
}
uint32_t cbFunc_Count() {
  return guarded([] { return funcCount(); });
}
void cbFile_WriteCode(uint32_t i) {
  guarded([&] {
    TFunction* f = funcAt(i);
    if (f && f->Buffer && bufferTakes(vorStrLen(f->Buffer))) fWriter->addFileData(f->Buffer, vorStrLen(f->Buffer));
  });
}
TImports* libAt(uint32_t ilib) { return Imports && ilib < Imports->Count() ? Imports->getLib(ilib) : nullptr; }
TFunction* cbimport_get(uint32_t ilib, uint32_t i) {
  return guarded([&]() -> TFunction* {
    TImports* lib = libAt(ilib);
    if (!lib || i >= importFuncs(lib).size()) return nullptr;
    return importFuncs(lib)[i];
  });
}
uint32_t cbimport_count(uint32_t ilib) {
  return guarded([&]() -> uint32_t {
    TImports* lib = libAt(ilib);
    return lib ? static_cast<uint32_t>(importFuncs(lib).size()) : 0;
  });
}
uint32_t cbilib_count() {
  return guarded([]() -> uint32_t { return Imports ? Imports->Count() : 0; });
}
const char* cbilib_name(uint32_t ilib) {
  return guarded([&]() -> const char* {
    TImports* lib = libAt(ilib);
    return lib ? vorStrCStr(lib->name) : nullptr;
  });
}
void cbfixup_add(uint32_t ft, TFunction* func, uint32_t index, uint32_t pos, uint32_t size, uint32_t ofs) {
  guarded([&] {
    // Without a function the record goes to the first function's list.
    if (!FixMan || ft > ftAlignment || (func ? !isFunc(func) : funcCount() == 0)) return;
    FixMan->addFixup(static_cast<TFixupType>(ft), func, index, static_cast<int32_t>(pos),
                     static_cast<uint8_t>(size), ofs, jtJMP);
  });
}
void cbfunc_emit(TFunction* fn, const void* p, uint32_t len) {
  guarded([&] {
    TFunction* f = orCurrent(fn);
    if (f && p && len) appendCode(f, p, len);
  });
}
void cbfunc_rem(TFunction* fn, uint32_t start, uint32_t len) {
  guarded([&] {
    TFunction* f = orCurrent(fn);
    const uint32_t have = f ? vorStrLen(f->Buffer) : 0;
    if (!f || len == 0 || start < 1 || start > have || len > have - (start - 1)) return;
    std::string code(vorStrView(f->Buffer));
    code.erase(start - 1, len);
    vorStrAssign(f->Buffer, code);
    f->BufLen = static_cast<uint32_t>(code.size());
  });
}
TVar* cbVar_Get(uint32_t i) {
  return guarded([&]() -> TVar* { return VarMan && i < VarMan->VarList().size() ? VarMan->getVar(i) : nullptr; });
}
uint32_t cbVar_Count() {
  return guarded([]() -> uint32_t { return VarMan ? static_cast<uint32_t>(VarMan->VarList().size()) : 0; });
}
void cbset_fileext(const vwchar* s) {
  guarded([&] {
    if (!fWriter || !s) return;
    Plugins->setStrExt(utf16ToUtf8(s));
    // A builder's own commit writes under the name the build gives the file.
    fWriter->setFilename(Plugins->outputFileName());
  });
}
void* cbfile_getbuf() {
  return guarded([]() -> void* { return fWriter && fWriter->Len() ? fWriter->dataPtr() : nullptr; });
}
uint32_t cbfile_writeresources(uint32_t rva) {
  return guarded([&]() -> uint32_t {
    if (!fWriter || !ResMan) return 0;
    // The directory and the data go in straight from the manager: the
    // section is never put together in a copy of its own.
    const std::string_view directory = ResMan->buildDirectory(rva);
    if (directory.empty()) return 0;
    const std::string_view data = ResMan->DataBytes();
    if (!bufferTakes(directory.size() + data.size()))
      Log->FatalError(msg::OutputTooLarge);
    fWriter->addFileBytes(directory);
    fWriter->addFileBytes(data);
    return static_cast<uint32_t>(directory.size() + data.size());
  });
}
TCompilerFlags* cbget_flags() {
  return guarded([]() -> TCompilerFlags* { return &CompileFlags; });
}
uint32_t cbRegisterKeyword(const char* name, TKeywordEvent callback) {
  return guardedOr(0xFFFFFFFFu, [&]() -> uint32_t {
    // The plug-in's own text may be read-only: the table keeps a lower-cased
    // copy. A keyword that could never match is refused with 0xFFFFFFFF,
    // which no registration returns.
    if (!name || !*name || !callback) return 0xFFFFFFFFu;
    return Plugins->registerKeyword(name, callback);
  });
}
vbool cbUnregisterKeyword(const char*) {
  return guarded([]() -> vbool { return 0; });
}

// ---- reading the source while a keyword runs --------------------------------

int32_t cbexpect_next_token(uint32_t tk) {
  return guardedOr(int32_t{ttNone}, [&]() -> int32_t {
    if (!curFile()) return ttNone;
    return Compiler->ExpectToken({static_cast<TVorToken>(tk)}, false);
  });
}
int32_t cbexpect_next_ident(uint32_t tk) {
  return guarded([&]() -> int32_t {
    if (!curFile()) return itNone;
    return Compiler->ExpectIdentType({static_cast<TIdentType>(tk & 0xFF)});
  });
}
uint32_t cbget_token_size() {
  return guarded([]() -> uint32_t { return curToken() ? static_cast<uint32_t>(curToken()->F_ByteCount) : 0; });
}
uint32_t cbget_next_token() {
  return guardedOr(uint32_t{ttEOF}, []() -> uint32_t {
    if (!curFile()) return ttEOF;
    return static_cast<uint32_t>(curFile()->moveNextToken(false));
  });
}
void cbtoken_get_int32(void* p) {
  guarded([&] {
    if (!p || !curToken()) return;
    const uint32_t v = static_cast<uint32_t>(curToken()->F_Integer);
    std::memcpy(p, &v, 4);
  });
}
void cbget_int64_value(void* p) {
  guarded([&] {
    if (p && curToken()) std::memcpy(p, &curToken()->F_Integer, 8);
  });
}
const char* cbget_char_ptr() {
  return guardedOr("", []() -> const char* { return curToken() ? curToken()->F_String.c_str() : ""; });
}
const void* cbget_wchar_ptr() {
  return guarded([]() -> const void* {
    return curToken() && !curToken()->F_String.empty() ? curToken()->F_String.data() : nullptr;
  });
}
void cbget_real_value(void* p, uint32_t size) {
  guarded([&] {
    if (!p) return;
    const long double v = curToken() ? curToken()->F_Extended : 0.0L;
    if (size == 4) {
      const float f = static_cast<float>(v);
      std::memcpy(p, &f, 4);
    } else if (size == 8) {
      const double d = static_cast<double>(v);
      std::memcpy(p, &d, 8);
    } else if (size == 10) {
      std::memcpy(p, &v, 10);  // the x87 80-bit format, exactly ten bytes
    } else {
      std::memset(p, 0, 4);
    }
  });
}
uint32_t cbpeek_next_token() {
  return guardedOr(uint32_t{ttEOF}, []() -> uint32_t {
    if (!curFile()) return ttEOF;
    return static_cast<uint32_t>(curFile()->peekNextToken(false));
  });
}
vbool cbvorak_eol() {
  return guarded([]() -> vbool { return curFile() && curFile()->isNextLineBreak() ? 1 : 0; });
}
int32_t cbvorak_extractline(char* buf, int32_t maxlen) {
  return guarded([&]() -> int32_t {
    TAFile* f = curFile();
    if (!buf || maxlen < 1) return 0;
    if (!f) {
      buf[0] = '\0';
      buf[1] = '\0';
      return 0;
    }
    auto stop = [](char c) { return c == '\0' || c == '\n' || c == '\r'; };
    uint32_t start = f->CurChar > f->FileLen ? f->FileLen : f->CurChar;  // 1-based
    while (start >= 1 && !stop(f->at(start))) --start;
    uint32_t i = start + 1;  // the line's first byte
    int32_t n = 0;
    while (n < maxlen && !stop(f->at(i))) buf[n++] = f->at(i++);
    buf[n] = f->at(i);
    buf[n + 1] = '\0';
    return n;
  });
}
int32_t cbget_token_ident() {
  return guarded([]() -> int32_t { return curToken() ? static_cast<int32_t>(curToken()->F_IdentType) : int32_t{itNone}; });
}
uint32_t cbtoken_conv_labelref() {
  return guardedOr(0xFFFFFFFFu, []() -> uint32_t {
    TCurrentToken* tk = curToken();
    TAFile* f = curFile();
    // Only a name can become a label.
    if (!tk || !f || tk->F_Type != ttIdent || tk->F_String.empty()) return 0xFFFFFFFFu;
    // Called from the function being compiled, declared as itLabel, and the
    // reference's source kept for the message should it never be placed.
    TFunction* label = Compiler->createForwardLabel(tk->F_String);
    // Where the reference stands, in the record too, as plug-ins read it.
    label->BufLen = f->CurChar;
    label->ParamCount = f->CurLine;
    label->ParamSize = f->CurLineChar;
    return label->FuncIndex;
  });
}
void* cbtoken_get_dataptr() {
  return guarded([]() -> void* { return curToken() ? curToken()->F_Pointer : nullptr; });
}
uint32_t cbvorak_func_index(TFunction* fn) {
  return guardedOr(0xFFFFFFFFu, [&]() -> uint32_t { return isFunc(fn) ? fn->FuncIndex : 0xFFFFFFFFu; });
}
uint32_t cbvorak_var_fixupcount() {
  return guarded([]() -> uint32_t { return FixMan ? static_cast<uint32_t>(FixMan->VarFixupList().size()) : 0; });
}
TFixup* cbvorak_var_fixup(uint32_t index) {
  return guarded([&]() -> TFixup* {
    return FixMan && index < FixMan->VarFixupList().size() ? FixMan->VarFixupList()[index] : nullptr;
  });
}
vbool cbvorak_file_setbuffer(uint32_t fileid, const char* buf, uint32_t len) {
  return guarded([&]() -> vbool {
    // A text of 4 GiB - 1 bytes would put the reader's end past 32 bits.
    if (!Compiler || fileid >= Compiler->FileList().size() || (!buf && len) || len == 0xFFFFFFFFu) return 0;
    Compiler->FileList()[fileid]->replaceText(std::string_view(buf ? buf : "", len));
    return 1;
  });
}
vbool cbfile_hasresources() {
  return guarded([]() -> vbool { return ResMan && ResMan->hasRes() ? 1 : 0; });
}
int32_t cbvorak_res_size() {
  return guarded([]() -> int32_t { return ResMan ? static_cast<int32_t>(ResMan->ResourceSize()) : 0; });
}
int32_t cbvorak_import_total() {
  return guarded([]() -> int32_t {
    uint32_t total = 0;
    for (uint32_t i = 0, n = Imports ? Imports->Count() : 0; i < n; ++i) total += cbimport_count(i);
    return static_cast<int32_t>(total);
  });
}
int32_t cbvorak_export_total() {
  return guarded([]() -> int32_t {
    int32_t total = 0;
    for (uint32_t i = 0; i < funcCount(); ++i) total += FuncMan->getFunc(i)->IsExported ? 1 : 0;
    return total;
  });
}
int32_t cbvorak_fixup_total() {
  return guarded([]() -> int32_t { return static_cast<int32_t>(cbvorak_var_fixupcount()); });
}

vbool cbfunc_execute(const char* c, uint32_t len) {
  return guarded([&]() -> vbool {
    // Once the compile is over (the builder's completion event, an exit
    // entry) there is no function being compiled to take the text.
    if (hostStage() != THostStage::Compiling) return 0;
    // A text of 4 GiB - 1 bytes would put the reader's end past 32 bits.
    if (!Compiler || (!c && len) || len == 0xFFFFFFFFu) return 0;
    return Compiler->compileText("plugin buffer", std::string(c ? c : "", len)) ? 1 : 0;
  });
}

const TVorakCallbacks kTable = {
    cbLog_MessageA,      cbLog_MessageW,       cbRegisterBuilder,     cbFile_Commit,
    cbFile_AddBytes,     cbFile_Len,           cbFile_ReplaceBytes,   cbCode_Get,
    cbCode_Count,        cbConst_Get,          cbConst_Count,         cbFixup_Get,
    cbFixup_Count,       cbFunc_Get,           cbFunc_Count,          cbFile_WriteCode,
    cbimport_get,        cbimport_count,       cbilib_count,          cbilib_name,
    cbfixup_add,         cbfunc_emit,          cbfunc_rem,            cbfunc_execute,
    cbVar_Get,           cbVar_Count,          cbset_fileext,         cbfile_getbuf,
    cbfile_writeresources, cbget_flags,        cbRegisterKeyword,     cbUnregisterKeyword,
    cbexpect_next_token, cbexpect_next_ident,  cbget_token_size,      cbget_next_token,
    cbtoken_get_int32,   cbget_int64_value,    cbget_char_ptr,        cbget_wchar_ptr,
    cbget_real_value,    cbpeek_next_token,    cbvorak_eol,           cbvorak_extractline,
    cbget_token_ident,   cbtoken_conv_labelref, cbtoken_get_dataptr,  cbvorak_func_index,
    cbvorak_var_fixupcount, cbvorak_var_fixup, cbvorak_file_setbuffer, cbfile_hasresources,
    cbvorak_res_size,    cbvorak_import_total, cbvorak_export_total,  cbvorak_fixup_total,
};

}  // namespace

void* const* pluginCallbackTable() {
  static_assert(sizeof(kTable) == 56 * sizeof(void*));
  // The struct is exactly 56 function pointers in table order.
  return reinterpret_cast<void* const*>(&kTable);
}

}  // namespace vorak
