/* Records and values shared with plug-ins. Plain C, so a plug-in written in C
   includes this header alone; the compiler reads and writes the very same
   structs, so a plug-in sees the compiler's data in place, without copies. */
#ifndef VORAK_PLUGIN_INTERFACE_H
#define VORAK_PLUGIN_INTERFACE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint8_t vbool; /* Boolean fields: one byte, 0 or 1 */

/* Enumerations that plug-ins read, with their fixed values. One-byte
   enumerations are stored as uint8_t fields; TVorToken and TJmpType take two. */
enum { ccStdcall = 0, ccCDecl = 1, ccMSX64 = 2 };                 /* TCallingConvention */
enum { ltRef = 0, ltFunc = 1, ltProc = 2, ltLabel = 3 };          /* TLabelType */
enum { ctAnsiString = 0, ctWideString = 1, ctValue = 2, ctFloat = 3 }; /* TConstType */
enum { vmGlobal = 0, vmLocal = 1 };                               /* TVarMode */
enum { dtFloat = 0, dtInteger = 1, dtText = 2 };                  /* TDataType */
enum { vftType = 0, vftFunc = 1 };                                /* TFieldType */
enum { teStart = 0, teComplete = 1 };                             /* TTriggerEvent */
enum {                                                            /* TFixupType */
  ftLabel = 0, ftRelative = 1, ftJmp = 2, ftJmpShort = 3, ftJmpFar = 4, ftConst = 5,
  ftVar = 6, ftLocals = 7, ftCodeRVA = 8, ftLabelAbs = 9, ftAlignment = 10
};
enum {                                                            /* TIdentType */
  itNone = 0, itReservedKeyword = 1, itConst = 2, itType = 3, itGlobalVar = 4,
  itLocalVar = 5, itFunc = 6, itProc = 7, itLabel = 8, itDefine = 9, itMacro = 10,
  itMacroParam = 11, itFuncThis = 12, itProcThis = 13, itGlobalVarPtr = 14,
  itLocalVarPtr = 15, itBaseExpPtr = 16
};
enum {                                                            /* TVorToken */
  ttNone = 1, ttEOF = 2, ttSymbol = 3, ttIdent = 100, ttNumber = 200, ttFloat = 201,
  ttSegment = 204, ttRegister = 205, ttSTreg = 206, ttXMMreg = 207, ttBaseExp = 210,
  ttAnsiString = 300, ttWideString = 301, ttFlag = 302, ttEFlag = 303
};
typedef uint8_t TCallingConvention;
typedef uint8_t TLabelType;
typedef uint8_t TConstType;
typedef uint8_t TVarMode;
typedef uint8_t TDataType;
typedef uint8_t TFieldType;
typedef uint8_t TTriggerEvent;
typedef uint8_t TFixupType;
typedef uint8_t TIdentType;
typedef int16_t TVorToken;
typedef uint16_t TJmpType;

/* TCallMethod */
enum { cmUnknown = 0, cmStdcall = 1, cmCdecl = 2, cmFastcall = 3, cmVorCall = 4 };

/* The global compile flags (get_flags hands out their address). */
typedef struct TCompilerFlags {
  uint32_t cpu_mode;
  uint32_t cpu_bits;
  vbool fpu_enabled;
  uint32_t sse_version;
  uint8_t def_callmeth;
  uint32_t entry_funcid;
  vbool relocations;
  uint32_t path_size;
  uint32_t params_size;
  uint32_t stack_size;
  vbool optimise;
  vbool peek_mode;
  vbool stackframe_on;
  uint8_t m2m_reg; /* a TRegister */
  vbool imm_roll;
  vbool awd;
} TCompilerFlags;

#ifdef __cplusplus
} /* extern "C" */
#include <cstddef>
#include <type_traits>
static_assert(std::is_standard_layout_v<TCompilerFlags>);
static_assert(sizeof(TCompilerFlags) == 48);
static_assert(offsetof(TCompilerFlags, sse_version) == 12);
static_assert(offsetof(TCompilerFlags, def_callmeth) == 16);
static_assert(offsetof(TCompilerFlags, entry_funcid) == 20);
static_assert(offsetof(TCompilerFlags, relocations) == 24);
static_assert(offsetof(TCompilerFlags, stack_size) == 36);
static_assert(offsetof(TCompilerFlags, optimise) == 40);
static_assert(offsetof(TCompilerFlags, m2m_reg) == 43);
static_assert(offsetof(TCompilerFlags, awd) == 45);
#endif

#endif
