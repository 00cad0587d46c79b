// Test fixture for the compile driver and the statement loop: fresh global
// state, a scratch project folder, a builder registered in the test itself,
// and one call that compiles a project text and hands back what it printed.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/driver/Common.h"
#include "compiler/driver/Errors.h"
#include "compiler/driver/Settings.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/statements/Compiler.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "plugins/PluginManager.h"
#include "support/Disasm.h"
#include "support/Fresh.h"
#include "support/RunVorak.h"

namespace vorak::test {

// Every call of the test builder: (event, builder ID).
inline std::vector<std::pair<uint32_t, uint32_t>>& builderCalls() {
  static std::vector<std::pair<uint32_t, uint32_t>> calls;
  return calls;
}

inline vbool testBuilder(uint32_t event, uint32_t builderID) {
  builderCalls().emplace_back(event, builderID);
  return 1;
}

class CompileTest : public FreshVorak {
 protected:
  void SetUp() override {
    FreshVorak::SetUp();
    builderCalls().clear();
    if (!dir_ || !keepDir_) dir_ = std::make_unique<TempDir>();
    keepDir_ = false;
    Settings->setProjectPath(dir() + "/");
    // The standard include that the build puts beside the executable.
    Settings->setCompilerPath(std::string(VORAK_BIN_DIR) + "/");
    if (registerTestBuilder_) Plugins->registerBuilder("TEST", &testBuilder);
  }

  // A fresh run, for table rows that need one each; in a fresh project
  // folder unless keepFolder.
  void reset(bool keepFolder = false) {
    DeinitVorak();
    keepDir_ = keepFolder;
    SetUp();
  }

  const std::string& dir() const { return dir_->path(); }

  // Writes a file under the project folder (folders made as needed).
  void write(const std::string& name, std::string_view text) {
    const std::filesystem::path p = std::filesystem::path(dir()) / name;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
  }

  // Compiles text as the project "p.vor"; returns what the compile printed.
  std::string compile(std::string_view text) {
    write("p.vor", text);
    return captureStdout([&] {
      Compiler->LoadProject(dir() + "/p.vor");
      Compiler->Compile();
    });
  }
  // The same with "program TEST;" in front, on a line of its own.
  std::string compileBody(std::string_view body) { return compile("program TEST;\n" + std::string(body)); }

  // Compiles text, which must stop the compile; returns the message's first line.
  std::string fatal(std::string_view text) {
    write("p.vor", text);
    std::string out;
    out = captureStdout([&] {
      EXPECT_THROW(
          {
            Compiler->LoadProject(dir() + "/p.vor");
            Compiler->Compile();
          },
          EAbort);
    });
    return firstLine(out);
  }
  std::string fatalBody(std::string_view body) { return fatal("program TEST;\n" + std::string(body)); }

  static std::string firstLine(const std::string& out) {
    const size_t end = out.find_first_of("\r\n");
    return end == std::string::npos ? out : out.substr(0, end);
  }

  // The machine code of a function record (the main program by default).
  static std::string code(const TFunction* f = nullptr) {
    if (!f) f = Compiler->MainFunc();
    return std::string(vorStrView(f->Buffer));
  }
  // Its instructions as Capstone prints them, one per entry.
  static std::vector<std::string> disasm(const TFunction* f = nullptr, int bits = 32) {
    std::vector<std::string> out;
    for (const Decoded& d : decodeAll(code(f), bits)) out.push_back(d.text);
    return out;
  }
  static std::vector<TFixup*>& fixups(const TFunction* f = nullptr) {
    return fixupList(f ? f : Compiler->MainFunc());
  }
  // The function record declared under name (nil when there is none).
  static TFunction* funcNamed(std::string_view name) {
    for (TFunction* f : FuncMan->FuncList())
      if (vorStrView(f->Name) == name) return f;
    return nullptr;
  }

  bool registerTestBuilder_ = true;

 private:
  std::unique_ptr<TempDir> dir_;
  bool keepDir_ = false;
};

}  // namespace vorak::test
