/* Test plug-in: the builder "DUMP" writes, as text, every record it can read
   through the callback table, so a test can compare the compiler's data as a
   plug-in sees it with what the test put there. The builder "BOOM" fails
   with a fatal message half-way through its output. */
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "plugins/PluginInterface.h"

static const TVorakCallbacks* vk;

static void out(const char* text) { vk->File_AddBytes(text, (uint32_t)strlen(text)); }

static void outf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
static void outf(const char* fmt, ...) {
  char line[4096];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  out(line);
}

static void logf_(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
static void logf_(const char* fmt, ...) {
  char line[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  vk->Log_MessageA(line, 0);
}

/* A record string, read through its length prefix. */
static void outStr(const char* s) {
  uint32_t n = vorak_str_len(s);
  vk->File_AddBytes(s ? s : "", n);
}

static void outHex(const uint8_t* p, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) outf(i ? " %02X" : "%02X", p[i]);
}

static const char* typeName(const TVarType* t) { return t && t->name ? t->name : "-"; }

static void dumpFixup(const TFixup* fx) {
  outf("hint=%u pos=%u size=%u offset=%u jmp=%d", fx->hint, fx->position, fx->size, fx->offset, fx->jmp);
  if (fx->hint == ftVar) {
    out(" var=");
    outStr(fx->data ? ((const TVar*)fx->data)->name : NULL);
  } else if (fx->hint == ftConst) {
    out(" const=");
    outStr(fx->data ? ((const TConst*)fx->data)->str : NULL);
  } else {
    outf(" index=%u", fx->index);
  }
}

static void dump(void) {
  const TCompilerFlags* fl = vk->get_flags();
  outf("flags bits=%u entry=%u stackframe=%u\n", fl->cpu_bits, fl->entry_funcid, fl->stackframe_on);

  uint32_t nf = vk->Func_Count();
  if (vk->Code_Count() != nf) out("Code_Count differs from Func_Count\n");
  for (uint32_t i = 0; i < nf; ++i) {
    TFunction* f = vk->Func_Get(i);
    uint32_t len = 0xFFFFFFFFu;
    const uint8_t* code = (const uint8_t*)vk->Code_Get(i, &len);
    outf("func %u name=", i);
    outStr(f->Name);
    out(" import=");
    outStr(f->ImportName);
    outf(" type=%u parent=", f->Type_);
    if (f->Parent)
      outf("%u", vk->vorak_func_index(f->Parent));
    else
      out("-");
    if (f->Address == 0xFFFFFFFFu)
      out(" address=-");
    else
      outf(" address=%u", f->Address);
    outf(" dll=%d called=%u exported=%u index=%u params=%u/%u locals=%u/%u code=", f->DLLIndex, f->IsCalled,
         f->IsExported, vk->vorak_func_index(f), f->ParamCount, f->ParamSize, f->LocalCount, f->LocalSize);
    if (!code) out("nil");
    outHex(code, len);
    if (len != vorak_str_len(f->Buffer)) out(" (length differs from the string's)");
    out("\n");
    for (uint32_t k = 0; k < vorak_arr_count(f->Params); ++k) {
      outf("  param %u ", k);
      outStr(f->Params[k].name);
      outf(" %s\n", typeName(f->Params[k].type_));
    }
    for (uint32_t k = 0, n = vk->Fixup_Count(f); k < n; ++k) {
      outf("  fixup %u ", k);
      dumpFixup(vk->Fixup_Get(f, k));
      out("\n");
    }
  }
  for (uint32_t i = 0, n = vk->Const_Count(); i < n; ++i) {
    const TConst* c = vk->Const_Get(i);
    outf("const %u type=%u name=", i, c->type_);
    outStr(c->varname);
    outf(" active=%u str=", c->active);
    outStr(c->str);
    outf(" int=%lld size=%u\n", (long long)c->int_, c->size);
  }
  for (uint32_t i = 0, n = vk->Var_Count(); i < n; ++i) {
    const TVar* v = vk->Var_Get(i);
    outf("var %u name=", i);
    outStr(v->name);
    outf(" mode=%u address=%d active=%u init=%u type=%s/%u mult=%u content=", v->mode, v->address, v->active,
         v->initialised, typeName(v->type_), v->type_ ? v->type_->size : 0, v->multiplier);
    outHex(v->content, vorak_arr_count(v->content));
    if (v->fixup) {
      out(" fixup=");
      dumpFixup(v->fixup);
    }
    out("\n");
  }
  for (uint32_t i = 0, n = vk->vorak_var_fixupcount(); i < n; ++i) {
    const TFixup* fx = vk->vorak_var_fixup(i);
    outf("varfixup %u owner=", i);
    outStr(fx->parentfunc ? ((const TVar*)fx->parentfunc)->name : NULL);
    out(" ");
    dumpFixup(fx);
    out("\n");
  }
  for (uint32_t i = 0, n = vk->ilib_count(); i < n; ++i) {
    outf("ilib %u name=%s count=%u\n", i, vk->ilib_name(i), vk->import_count(i));
    for (uint32_t k = 0; k < vk->import_count(i); ++k) {
      outf("  import %u ", k);
      outStr(vk->import_get(i, k)->ImportName);
      out("\n");
    }
  }
  outf("totals imports=%d exports=%d fixups=%d res=%u/%d\n", vk->vorak_import_total(), vk->vorak_export_total(),
       vk->vorak_fixup_total(), vk->file_hasresources(), vk->vorak_res_size());
}

static vbool dumpBuilder(uint32_t event, uint32_t id) {
  if (event == teStart) {
    logf_("DUMP: start, builder %u", id);
    return 1;
  }
  dump();
  /* The buffer can be patched in place and through the callback: the first
     line becomes "FLAGS BITS=...". */
  char* buf = (char*)vk->file_getbuf();
  if (buf && vk->File_Len() >= 5) memcpy(buf, "FLAGS", 5);
  if (vk->File_ReplaceBytes(7, "BITS", 4) != 7) out("ReplaceBytes failed\n");
  static const vwchar ext[] = {'t', 'x', 't', 0};
  vk->set_fileext(ext);
  return 1;
}

static vbool boomBuilder(uint32_t event, uint32_t id) {
  (void)id;
  if (event != teComplete) return 1;
  out("partial output");
  vk->Log_MessageA("boom from the builder", 1);
  logf_("BOOM: still running after a fatal message");
  return 1;
}

const char* onEntry(void* const* table) {
  vk = (const TVorakCallbacks*)table;
  /* Nothing is being built yet: the buffer entries do nothing. */
  uint32_t added = vk->File_AddBytes("x", 1);
  logf_("DUMP: onEntry File_AddBytes=%u File_Len=%u file_getbuf=%s Func_Count=%u Code_Get=%s",
        added, vk->File_Len(), vk->file_getbuf() ? "set" : "nil", vk->Func_Count(),
        vk->Code_Get(0, NULL) ? "set" : "nil");
  int32_t dumpId = vk->RegisterBuilder("Dump", dumpBuilder);
  int32_t boomId = vk->RegisterBuilder("boom", boomBuilder);
  logf_("DUMP: DUMP=%d BOOM=%d", dumpId, boomId);
  return "dump";
}

void onExit(void) { vk->Log_MessageA("DUMP: exit", 0); }
