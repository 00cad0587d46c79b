// Creation and release of the global state.
#include "compiler/driver/Common.h"

#include <iostream>
#include <new>

#include "compiler/driver/Errors.h"
#include "compiler/driver/Log.h"
#include "compiler/driver/Settings.h"
#include "compiler/driver/Utils.h"
#include "compiler/output/FileWriter.h"
#include "compiler/output/ImportManager.h"
#include "compiler/output/ResourceManager.h"
#include "compiler/preprocessor/MacroManager.h"
#include "compiler/source/DefineManager.h"
#include "compiler/source/IdentManager.h"
#include "compiler/statements/BlockStack.h"
#include "compiler/statements/Compiler.h"
#include "compiler/symbols/ConstManager.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/RegisterManager.h"
#include "compiler/symbols/VarManager.h"
#include "encoder/FixupManager.h"
#include "platform/Platform.h"
#include "plugins/PluginManager.h"

namespace vorak {

int64_t frequency64 = 0;
uint32_t fileCounter = 0;
int32_t ptrSize = 4;
TOperand* assignOperand = nullptr;
std::string assignOperandText;
TOperand* flagNullOperand = nullptr;
TCompilerFlags CompileFlags{};
TCallingConvention DefaultCC = ccStdcall;
std::string strVORAK_PATH;
std::string strVORAK_VERSION;

std::vector<TOperand*>* FuncOps = nullptr;
TSettings* Settings = nullptr;
TIdentManager* Idents = nullptr;
TVarManager* VarMan = nullptr;
TFuncManager* FuncMan = nullptr;
TFixupManager* FixMan = nullptr;
TImportManager* Imports = nullptr;
TRegisterManager* RegMan = nullptr;
TResourceManager* ResMan = nullptr;
TBlockStack* blStack = nullptr;
TCompiler* Compiler = nullptr;
TConstManager* Consts = nullptr;
TDefineManager* DefMan = nullptr;
TMacroManager* MacMan = nullptr;
TLog* Log = nullptr;
TPluginManager* Plugins = nullptr;
TFileWriter* DebugASM = nullptr;
TFileWriter* fWriter = nullptr;
bool bPause = true;

void InitVorak() {
  fileCounter = 0;
  ptrSize = 4;
  assignOperand = nullptr;
  assignOperandText.clear();

  flagNullOperand = new TOperand();
  flagNullOperand->setNull();
  flagNullOperand->hint = otFlag;

  CompileFlags = TCompilerFlags{};
  CompileFlags.cpu_mode = 686;
  CompileFlags.fpu_enabled = 1;
  CompileFlags.sse_version = 1;
  CompileFlags.def_callmeth = cmUnknown;
  CompileFlags.optimise = 1;
  CompileFlags.m2m_reg = REG_NONE;
  DefaultCC = ccStdcall;

  strVORAK_PATH = platform::executableFolder();
  strVORAK_VERSION = "Vorak Assembler " + GetVersion(platform::executablePath());
  platform::setConsoleTitle(strVORAK_VERSION);

  FuncOps = new std::vector<TOperand*>();
  Settings = new TSettings();
  Idents = new TIdentManager();
  VarMan = new TVarManager();
  FuncMan = new TFuncManager();
  FixMan = new TFixupManager();
  Imports = new TImportManager();
  RegMan = new TRegisterManager();
  ResMan = new TResourceManager();
  blStack = new TBlockStack();
  Compiler = new TCompiler();
  Consts = new TConstManager();
  DefMan = new TDefineManager();
  Compiler->InitCompiler();
  MacMan = new TMacroManager();
  Log = new TLog();

  const std::string stars(58, '*');
  const std::string blank = "**" + std::string(54, ' ') + "**";
  const size_t pad = strVORAK_VERSION.size() < 49 ? 49 - strVORAK_VERSION.size() : 0;
  Log->Message(stars, colWarning);
  Log->Message(blank, colWarning);
  Log->Message("**     " + strVORAK_VERSION + std::string(pad, ' ') + "**", colWarning);
  Log->Message(blank, colWarning);
  Log->Message(stars, colWarning);

  Plugins = new TPluginManager();
}

namespace {
// Whether a step of shut-down failed.
bool shutDownFailed = false;

// Runs one step of shut-down; a failure is reported the way the top-level
// handler does and shut-down goes on with the next step.
template <typename F>
void shutDownStep(F&& step) {
  try {
    step();
  } catch (...) {
    shutDownFailed = true;
    reportException(std::current_exception());
  }
}

// Frees one global.
template <typename T>
void release(T*& object) {
  T* p = object;
  object = nullptr;
  shutDownStep([p] { delete p; });
}
}  // namespace

bool DeinitVorak() {
  shutDownFailed = false;
  // From here on the callbacks do nothing: a plug-in's exit entry finds no
  // compile, no build and no registry to reach.
  beginHostShutDown();
  // The log and the listing are written before any plug-in code runs again,
  // so that an exit entry can lose neither of them.
  shutDownStep([] {
    if (Log) Log->writeLogFile(true);
  });
  shutDownStep([] {
    if (Settings) Settings->commitListing();
  });
  release(flagNullOperand);
  release(Plugins);
  release(Compiler);
  release(Log);
  release(Settings);
  release(Consts);
  release(DefMan);
  release(Idents);
  release(VarMan);
  release(FuncMan);
  release(FixMan);
  release(Imports);
  release(MacMan);
  release(RegMan);
  release(ResMan);
  release(blStack);
  if (FuncOps) {
    for (TOperand*& op : *FuncOps) release(op);
    release(FuncOps);
  }
  // The listing writer belongs to Settings and the output buffer to the build;
  // neither outlives them.
  DebugASM = nullptr;
  fWriter = nullptr;
  std::cout.flush();
  return !shutDownFailed;
}

void reportException(std::exception_ptr e) {
  std::string line;
  try {
    try {
      std::rethrow_exception(e);
    } catch (const EAbort&) {
      return;  // the fatal error has been printed already
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const EVorakError& err) {
      line = std::string(err.className()) + ": " + err.what();
    } catch (const std::exception& err) {
      line = std::string("Exception: ") + err.what();
    } catch (...) {
      line = "Exception: " + msg::text(msg::UnknownFailure);
    }
  } catch (const std::bad_alloc&) {
    // Out of memory, or too short of it to word another failure: the line
    // is written from its parts, which allocates nothing.
    platform::resetConsoleColour();
    std::cout << "EOutOfMemory: " << msg::row(msg::OutOfMemory).text << '\n';
    return;
  }
  platform::resetConsoleColour();
  std::cout << line << '\n';
}

void pauseAndShutDown() {
  if (Log)
    Log->Message(msg::text(msg::PressEnter));
  else
    std::cout << msg::text(msg::PressEnter) << '\n';
  DeinitVorak();
  std::string ignored;
  std::getline(std::cin, ignored);
}

void finishAfterFailure() {
  // A second failure while shutting down after the first (a plug-in's exit
  // entry failing in a callback, say) ends the process without a second
  // pause and a second shut-down of half-freed state.
  static bool finishing = false;
  if (finishing) platform::exitProcess(bPause ? 0 : 1);
  finishing = true;
  if (!bPause) {
    if (Log) {
      // The exit skips shut-down: the log is written now, without its
      // closing lines.
      try {
        Log->writeLogFile(false);
      } catch (...) {
        reportException(std::current_exception());
      }
      Log->flush();
    }
    platform::exitProcess(1);
  }
  pauseAndShutDown();
  platform::exitProcess(0);
}

}  // namespace vorak
