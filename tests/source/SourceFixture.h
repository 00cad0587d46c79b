// Test fixture for the reader, the tokenizer and the resolver: fresh global
// state in 32-bit mode and source texts loaded as the current file.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "compiler/driver/Common.h"
#include "compiler/driver/Errors.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/statements/Compiler.h"
#include "support/Fresh.h"

namespace vorak::test {

class SourceTest : public FreshVorak {
 protected:
  void SetUp() override {
    FreshVorak::SetUp();
    CompileFlags.cpu_bits = 32;
    ptrSize = 4;
  }

  // The text as a buffer named "t.vor" (owned by the compiler), made current.
  TAFile* load(std::string_view text) {
    auto* f = new TAFile(false);
    f->loadBuffer("t.vor", std::string(text), nullptr);
    Compiler->setCurFile(f);
    return f;
  }
  TCurrentToken& cur() { return *Compiler->CurToken(); }
  TCurrentToken& peek() { return *Compiler->PeekToken(); }

  // Runs f, which must stop the compile, and returns the message's first line.
  template <typename F>
  std::string fatalLine(F&& f) {
    std::string out = captureStdout([&] { EXPECT_THROW(f(), EAbort); });
    const size_t end = out.find_first_of("\r\n");
    return end == std::string::npos ? out : out.substr(0, end);
  }
};

}  // namespace vorak::test
