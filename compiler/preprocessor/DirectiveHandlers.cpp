// Directives: the dispatcher over the directive names, #set, #include and
// #tryinclude, #define; the directives still to come stop the compile with
// a message that names them.
#include "compiler/preprocessor/DirectiveHandlers.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/driver/Settings.h"
#include "compiler/driver/Utils.h"
#include "compiler/preprocessor/MacroHandlers.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/source/DefineManager.h"
#include "compiler/statements/Compiler.h"
#include "compiler/symbols/VarManager.h"

namespace vorak {

namespace {

namespace fs = std::filesystem;

TCurrentToken& cur() { return *Compiler->CurToken(); }

TVorToken readToken(bool cleanIdent = false) { return Compiler->CurFile()->moveNextToken(cleanIdent); }

[[noreturn]] void unexpected(std::string_view code) { Log->FatalUnexpectedToken(code); }

[[noreturn]] void notAvailable(std::string_view directive) {
  Log->FatalError("[9951] Directive #" + std::string(directive) + " is not available yet");
}

enum class TDirective : uint8_t {
  If, Set, End, Else, Eval, Echo, Ifdef, Raise, Mpush, Mcall, Align, Define, Return, Elseif,
  Repeat, Ifndef, Gmpush, Include, Resource, Tryinclude, Labelstart, Depreciated, Handlemacro,
  Movenexttext
};

struct TDirectiveName {
  std::string_view name;
  TDirective id;
};

// Ordered by name length, as the dispatcher looks them up.
constexpr TDirectiveName kDirectives[] = {
    {"if", TDirective::If},
    {"set", TDirective::Set},
    {"end", TDirective::End},
    {"else", TDirective::Else},
    {"eval", TDirective::Eval},
    {"echo", TDirective::Echo},
    {"ifdef", TDirective::Ifdef},
    {"raise", TDirective::Raise},
    {"mpush", TDirective::Mpush},
    {"mcall", TDirective::Mcall},
    {"align", TDirective::Align},
    {"define", TDirective::Define},
    {"return", TDirective::Return},
    {"elseif", TDirective::Elseif},
    {"repeat", TDirective::Repeat},
    {"ifndef", TDirective::Ifndef},
    {"gmpush", TDirective::Gmpush},
    {"include", TDirective::Include},
    {"resource", TDirective::Resource},
    {"tryinclude", TDirective::Tryinclude},
    {"labelstart", TDirective::Labelstart},
    {"depreciated", TDirective::Depreciated},
    {"handlemacro", TDirective::Handlemacro},
    {"movenexttext", TDirective::Movenexttext},
};
constexpr size_t kLongestDirective = 12;

// The directive a name (A-Z folded) spells; false for any other name.
bool findDirective(std::string_view name, TDirective& id) {
  if (name.size() > kLongestDirective) return false;
  char buf[kLongestDirective];
  for (size_t i = 0; i < name.size(); ++i) buf[i] = lowerChar(name[i]);
  const std::string_view lower(buf, name.size());
  for (const TDirectiveName& d : kDirectives) {
    if (d.name.size() != lower.size()) continue;
    if (d.name == lower) {
      id = d.id;
      return true;
    }
  }
  return false;
}

}  // namespace

bool handle_DIRECTIVE() {
  TDirective id;
  if (!findDirective(cur().F_String, id)) {
    handle_DIRECTIVE_macrovar();
    return false;
  }
  switch (id) {
    case TDirective::If: handle_DIRECTIVE_if(); return false;
    case TDirective::Set: handle_DIRECTIVE_set(); return false;
    case TDirective::End:
    case TDirective::Else:
    case TDirective::Elseif: return true;
    case TDirective::Eval: handle_DIRECTIVE_eval(); return false;
    case TDirective::Echo: handle_DIRECTIVE_echo(false); return false;
    case TDirective::Ifdef: handle_DIRECTIVE_ifdef(false); return false;
    case TDirective::Raise: handle_DIRECTIVE_raise(); return false;
    case TDirective::Mpush: handle_DIRECTIVE_mpush(false); return false;
    case TDirective::Mcall: handle_DIRECTIVE_mcall(); return false;
    case TDirective::Align: handle_DIRECTIVE_align(); return false;
    case TDirective::Define: handle_DIRECTIVE_define(); return false;
    case TDirective::Return: return handle_DIRECTIVE_return();
    case TDirective::Repeat: handle_DIRECTIVE_repeat(); return false;
    case TDirective::Ifndef: handle_DIRECTIVE_ifdef(true); return false;
    case TDirective::Gmpush: handle_DIRECTIVE_mpush(true); return false;
    case TDirective::Include: handle_DIRECTIVE_include(false); return false;
    case TDirective::Resource: handle_DIRECTIVE_resource(); return false;
    case TDirective::Tryinclude: handle_DIRECTIVE_include(true); return false;
    case TDirective::Labelstart: handle_DIRECTIVE_labelstart(); return false;
    case TDirective::Depreciated: handle_DIRECTIVE_echo(true); return false;
    case TDirective::Handlemacro: handle_DIRECTIVE_handlemacro(); return false;
    case TDirective::Movenexttext: handle_DIRECTIVE_movenexttext(); return false;
  }
  return false;
}

// ---- #set ----

namespace {

// The value of an option: a number token, else the unexpected-token error.
int64_t readOptionNumber(std::string_view code) {
  if (Compiler->ExpectToken({ttNumber}) == ttNone) unexpected(code);
  return cur().F_Integer;
}

uint32_t lowWord(int64_t v) { return static_cast<uint32_t>(static_cast<uint64_t>(v)); }
bool lowByteSet(int64_t v) { return (static_cast<uint64_t>(v) & 0xFF) != 0; }

}  // namespace

void handle_DIRECTIVE_set() {
  // An option set before may be a define by now ("frame", "bits"): its
  // define name is the option's name.
  readToken();
  std::string option;
  if (!cur().F_DefName.empty())
    option = lowerCase(cur().F_DefName);
  else if (cur().F_Type == ttIdent)
    option = lowerCase(cur().F_String);
  else
    unexpected("7757");

  if (option == "frame") {
    const int64_t v = readOptionNumber("7756");
    if (lowWord(v) >= 2) Log->FatalError("[7758] Valid frame modes 0/1");
    if (CompileFlags.cpu_bits == 16) {
      CompileFlags.stackframe_on = 1;
      DefMan->addDefine("frame", int64_t{1});
    } else {
      CompileFlags.stackframe_on = lowByteSet(v);
      DefMan->addDefine("frame", v);
    }
  } else if (option == "cpu") {
    const uint32_t mode = lowWord(readOptionNumber("3543652"));
    if (mode != 386 && mode != 486 && mode != 586 && mode != 686) Log->FatalError("[643234] Invalid CPU mode");
    CompileFlags.cpu_mode = mode;
  } else if (option == "defaultcc") {
    const TKeyword k = Compiler->ExpectKeyword({keyStdcall, keyCDecl, keyMSX64});
    if (k == keyNone) unexpected("5816");
    DefaultCC = Key2Convention(k);
  } else if (option == "m2m_reg") {
    CompileFlags.m2m_reg = readOptionNumber("5356") != 0 ? REG_EAX : REG_NONE;
  } else if (option == "imm_roll") {
    CompileFlags.imm_roll = readOptionNumber("5356") != 0;
  } else if (option == "awd") {
    CompileFlags.awd = readOptionNumber("4363") != 0;
  } else if (option == "stack_size") {
    CompileFlags.stack_size = lowWord(readOptionNumber("7754"));
  } else if (option == "bits") {
    const int64_t v = readOptionNumber("7757");
    if (v % 8 != 0) Log->FatalError("[7759] Bit mode must be a multiple of 8");
    // The encoder and the pointer size know these three modes only.
    if (v != 16 && v != 32 && v != 64) Log->FatalError("[7760] Bit mode must be 16, 32 or 64");
    CompileFlags.cpu_bits = lowWord(v);
    if (CompileFlags.cpu_bits == 16) {
      CompileFlags.stackframe_on = 1;
      DefMan->addDefine("frame", int64_t{1});
    }
    ptrSize = static_cast<int32_t>(CompileFlags.cpu_bits / 8);
    VarMan->resizeVarTypes();
    DefMan->addDefine("bits", v);
  } else if (option == "relocations") {
    const int64_t v = readOptionNumber("777556");
    if (lowWord(v) >= 2) Log->FatalError("[4656] Valid relocation switch 0/1");
    CompileFlags.relocations = lowByteSet(v);
    DefMan->addDefine("relocations", v);
  } else if (option == "optimise") {
    const int64_t v = readOptionNumber("777556");
    if (lowWord(v) >= 2) Log->FatalError("[4657] Valid relocation switch 0/1");
    CompileFlags.optimise = lowByteSet(v);
  } else {
    Log->FatalError("[7845] Invalid directive operand " + option);
  }
}

// ---- #include, #tryinclude ----

namespace {

// The folder of the nearest buffer, from the current one through its
// parents, that was read from a file; false inside texts that come from
// nowhere on disk.
bool currentFileFolder(fs::path& folder) {
  for (TAFile* f = Compiler->CurFile(); f; f = f->Parent()) {
    if (f->IsFile()) {
      folder = fs::path(f->FileName()).parent_path();
      return true;
    }
  }
  return false;
}

bool isFile(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec);
}

}  // namespace

void handle_DIRECTIVE_include(bool tryOnly) {
  if (Compiler->ExpectToken({ttAnsiString, ttWideString}) == ttNone) unexpected("7767");
  // A copy: the include reads on from another buffer.
  const std::string name = cur().F_String;
  handle_DIRECTIVE_doinclude(name, tryOnly);
}

void handle_DIRECTIVE_doinclude(std::string_view name, bool tryOnly) {
  // Names are written with "/"; a "\" separates folders as well.
  std::string path(name);
  for (char& c : path)
    if (c == '\\') c = '/';
  // Each name is included once. The mark is a define that no identifier
  // leads to, so the name still reads as whatever it is in the source.
  const std::string key = lowerCase(path);
  if (DefMan->getDefine(key)) return;

  const std::string quoted = "\"" + std::string(name) + "\"";
  struct Candidate {
    fs::path file;
    const char* failInclude;
    const char* failTry;
  };
  Candidate candidates[4];
  size_t count = 0;
  fs::path folder;
  if (currentFileFolder(folder)) candidates[count++] = {folder / path, "[1415] ", "[0911] "};
  if (!Settings->ProjectPath().empty())
    candidates[count++] = {fs::path(Settings->ProjectPath()) / path, "[1444] ", "[0010] "};
  candidates[count++] = {fs::path(Settings->CompilerPath()) / "includes" / path, "[1445] ", "[0011] "};
  if (!Settings->IncludePath().empty())
    candidates[count++] = {fs::path(Settings->IncludePath()) / path, "[1446] ", "[0010] "};

  const Candidate* found = nullptr;
  for (size_t i = 0; i < count && !found; ++i)
    if (isFile(candidates[i].file)) found = &candidates[i];

  if (found) {
    auto* f = new TAFile(true);
    if (f->loadFile(found->file.string(), Compiler->CurFile())) {
      Compiler->FileList().push_back(f);
      Compiler->setCurFile(f);
    } else {
      delete f;
      if (!tryOnly) Log->FatalError(found->failInclude + std::string("Error opening file ") + quoted);
      Log->Warning(found->failTry + std::string("Error opening include ") + quoted);
    }
  } else if (!tryOnly) {
    Log->FatalError((Settings->IncludePath().empty() ? "[1448] " : "[1447] ") +
                    std::string("Included file not found ") + quoted);
  } else {
    Log->Warning("[0010] Include file not found " + quoted);
  }
  DefMan->addMark(key);
}

// ---- #define ----

void handle_DIRECTIVE_define() {
  if (readToken() != ttIdent) unexpected("7717");
  const std::string name = lowerCase(cur().F_String);
  if (Compiler->CurFile()->peekNextRealChar(true) != ';') {
    readToken();
    DefMan->addDefine(name, &cur());
  } else {
    DefMan->addDefine(name, int64_t{1});
  }
  if (!Compiler->ExpectSymbol(";")) unexpected("7718");
}

// ---- Directives still to come ----

bool handle_DIRECTIVE_if() { notAvailable("if"); }
bool handle_DIRECTIVE_ifdef(bool reverse) { notAvailable(reverse ? "ifndef" : "ifdef"); }
bool handle_DIRECTIVE_else() { notAvailable("else"); }
void handle_DIRECTIVE_repeat() { notAvailable("repeat"); }
void handle_DIRECTIVE_eval() { notAvailable("eval"); }
void handle_DIRECTIVE_echo(bool depreciated) { notAvailable(depreciated ? "depreciated" : "echo"); }
void handle_DIRECTIVE_raise() { notAvailable("raise"); }
void handle_DIRECTIVE_mpush(bool master) { notAvailable(master ? "gmpush" : "mpush"); }
void handle_DIRECTIVE_mcall() { notAvailable("mcall"); }
void handle_DIRECTIVE_align() { notAvailable("align"); }
bool handle_DIRECTIVE_return() { notAvailable("return"); }
void handle_DIRECTIVE_resource() { notAvailable("resource"); }
void handle_DIRECTIVE_labelstart() { notAvailable("labelstart"); }
void handle_DIRECTIVE_handlemacro() { notAvailable("handlemacro"); }
void handle_DIRECTIVE_movenexttext() { notAvailable("movenexttext"); }

}  // namespace vorak
