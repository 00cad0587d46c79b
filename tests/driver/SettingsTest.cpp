// Settings, the -asmdebug listing writer and the release of global state.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "compiler/driver/Log.h"
#include "compiler/driver/Settings.h"
#include "compiler/output/FileWriter.h"
#include "platform/Platform.h"
#include "support/Fresh.h"

namespace vorak {
namespace {

namespace fs = std::filesystem;

class SettingsTest : public test::FreshVorak {
 protected:
  void SetUp() override {
    test::FreshVorak::SetUp();
    dir_ = fs::temp_directory_path() / ("vorak_settings_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    test::FreshVorak::TearDown();
    fs::remove_all(dir_);
  }
  fs::path dir_;
};

TEST_F(SettingsTest, StartsFromTheCompilerFolder) {
  EXPECT_EQ(Settings->CompilerPath(), platform::executableFolder());
  EXPECT_FALSE(Settings->WriteLog());
  EXPECT_FALSE(Settings->ASMDebug());
  EXPECT_EQ(DebugASM, nullptr);
  EXPECT_EQ(Settings->ProgramStr(), "");
  EXPECT_EQ(Settings->IncludePath(), "");
}

TEST_F(SettingsTest, ListingIsWrittenOnlyAtShutDown) {
  Settings->setProjectPath(dir_.string() + "/");
  Settings->SetASMDebug(true, "prog.asm");
  ASSERT_NE(DebugASM, nullptr);
  EXPECT_EQ(DebugASM->Filename(), dir_.string() + "/prog.asm");
  DebugASM->addFileText("nop\r\n");
  EXPECT_FALSE(fs::exists(dir_ / "prog.asm"));
  EXPECT_TRUE(DeinitVorak());
  std::ifstream in(dir_ / "prog.asm", std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), "nop\r\n");
  EXPECT_EQ(DebugASM, nullptr);
  ::testing::internal::CaptureStdout();
  InitVorak();
  ::testing::internal::GetCapturedStdout();
}

TEST_F(SettingsTest, FailureWhileShuttingDownIsReportedAndShutDownCompletes) {
  Settings->setProjectPath((dir_ / "no" / "such").string() + "/");
  Settings->SetASMDebug(true, "prog.asm");
  bool done = true;
  const std::string out = captureStdout([&] { done = DeinitVorak(); });
  EXPECT_EQ(out.rfind("EFCreateError: Cannot create file \"", 0), 0u) << out;
  EXPECT_FALSE(done);  // a failed run
  // Everything was released all the same, and a new run starts cleanly.
  EXPECT_EQ(Settings, nullptr);
  EXPECT_EQ(Log, nullptr);
  EXPECT_EQ(Compiler, nullptr);
  ::testing::internal::CaptureStdout();
  InitVorak();
  ::testing::internal::GetCapturedStdout();
  EXPECT_NE(Log, nullptr);
}

TEST_F(SettingsTest, InitialCompileFlags) {
  EXPECT_EQ(CompileFlags.cpu_mode, 686u);
  EXPECT_EQ(CompileFlags.cpu_bits, 0u);
  EXPECT_EQ(CompileFlags.fpu_enabled, 1);
  EXPECT_EQ(CompileFlags.sse_version, 1u);
  EXPECT_EQ(CompileFlags.optimise, 1);
  EXPECT_EQ(CompileFlags.stackframe_on, 1);  // the compiler object turns it on
  EXPECT_EQ(CompileFlags.m2m_reg, REG_NONE);
  EXPECT_EQ(CompileFlags.imm_roll, 0);
  EXPECT_EQ(CompileFlags.awd, 0);
  EXPECT_EQ(ptrSize, 4);
  EXPECT_EQ(DefaultCC, ccStdcall);
  ASSERT_NE(flagNullOperand, nullptr);
  EXPECT_EQ(flagNullOperand->hint, otFlag);
  EXPECT_EQ(flagNullOperand->reg_base, REG_NONE);
}

TEST_F(SettingsTest, BannerIsFiveFramedLines) {
  const std::string stars(58, '*');
  const std::string blank = "**" + std::string(54, ' ') + "**";
  const std::string version = "Vorak Assembler " + platform::fileVersion();
  ASSERT_LT(version.size(), 49u);
  const std::string middle = "**     " + version + std::string(49 - version.size(), ' ') + "**";
  EXPECT_EQ(banner_, stars + "\n" + blank + "\n" + middle + "\n" + blank + "\n" + stars + "\n");
  EXPECT_EQ(middle.size(), 58u);
}

}  // namespace
}  // namespace vorak
