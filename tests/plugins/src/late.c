/* Test plug-in: calls that come once the compile is over.

   The builder LATE, at its completion event:
     - compiles the text of VORAK_LATE_EXEC (when set) with func_execute and
       reports the result and the main function's code length before and
       after ("execute R BEFORE AFTER");
     - sets the extension to the text of VORAK_LATE_EXT (when set; one UTF-16
       unit per byte);
     - appends the code of every function.

   Its exit entry calls every one of the 56 entries, first with sane
   arguments and then with hostile ones, and reports what each gave: one line
   "name value" per call, values in decimal, "-" for an entry without a
   result. Out-parameters are preset to 0xA5 bytes and reported as the bytes
   found there afterwards. Before the calls it reports, for each path of
   VORAK_LATE_WRITTEN (separated by '|'), "written SIZE PATH", -1 for a file
   that does not exist. The lines go to the file VORAK_LATE_REPORT (appended),
   the last one being "done". */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "plugins/PluginInterface.h"

static const TVorakCallbacks* vk;

static FILE* report(void) {
  const char* path = getenv("VORAK_LATE_REPORT");
  return path ? fopen(path, "a") : NULL;
}

static uint32_t mainLength(void) {
  uint32_t len = 0;
  vk->Code_Get(0, &len);
  return len;
}

static vbool build(uint32_t event, uint32_t id) {
  (void)id;
  if (event != teComplete) return 1;
  const char* exec = getenv("VORAK_LATE_EXEC");
  if (exec) {
    const uint32_t before = mainLength();
    const vbool r = vk->func_execute(exec, (uint32_t)strlen(exec));
    const uint32_t after = mainLength();
    FILE* f = report();
    if (f) {
      fprintf(f, "execute %u %u %u\n", (unsigned)r, (unsigned)before, (unsigned)after);
      fclose(f);
    }
  }
  const char* ext = getenv("VORAK_LATE_EXT");
  if (ext) {
    const size_t n = strlen(ext);
    vwchar* wide = calloc(n + 1, sizeof(vwchar));
    for (size_t i = 0; i < n; ++i) wide[i] = (unsigned char)ext[i];
    vk->set_fileext(wide);
    free(wide);
  }
  for (uint32_t i = 0, n = vk->Func_Count(); i < n; ++i) vk->File_WriteCode(i);
  return 1;
}

static vbool keyword(void) { return 0; }

/* Bytes of an out-parameter, as hex. */
static void bytesOut(FILE* f, const char* name, const unsigned char* p, size_t n) {
  fprintf(f, "%s ", name);
  for (size_t i = 0; i < n; ++i) fprintf(f, "%02X", p[i]);
  fputc('\n', f);
}

#define NUM(name, expr) fprintf(f, "%s %lld\n", name, (long long)(expr))
#define PTR(name, expr) fprintf(f, "%s %d\n", name, (expr) != NULL)
#define NONE(name, expr) ((expr), fprintf(f, "%s -\n", name))

/* Every entry once, with the arguments of one round. */
static void callAll(FILE* f, int hostile) {
  static const vwchar wide[] = {'h', 'i', 0};
  static const vwchar badExt[] = {'.', '.', '/', 'x', 0};
  static const char bogusText[] = "bogus statement";
  char name[16] = "late";
  unsigned char out[16];
  TFunction* bogusFn = (TFunction*)(uintptr_t)16;
  TFunction* fn = hostile ? bogusFn : vk->Func_Get(0);
  const uint32_t big = 0xFFFFFFFFu;
  const uint32_t idx = hostile ? big : 0;

  NONE("Log_MessageA", vk->Log_MessageA(hostile ? "LATE: fatal exit message" : "LATE: exit message", (vbool)hostile));
  NONE("Log_MessageW", vk->Log_MessageW(hostile ? NULL : wide, (vbool)hostile));
  NUM("RegisterBuilder", vk->RegisterBuilder(hostile ? NULL : "Y", hostile ? NULL : build));
  NONE("File_Commit", vk->File_Commit());
  NUM("File_AddBytes", vk->File_AddBytes(hostile ? NULL : "abc", hostile ? big : 3));
  NUM("File_Len", vk->File_Len());
  NUM("File_ReplaceBytes", vk->File_ReplaceBytes(hostile ? big : 1, hostile ? NULL : "a", hostile ? big : 1));
  memset(out, 0xA5, sizeof out);
  PTR("Code_Get", vk->Code_Get(idx, hostile ? NULL : (uint32_t*)out));
  bytesOut(f, "Code_Get.len", out, 4);
  NUM("Code_Count", vk->Code_Count());
  PTR("Const_Get", vk->Const_Get(idx));
  NUM("Const_Count", vk->Const_Count());
  PTR("Fixup_Get", vk->Fixup_Get(fn, idx));
  NUM("Fixup_Count", vk->Fixup_Count(fn));
  PTR("Func_Get", vk->Func_Get(hostile ? big - 1 : 0));
  NUM("Func_Count", vk->Func_Count());
  NONE("File_WriteCode", vk->File_WriteCode(idx));
  PTR("import_get", vk->import_get(idx, idx));
  NUM("import_count", vk->import_count(idx));
  NUM("ilib_count", vk->ilib_count());
  PTR("ilib_name", vk->ilib_name(idx));
  NONE("fixup_add", vk->fixup_add(hostile ? big : 0, fn, idx, idx, hostile ? 255 : 4, idx));
  NONE("func_emit", vk->func_emit(hostile ? bogusFn : NULL, hostile ? NULL : "\x90", hostile ? big : 1));
  NONE("func_rem", vk->func_rem(fn, hostile ? big : 1, hostile ? big : 1));
  NUM("func_execute", vk->func_execute(hostile ? bogusText : "nop\n", hostile ? (uint32_t)strlen(bogusText) : 4));
  PTR("Var_Get", vk->Var_Get(idx));
  NUM("Var_Count", vk->Var_Count());
  NONE("set_fileext", vk->set_fileext(hostile ? badExt : wide));
  PTR("file_getbuf", vk->file_getbuf());
  NUM("file_writeresources", vk->file_writeresources(idx));
  PTR("get_flags", vk->get_flags());
  NUM("RegisterKeyword", vk->RegisterKeyword(hostile ? NULL : name, hostile ? NULL : keyword));
  NUM("UnregisterKeyword", vk->UnregisterKeyword(hostile ? NULL : name));
  NUM("expect_next_token", vk->expect_next_token(hostile ? big : ttIdent));
  NUM("expect_next_ident", vk->expect_next_ident(hostile ? big : itNone));
  NUM("get_token_size", vk->get_token_size());
  NUM("get_next_token", vk->get_next_token());
  memset(out, 0xA5, sizeof out);
  NONE("token_get_int32", vk->token_get_int32(hostile ? NULL : out));
  bytesOut(f, "token_get_int32.out", out, 4);
  memset(out, 0xA5, sizeof out);
  NONE("get_int64_value", vk->get_int64_value(hostile ? NULL : out));
  bytesOut(f, "get_int64_value.out", out, 8);
  const char* text = vk->get_char_ptr();
  fprintf(f, "get_char_ptr %s\n", text == NULL ? "null" : (*text ? "text" : "empty"));
  PTR("get_wchar_ptr", vk->get_wchar_ptr());
  memset(out, 0xA5, sizeof out);
  NONE("get_real_value", vk->get_real_value(hostile ? NULL : out, hostile ? big : 10));
  bytesOut(f, "get_real_value.out", out, 10);
  NUM("peek_next_token", vk->peek_next_token());
  NUM("vorak_eol", vk->vorak_eol());
  memset(out, 0xA5, sizeof out);
  NUM("vorak_extractline", vk->vorak_extractline(hostile ? NULL : (char*)out, hostile ? -1 : 8));
  bytesOut(f, "vorak_extractline.buf", out, 10);
  NUM("get_token_ident", vk->get_token_ident());
  NUM("token_conv_labelref", vk->token_conv_labelref());
  PTR("token_get_dataptr", vk->token_get_dataptr());
  NUM("vorak_func_index", vk->vorak_func_index(fn));
  NUM("vorak_var_fixupcount", vk->vorak_var_fixupcount());
  PTR("vorak_var_fixup", vk->vorak_var_fixup(idx));
  NUM("vorak_file_setbuffer", vk->vorak_file_setbuffer(hostile ? big : 1, hostile ? NULL : "nop", hostile ? big : 3));
  NUM("file_hasresources", vk->file_hasresources());
  NUM("vorak_res_size", vk->vorak_res_size());
  NUM("vorak_import_total", vk->vorak_import_total());
  NUM("vorak_export_total", vk->vorak_export_total());
  NUM("vorak_fixup_total", vk->vorak_fixup_total());
}

static void onExitImpl(void) {
  FILE* f = report();
  if (!f) return;
  const char* written = getenv("VORAK_LATE_WRITTEN");
  if (written) {
    char* list = strdup(written);
    for (char* p = strtok(list, "|"); p; p = strtok(NULL, "|")) {
      struct stat st;
      fprintf(f, "written %lld %s\n", stat(p, &st) == 0 ? (long long)st.st_size : -1LL, p);
    }
    free(list);
  }
  fprintf(f, "round sane\n");
  fflush(f);
  callAll(f, 0);
  fprintf(f, "round hostile\n");
  fflush(f);
  callAll(f, 1);
  fprintf(f, "done\n");
  fclose(f);
}

void onExit(void) { onExitImpl(); }

const char* onEntry(void* const* table) {
  vk = (const TVorakCallbacks*)table;
  vk->RegisterBuilder("LATE", build);
  return "late";
}
