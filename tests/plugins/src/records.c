/* Test plug-in: the builder "RECORDS" reads the compiled functions,
   variables, fixups and imports through the callback table, checks what every
   builder relies on (one Params and one DefaultParams entry per counted
   parameter, content of type size times element count), and writes one line
   per record for the test to compare. A broken rule gives a line "BAD ...". */
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "plugins/PluginInterface.h"

static const TVorakCallbacks* vk;

static void outf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
static void outf(const char* fmt, ...) {
  char line[2048];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  vk->File_AddBytes(line, (uint32_t)strlen(line));
}

static const char* str(const char* s) { return s ? s : ""; }

static void functions(void) {
  for (uint32_t i = 0, n = vk->Func_Count(); i < n; ++i) {
    const TFunction* f = vk->Func_Get(i);
    if (f->Type_ != ltFunc && f->Type_ != ltProc) continue;
    uint32_t defaults = 0;
    for (uint32_t k = 0; k < vorak_arr_count(f->DefaultParams); ++k) defaults += f->DefaultParams[k] != NULL;
    outf("fn %s cc=%u params=%u/%u min=%u locals=%u/%u called=%u exported=%u dll=%d defaults=%u", str(f->Name),
         f->CallConvention, f->ParamCount, f->ParamSize, f->bMinParams, f->LocalCount, f->LocalSize, f->IsCalled,
         f->IsExported, f->DLLIndex, defaults);
    for (uint32_t k = 0; k < vorak_arr_count(f->Params); ++k)
      outf(" %s:%s", str(f->Params[k].name), f->Params[k].type_ ? str(f->Params[k].type_->name) : "-");
    outf("\n");
    if (vorak_arr_count(f->Params) != f->ParamCount) outf("BAD %s Params\n", str(f->Name));
    if (vorak_arr_count(f->DefaultParams) != f->ParamCount) outf("BAD %s DefaultParams\n", str(f->Name));
    for (uint32_t k = 0, m = vk->Fixup_Count((TFunction*)f); k < m; ++k) {
      const TFixup* x = vk->Fixup_Get((TFunction*)f, k);
      if (x->hint == ftLocals) outf("  locals room at %u size %u\n", x->position, x->size);
      if (x->position + (x->hint == ftLocals ? 6u : x->size) > f->BufLen) outf("BAD %s fixup %u\n", str(f->Name), k);
    }
  }
}

static void variables(void) {
  for (uint32_t i = 0, n = vk->Var_Count(); i < n; ++i) {
    const TVar* v = vk->Var_Get(i);
    const uint32_t size = v->type_ ? v->type_->size : 0;
    outf("var %s mode=%u address=%d mult=%u bytes=%u init=%u", str(v->name), v->mode, v->address, v->multiplier,
         vorak_arr_count(v->content), v->initialised);
    if (v->fixup) outf(" fixup=%u+%u bits=%u", v->fixup->hint, v->fixup->offset, v->fixup->bits);
    outf("\n");
    if (vorak_arr_count(v->content) != size * v->multiplier) outf("BAD %s content\n", str(v->name));
  }
  for (uint32_t i = 0, n = vk->vorak_var_fixupcount(); i < n; ++i) {
    const TFixup* x = vk->vorak_var_fixup(i);
    outf("varfixup %s hint=%u pos=%u size=%u bits=%u\n", x->parentfunc ? str(((const TVar*)x->parentfunc)->name) : "-",
         x->hint, x->position, x->size, x->bits);
  }
}

static void imports(void) {
  for (uint32_t i = 0, n = vk->ilib_count(); i < n; ++i) {
    outf("lib %s", vk->ilib_name(i));
    for (uint32_t k = 0; k < vk->import_count(i); ++k) outf(" %s", str(vk->import_get(i, k)->ImportName));
    outf("\n");
  }
}

static vbool recordsBuilder(uint32_t event, uint32_t id) {
  (void)id;
  if (event != teComplete) return 1;
  const TFunction* entry = vk->get_flags()->entry_funcid ? vk->Func_Get(vk->get_flags()->entry_funcid) : NULL;
  outf("entry %s\n", entry ? str(entry->Name) : "-");
  functions();
  variables();
  imports();
  static const vwchar ext[] = {'t', 'x', 't', 0};
  vk->set_fileext(ext);
  return 1;
}

const char* onEntry(void* const* table) {
  vk = (const TVorakCallbacks*)table;
  vk->RegisterBuilder("Records", recordsBuilder);
  return "records";
}
