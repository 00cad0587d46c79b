/* Records and values shared with plug-ins. Plain C that includes nothing of
   the project, so the encoder, the compiler and every plug-in can share it;
   the compiler reads and writes the very same structs, so a plug-in sees the
   compiler's data in place, without copies. Compiled as C++ the declarations
   sit in namespace vorak (the layout is the same either way).
   docs/plugin-records.md describes the layout. */
#ifndef VORAK_PLUGIN_RECORDS_H
#define VORAK_PLUGIN_RECORDS_H

#include <stdint.h>

#ifdef __cplusplus
namespace vorak {
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
/* The offset of an ftLocals fixup: 0, or lfKeepFlags when the body saves the
   caller's flags after its locals room, which must then leave the flags as
   they are (lea instead of sub). */
enum { lfKeepFlags = 1 };
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
typedef int16_t TJmpType;

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

/* TJmpType: 0-15 are the x86 condition codes. */
enum {
  jtJO = 0, jtJNO = 1, jtJB = 2, jtJNAE = 2, jtJC = 2, jtJAE = 3, jtJNB = 3, jtJNC = 3,
  jtJE = 4, jtJZ = 4, jtJNE = 5, jtJNZ = 5, jtJBE = 6, jtJNA = 6, jtJA = 7, jtJNBE = 7,
  jtJS = 8, jtJNS = 9, jtJP = 10, jtJPE = 10, jtJNP = 11, jtJPO = 11, jtJL = 12, jtJNGE = 12,
  jtJGE = 13, jtJNL = 13, jtJLE = 14, jtJNG = 14, jtJG = 15, jtJNLE = 15,
  jtJMP = 16, /* unconditional; also the value of every fixup that is not a jump */
  jtLOOPNE = 112, jtLOOPNZ = 112, jtLOOPE = 113, jtLOOPZ = 113, jtLOOP = 114,
  jtJECXZ = 115, jtJCXZ = 999, jtIGNORE = 1000
};

/* Strings and dynamic arrays in the records below.

   A string field (char*) points at the first of its bytes. The bytes are
   followed by a 0 byte, and the 4 bytes before the first one hold the length
   in bytes (uint32_t), so a string may hold 0 bytes of its own (machine code
   does). The empty string is always NULL, never a block of length 0.

   A dynamic array field points at its first element; the 4 bytes before it
   hold the element count (uint32_t). The empty array is always NULL.

   Plug-ins read characters, lengths and counts and never write or free them.
   vorak_str_len and vorak_arr_count read the length of either kind. */
#define VORAK_BLOCK_COUNT(p) ((p) ? ((const uint32_t*)(const void*)(p))[-1] : 0u)
static inline uint32_t vorak_str_len(const char* s) { return VORAK_BLOCK_COUNT(s); }
static inline uint32_t vorak_arr_count(const void* a) { return VORAK_BLOCK_COUNT(a); }

/* Host objects that plug-ins reach only through callbacks. */
typedef void* TFixupListRef;   /* the fixups of one function */
typedef void* TUsesListRef;    /* register names saved by "uses" */
typedef void* TFuncListRef;    /* functions (DependFuncs, the calls of a library) */

struct TOperand;  /* an operand record of the host; plug-ins only hold pointers */
struct TVarType;
struct TVar;
struct TFunction;
struct TFixup;

/* A placeholder that the builder fills (fixup record). */
typedef struct TFixup {
  TFixupType hint;
  /* The mode (16, 32 or 64) in force when the fixup was filed: that of the
     code it sits in, which in a file that changes mode may differ from the
     build's; 0 stands for the build's mode. It fills a padding byte: the
     fields around it keep their offsets. */
  uint8_t bits;
  uint32_t position;  /* in the owning function's code, or in the variable's data */
  uint8_t size;       /* bytes of the placeholder */
  uint32_t offset;    /* added to the resolved target */
  TJmpType jmp;
  void* parentfunc;   /* owning TFunction; the owning TVar for a variable fixup; or NULL */
  union {
    uint32_t index;   /* a label's function index */
    void* data;       /* the target record (TVar, TConst) */
  };
} TFixup;

/* One declared parameter. */
typedef struct TFuncParam {
  struct TVarType* type_;
  char* name;
} TFuncParam;

/* A function, procedure or label. */
typedef struct TFunction {
  struct TFunction* Parent;      /* code that holds a placed label; NULL for functions */
  char* Buffer;                  /* the machine code (a string; NULL when empty) */
  uint32_t BufLen;               /* its length in bytes */
  char* Name;
  char* ImportName;              /* name in the import library */
  uint32_t Address;              /* 0xFFFFFFFF until placed */
  int32_t DLLIndex;              /* import library, -1 for none */
  uint32_t FuncIndex;            /* index in the function list */
  TLabelType Type_;
  vbool IsExported;
  vbool IsCalled;                /* reachable */
  struct TVarType* ReturnType;
  TCallingConvention CallConvention;
  TFuncParam* Params;            /* dynamic array */
  uint32_t ParamCount;
  uint32_t ParamSize;
  uint32_t LocalCount;
  uint32_t LocalSize;
  uint32_t LocalOffset;          /* bytes pushed since the entry */
  uint32_t symbolindex;
  vbool DeclareOnly;
  struct TVar* CallData;         /* pointer variable of a function pointer */
  vbool bMinParams;              /* further, uncounted arguments */
  TFixupListRef FixupList;
  TUsesListRef UsesList;
  TFuncListRef DependFuncs;
  struct TOperand** DefaultParams; /* dynamic array, NULL entries where none */
  vbool StackFrame;
  struct TFunction* DeclParent;  /* the function being compiled at creation */
} TFunction;

/* A pooled constant. */
typedef struct TConst {
  TConstType type_;
  char* varname;        /* first declaration's name; NULL for a literal */
  vbool active;         /* used; only used constants reach the builder */
  uint32_t address;
  uint32_t symbolindex;
  char* str;            /* the value as UTF-8 text */
  int64_t int_;         /* the numeric value */
  long double ext;      /* the numeric value, x87 80-bit extended */
  uint8_t size;         /* byte size; for strings the low 8 bits of the length */
  struct TFixup* fixup;
} TConst;

/* A variable. */
typedef struct TVar {
  uint32_t ident;       /* identifier index */
  char* name;
  TVarMode mode;
  int32_t address;      /* 0 for a global, the frame offset of a local or parameter */
  vbool active;
  vbool initialised;    /* has static initial data */
  uint8_t* content;     /* dynamic array: type_->size * multiplier bytes */
  uint32_t multiplier;  /* element count */
  struct TVarType* type_;
  uint32_t symbolindex;
  struct TFixup* fixup; /* address of another global as initial data, or NULL */
} TVar;

/* A member of a record type. */
typedef struct TVarField {
  TFieldType ft;
  TVar variable;        /* name (lower case), offset in address, count in multiplier, type */
  struct TFunction* func; /* the method for vftFunc */
} TVarField;

/* A type. One pair of bounds is meaningful, chosen by vt. */
typedef struct TVarType {
  uint32_t ident;
  char* name;
  uint32_t size;        /* bytes of one element */
  vbool signed_;        /* lower bound below zero */
  TDataType vt;
  uint32_t fieldcount;
  TVarField* fields;    /* dynamic array */
  uint32_t largestfield;
  vbool isPointer;
  vbool dynSize;        /* follows the pointer size */
  union {
    int64_t int_lower;
    long double real_lower;
  };
  union {
    int64_t int_upper;
    long double real_upper;
  };
} TVarType;

/* An import library and the functions of it that the program calls. */
typedef struct TImports {
  char* name;           /* the library name (a string) */
  TFuncListRef funcs;
  uint32_t refs;
} TImports;

#ifdef __cplusplus
} /* extern "C" */
} /* namespace vorak */
#include <cstddef>
#include <type_traits>

namespace vorak {
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

// The record layouts below are what docs/plugin-records.md documents (64-bit Linux).
#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
#define VORAK_AT(T, f, o) static_assert(offsetof(T, f) == (o), #T "." #f)
static_assert(std::is_standard_layout_v<TFixup> && sizeof(TFixup) == 40);
VORAK_AT(TFixup, hint, 0); VORAK_AT(TFixup, bits, 1); VORAK_AT(TFixup, position, 4); VORAK_AT(TFixup, size, 8);
VORAK_AT(TFixup, offset, 12); VORAK_AT(TFixup, jmp, 16); VORAK_AT(TFixup, parentfunc, 24);
VORAK_AT(TFixup, index, 32); VORAK_AT(TFixup, data, 32);

static_assert(std::is_standard_layout_v<TFuncParam> && sizeof(TFuncParam) == 16);
VORAK_AT(TFuncParam, type_, 0); VORAK_AT(TFuncParam, name, 8);

static_assert(std::is_standard_layout_v<TFunction> && sizeof(TFunction) == 176);
VORAK_AT(TFunction, Parent, 0); VORAK_AT(TFunction, Buffer, 8); VORAK_AT(TFunction, BufLen, 16);
VORAK_AT(TFunction, Name, 24); VORAK_AT(TFunction, ImportName, 32);
VORAK_AT(TFunction, Address, 40); VORAK_AT(TFunction, DLLIndex, 44);
VORAK_AT(TFunction, FuncIndex, 48); VORAK_AT(TFunction, Type_, 52);
VORAK_AT(TFunction, IsExported, 53); VORAK_AT(TFunction, IsCalled, 54);
VORAK_AT(TFunction, ReturnType, 56); VORAK_AT(TFunction, CallConvention, 64);
VORAK_AT(TFunction, Params, 72); VORAK_AT(TFunction, ParamCount, 80);
VORAK_AT(TFunction, ParamSize, 84); VORAK_AT(TFunction, LocalCount, 88);
VORAK_AT(TFunction, LocalSize, 92); VORAK_AT(TFunction, LocalOffset, 96);
VORAK_AT(TFunction, symbolindex, 100); VORAK_AT(TFunction, DeclareOnly, 104);
VORAK_AT(TFunction, CallData, 112); VORAK_AT(TFunction, bMinParams, 120);
VORAK_AT(TFunction, FixupList, 128); VORAK_AT(TFunction, UsesList, 136);
VORAK_AT(TFunction, DependFuncs, 144); VORAK_AT(TFunction, DefaultParams, 152);
VORAK_AT(TFunction, StackFrame, 160); VORAK_AT(TFunction, DeclParent, 168);

static_assert(std::is_standard_layout_v<TConst> && sizeof(TConst) == 80);
VORAK_AT(TConst, type_, 0); VORAK_AT(TConst, varname, 8); VORAK_AT(TConst, active, 16);
VORAK_AT(TConst, address, 20); VORAK_AT(TConst, symbolindex, 24); VORAK_AT(TConst, str, 32);
VORAK_AT(TConst, int_, 40); VORAK_AT(TConst, ext, 48); VORAK_AT(TConst, size, 64);
VORAK_AT(TConst, fixup, 72);

static_assert(std::is_standard_layout_v<TVar> && sizeof(TVar) == 72);
VORAK_AT(TVar, ident, 0); VORAK_AT(TVar, name, 8); VORAK_AT(TVar, mode, 16);
VORAK_AT(TVar, address, 20); VORAK_AT(TVar, active, 24); VORAK_AT(TVar, initialised, 25);
VORAK_AT(TVar, content, 32); VORAK_AT(TVar, multiplier, 40); VORAK_AT(TVar, type_, 48);
VORAK_AT(TVar, symbolindex, 56); VORAK_AT(TVar, fixup, 64);

static_assert(std::is_standard_layout_v<TVarField> && sizeof(TVarField) == 88);
VORAK_AT(TVarField, ft, 0); VORAK_AT(TVarField, variable, 8); VORAK_AT(TVarField, func, 80);

static_assert(std::is_standard_layout_v<TVarType> && sizeof(TVarType) == 80);
VORAK_AT(TVarType, ident, 0); VORAK_AT(TVarType, name, 8); VORAK_AT(TVarType, size, 16);
VORAK_AT(TVarType, signed_, 20); VORAK_AT(TVarType, vt, 21); VORAK_AT(TVarType, fieldcount, 24);
VORAK_AT(TVarType, fields, 32); VORAK_AT(TVarType, largestfield, 40);
VORAK_AT(TVarType, isPointer, 44); VORAK_AT(TVarType, dynSize, 45);
VORAK_AT(TVarType, int_lower, 48); VORAK_AT(TVarType, real_lower, 48);
VORAK_AT(TVarType, int_upper, 64); VORAK_AT(TVarType, real_upper, 64);

static_assert(std::is_standard_layout_v<TImports> && sizeof(TImports) == 24);
VORAK_AT(TImports, name, 0); VORAK_AT(TImports, funcs, 8); VORAK_AT(TImports, refs, 16);
#undef VORAK_AT
#endif
}  // namespace vorak
#endif

#endif
