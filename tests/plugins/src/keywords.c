/* Test plug-in with language keywords: one that emits bytes, one that
   compiles a text through the compiler, one that calls a label (placed or
   not yet), one that declines, one that reports what the token callbacks
   read, and one that stops the compile. */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "plugins/PluginInterface.h"

static const TVorakCallbacks* vk;

static void logf_(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
static void logf_(const char* fmt, ...) {
  char line[2048];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  vk->Log_MessageA(line, 0);
}

static void fatal(const char* msg) { vk->Log_MessageA(msg, 1); }

static int isSymbol(const char* s) { return strcmp(vk->get_char_ptr(), s) == 0; }

static void expectSemicolon(void) {
  if (vk->expect_next_token(ttSymbol) != ttSymbol || !isSymbol(";")) fatal("KW: \";\" expected");
}

/* emit N, N, ...; : the numbers' low bytes into the function being compiled. */
static vbool kwEmit(void) {
  for (;;) {
    if (vk->get_next_token() != ttNumber) fatal("KW: emit takes numbers");
    int32_t v = 0;
    vk->token_get_int32(&v);
    uint8_t b = (uint8_t)v;
    vk->func_emit(NULL, &b, 1);
    if (vk->get_next_token() != ttSymbol) fatal("KW: \",\" or \";\" expected");
    if (isSymbol(";")) return 1;
    if (!isSymbol(",")) fatal("KW: \",\" or \";\" expected");
  }
}

/* compile "text"; : the text compiled in place. */
static vbool kwCompile(void) {
  if (vk->expect_next_token(ttAnsiString) != ttAnsiString) fatal("KW: compile takes a string");
  /* The token changes while the text compiles: keep a copy. */
  const char* s = vk->get_char_ptr();
  size_t n = strlen(s);
  char* text = malloc(n + 1);
  memcpy(text, s, n + 1);
  expectSemicolon();
  vbool ok = vk->func_execute(text, (uint32_t)n);
  free(text);
  if (!ok) fatal("KW: func_execute failed");
  return 1;
}

/* callref NAME; : a call to a label, placed already or not yet. */
static vbool kwCallRef(void) {
  if (vk->get_next_token() != ttIdent) fatal("KW: callref takes a name");
  uint32_t index;
  const int32_t it = vk->get_token_ident();
  if (it == itNone) {
    index = vk->token_conv_labelref();
    logf_("KW: callref %s is a new reference, index %u", vk->get_char_ptr(), index);
  } else if (it == itLabel || it == itProc || it == itFunc) {
    index = vk->vorak_func_index((TFunction*)vk->token_get_dataptr());
    logf_("KW: callref %s is known, index %u", vk->get_char_ptr(), index);
  } else {
    fatal("KW: callref takes a label");
    return 0;
  }
  static const uint8_t call[5] = {0xE8, 0, 0, 0, 0};
  vk->func_emit(NULL, call, 5);
  /* The field is the last four bytes emitted. */
  vk->fixup_add(ftLabel, vk->Func_Get(0xFFFFFFFFu), index, (uint32_t)-4, 4, 0);
  expectSemicolon();
  return 1;
}

/* labelabs INDEX; : mov ebx with the address of the label of that raw
   function index, whatever the index names. */
static vbool kwLabelAbs(void) {
  if (vk->get_next_token() != ttNumber) fatal("KW: labelabs takes an index");
  int32_t index = 0;
  vk->token_get_int32(&index);
  static const uint8_t mov[5] = {0xBB, 0, 0, 0, 0};
  vk->func_emit(NULL, mov, 5);
  vk->fixup_add(ftLabelAbs, vk->Func_Get(0xFFFFFFFFu), (uint32_t)index, (uint32_t)-4, 4, 0);
  expectSemicolon();
  return 1;
}

/* nop: read a token, then leave the statement to the compiler. */
static vbool kwDecline(void) {
  uint32_t t = vk->get_next_token();
  logf_("KW: nop declined after reading token kind %u", t);
  return 0;
}

/* probe ...; : what the token callbacks read, token by token. */
static vbool kwProbe(void) {
  char line[256];
  int32_t n = vk->vorak_extractline(line, 200);
  const TFunction* cur = vk->Func_Get(0xFFFFFFFFu);
  logf_("KW: probe in %s, line \"%.*s\" (%d), stop %d, eol %u, next kind %u",
        cur && cur->Name ? cur->Name : "-", n, line, n, line[n], vk->vorak_eol(), vk->peek_next_token());
  for (;;) {
    uint32_t t = vk->get_next_token();
    if (t == ttSymbol && isSymbol(";")) return 1;
    if (t == ttEOF) fatal("KW: probe ran into the end");
    char desc[512];
    if (t == ttNumber) {
      int64_t v64 = 0;
      int32_t v32 = 0;
      vk->get_int64_value(&v64);
      vk->token_get_int32(&v32);
      snprintf(desc, sizeof desc, "number %lld low %d size %u", (long long)v64, v32, vk->get_token_size());
    } else if (t == ttFloat) {
      uint8_t b[16];
      memset(b, 0xEE, sizeof b);
      vk->get_real_value(b, 10);
      char hex[64] = "";
      for (int i = 0; i < 12; ++i) sprintf(hex + strlen(hex), i ? " %02X" : "%02X", b[i]);
      float f;
      double d;
      vk->get_real_value(&f, 4);
      vk->get_real_value(&d, 8);
      uint8_t z[6];
      memset(z, 0xEE, sizeof z);
      vk->get_real_value(z, 3);
      snprintf(desc, sizeof desc, "float %g %g ext %s other %02X%02X%02X%02X%02X", f, d, hex, z[0], z[1], z[2], z[3],
               z[4]);
    } else if (t == ttAnsiString) {
      const uint8_t* w = (const uint8_t*)vk->get_wchar_ptr();
      snprintf(desc, sizeof desc, "string \"%s\" raw %s", vk->get_char_ptr(), w ? "set" : "nil");
    } else if (t == ttIdent) {
      snprintf(desc, sizeof desc, "ident %s type %d", vk->get_char_ptr(), vk->get_token_ident());
    } else {
      snprintf(desc, sizeof desc, "kind %u text \"%s\"", t, vk->get_char_ptr());
    }
    logf_("KW: probe %s", desc);
  }
}

static vbool kwFatal(void) {
  fatal("stopped by the keyword");
  logf_("KW: still running after a fatal message");
  return 1;
}

static vbool kwUpper(void) {
  logf_("KW: uppercase ran");
  expectSemicolon();
  return 1;
}

const char* onEntry(void* const* table) {
  vk = (const TVorakCallbacks*)table;
  /* A writable name: registration must leave it as it is. */
  static char upper[] = "UpperCase";
  uint32_t ids[7];
  ids[0] = vk->RegisterKeyword("Emit", kwEmit); /* read-only text in mixed case */
  ids[1] = vk->RegisterKeyword(upper, kwUpper);
  ids[2] = vk->RegisterKeyword("compile", kwCompile);
  ids[3] = vk->RegisterKeyword("callref", kwCallRef);
  ids[4] = vk->RegisterKeyword("nop", kwDecline);
  ids[5] = vk->RegisterKeyword("probe", kwProbe);
  ids[6] = vk->RegisterKeyword("plugfatal", kwFatal);
  uint32_t empty = vk->RegisterKeyword("", kwEmit);
  uint32_t none = vk->RegisterKeyword(NULL, kwEmit);
  logf_("KW: ids %u %u %u %u %u %u %u, refused %u %u, name %s, unregister %u", ids[0], ids[1], ids[2], ids[3],
        ids[4], ids[5], ids[6], empty, none, upper, vk->UnregisterKeyword("emit"));
  vk->RegisterKeyword("labelabs", kwLabelAbs);
  return "keywords";
}

void onExit(void) { vk->Log_MessageA("KW: exit", 0); }
