/* The plug-in interface: the entry points a plug-in exports and the table of
   callbacks it is handed, over the records of PluginRecords.h. Plain C, so a
   plug-in written in C includes this header alone. */
#ifndef VORAK_PLUGIN_INTERFACE_H
#define VORAK_PLUGIN_INTERFACE_H

#include "plugins/PluginRecords.h"

#ifdef __cplusplus
namespace vorak {
extern "C" {
#endif

/* ---- Entry points and the callback table ----------------------------------

   A plug-in is a shared library exporting "onEntry" (required), "onExit" and
   "onFileEntry". All calls use the platform's C calling convention. Boolean
   arguments and results are one byte (vbool); enumeration arguments are
   passed as uint32_t with the value in the low bits. Wide-character texts
   are UTF-16 (uint16_t units, NUL-terminated). */
typedef uint16_t vwchar;

typedef const char* (*TDLLEntry)(void* const* table);
typedef void (*TDLLExit)(void);
typedef vbool (*TOnFileEntry)(uint32_t fileID, const char* pCode, uint32_t len);
typedef vbool (*TRBCallback)(uint32_t event, uint32_t builderID);
typedef vbool (*TKeywordEvent)(void);

/* The table "onEntry" receives: 56 function pointers in this order. A C
   plug-in may read it through this struct: (const TVorakCallbacks*)table. */
typedef struct TVorakCallbacks {
  void (*Log_MessageA)(const char* msg, vbool fatal);                           /* 0 */
  void (*Log_MessageW)(const vwchar* msg, vbool fatal);                         /* 1 */
  int32_t (*RegisterBuilder)(const char* name, TRBCallback cb);                 /* 2 */
  void (*File_Commit)(void);                                                    /* 3 */
  uint32_t (*File_AddBytes)(const void* bytes, uint32_t len);                   /* 4 */
  uint32_t (*File_Len)(void);                                                   /* 5 */
  uint32_t (*File_ReplaceBytes)(uint32_t pos, const void* bytes, uint32_t len); /* 6 */
  const void* (*Code_Get)(uint32_t i, uint32_t* len);                           /* 7 */
  uint32_t (*Code_Count)(void);                                                 /* 8 */
  TConst* (*Const_Get)(uint32_t i);                                             /* 9 */
  uint32_t (*Const_Count)(void);                                                /* 10 */
  TFixup* (*Fixup_Get)(TFunction* fn, uint32_t i);                              /* 11 */
  uint32_t (*Fixup_Count)(TFunction* fn);                                       /* 12 */
  TFunction* (*Func_Get)(uint32_t i);                                           /* 13 */
  uint32_t (*Func_Count)(void);                                                 /* 14 */
  void (*File_WriteCode)(uint32_t i);                                           /* 15 */
  TFunction* (*import_get)(uint32_t ilib, uint32_t i);                          /* 16 */
  uint32_t (*import_count)(uint32_t ilib);                                      /* 17 */
  uint32_t (*ilib_count)(void);                                                 /* 18 */
  const char* (*ilib_name)(uint32_t ilib);                                      /* 19 */
  void (*fixup_add)(uint32_t ft, TFunction* func, uint32_t index, uint32_t pos, uint32_t size,
                    uint32_t ofs);                                              /* 20 */
  void (*func_emit)(TFunction* fn, const void* p, uint32_t len);                /* 21 */
  void (*func_rem)(TFunction* fn, uint32_t start, uint32_t len);                /* 22 */
  vbool (*func_execute)(const char* c, uint32_t len);                           /* 23 */
  TVar* (*Var_Get)(uint32_t i);                                                 /* 24 */
  uint32_t (*Var_Count)(void);                                                  /* 25 */
  void (*set_fileext)(const vwchar* s);                                         /* 26 */
  void* (*file_getbuf)(void);                                                   /* 27 */
  uint32_t (*file_writeresources)(uint32_t rva);                                /* 28 */
  TCompilerFlags* (*get_flags)(void);                                           /* 29 */
  uint32_t (*RegisterKeyword)(const char* name, TKeywordEvent callback);        /* 30 */
  vbool (*UnregisterKeyword)(const char* name);                                 /* 31 */
  int32_t (*expect_next_token)(uint32_t tk);                                    /* 32 */
  int32_t (*expect_next_ident)(uint32_t tk);                                    /* 33 */
  uint32_t (*get_token_size)(void);                                             /* 34 */
  uint32_t (*get_next_token)(void);                                             /* 35 */
  void (*token_get_int32)(void* p);                                             /* 36 */
  void (*get_int64_value)(void* p);                                             /* 37 */
  const char* (*get_char_ptr)(void);                                            /* 38 */
  const void* (*get_wchar_ptr)(void);                                           /* 39 */
  void (*get_real_value)(void* p, uint32_t size);                               /* 40 */
  uint32_t (*peek_next_token)(void);                                            /* 41 */
  vbool (*vorak_eol)(void);                                                     /* 42 */
  int32_t (*vorak_extractline)(char* buf, int32_t maxlen);                      /* 43 */
  int32_t (*get_token_ident)(void);                                             /* 44 */
  uint32_t (*token_conv_labelref)(void);                                        /* 45 */
  void* (*token_get_dataptr)(void);                                             /* 46 */
  uint32_t (*vorak_func_index)(TFunction* fn);                                  /* 47 */
  uint32_t (*vorak_var_fixupcount)(void);                                       /* 48 */
  TFixup* (*vorak_var_fixup)(uint32_t index);                                   /* 49 */
  vbool (*vorak_file_setbuffer)(uint32_t fileid, const char* buf, uint32_t len); /* 50 */
  vbool (*file_hasresources)(void);                                             /* 51 */
  int32_t (*vorak_res_size)(void);                                              /* 52 */
  int32_t (*vorak_import_total)(void);                                          /* 53 */
  int32_t (*vorak_export_total)(void);                                          /* 54 */
  int32_t (*vorak_fixup_total)(void);                                           /* 55 */
} TVorakCallbacks;

#ifdef __cplusplus
} /* extern "C" */
} /* namespace vorak */

namespace vorak {
static_assert(sizeof(TVorakCallbacks) == 56 * sizeof(void*), "the callback table has 56 entries");
}  // namespace vorak
#endif

#endif
