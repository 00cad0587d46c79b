// The compiler's global state: every long-lived object of a run, created by
// InitVorak and freed by DeinitVorak, in fixed orders.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "encoder/Operand.h"
#include "plugins/PluginRecords.h"

namespace vorak {

class TSettings;
class TIdentManager;
class TVarManager;
class TFuncManager;
class TFixupManager;
class TImportManager;
class TRegisterManager;
class TResourceManager;
class TBlockStack;
class TCompiler;
class TConstManager;
class TDefineManager;
class TMacroManager;
class TLog;
class TPluginManager;
class TFileWriter;

extern int64_t frequency64;
extern uint32_t fileCounter;
extern int32_t ptrSize;
extern TOperand* assignOperand;
extern std::string assignOperandText;
extern TOperand* flagNullOperand;
extern TCompilerFlags CompileFlags;
extern TCallingConvention DefaultCC;
extern std::string strVORAK_PATH;
extern std::string strVORAK_VERSION;

extern std::vector<TOperand*>* FuncOps;
extern TSettings* Settings;
extern TIdentManager* Idents;
extern TVarManager* VarMan;
extern TFuncManager* FuncMan;
extern TFixupManager* FixMan;
extern TImportManager* Imports;
extern TRegisterManager* RegMan;
extern TResourceManager* ResMan;
extern TBlockStack* blStack;
extern TCompiler* Compiler;
extern TConstManager* Consts;
extern TDefineManager* DefMan;
extern TMacroManager* MacMan;
extern TLog* Log;
extern TPluginManager* Plugins;
extern TFileWriter* DebugASM;
extern TFileWriter* fWriter;

// False under -nopause: a failure then ends the process at once with code 1.
extern bool bPause;

// Builds the global state. May run again after DeinitVorak in one process.
void InitVorak();
// Frees the global state: first the log and the listing are written, then
// the plug-ins' exit entries run and the rest is freed. A failure while
// writing or freeing one object is reported and the rest is still done;
// false when there was one.
bool DeinitVorak();

// Prints the line for a failure that is not the silent abort (class name,
// ": ", message), straight to standard output, without colour or log.
void reportException(std::exception_ptr e);
// Ends the run after a failure as the top-level handler does: with -nopause
// at once with exit code 1; otherwise the pause line, shut-down and code 0.
// Plug-in callbacks use it so that no exception unwinds through a plug-in.
[[noreturn]] void finishAfterFailure();
// The end of every run that pauses: the pause line, shut-down, one line of input.
void pauseAndShutDown();

}  // namespace vorak
