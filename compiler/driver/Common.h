// The compiler's global state: every long-lived object of a run, created by
// InitVorak and freed by DeinitVorak, in fixed orders.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "encoder/Operand.h"
#include "plugins/PluginInterface.h"

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

// Builds the global state. May run again after DeinitVorak in one process.
void InitVorak();
// Frees the global state; an exception while freeing one object is reported
// and the rest is still freed.
void DeinitVorak();

}  // namespace vorak
