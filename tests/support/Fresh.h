// Test fixture: every test starts from freshly built global state and frees
// it again, exactly as one run of the compiler does.
#pragma once

#include <gtest/gtest.h>

#include "compiler/driver/Common.h"

namespace vorak::test {

class FreshVorak : public ::testing::Test {
 protected:
  void SetUp() override {
    ::testing::internal::CaptureStdout();  // the banner
    InitVorak();
    banner_ = ::testing::internal::GetCapturedStdout();
  }
  void TearDown() override { DeinitVorak(); }

  // Runs f with standard output captured and returns what it printed.
  template <typename F>
  std::string captureStdout(F&& f) {
    ::testing::internal::CaptureStdout();
    try {
      f();
    } catch (...) {
      ::testing::internal::GetCapturedStdout();
      throw;
    }
    return ::testing::internal::GetCapturedStdout();
  }

  std::string banner_;
};

}  // namespace vorak::test
