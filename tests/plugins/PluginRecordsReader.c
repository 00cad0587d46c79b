/* Reads the shared records the way a plug-in written in C does: through the C
   header alone, with lengths and counts taken from the 4 bytes before a
   string or an array. Compiled as C, so the layout checked is the one a C
   compiler makes of the header. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "plugins/PluginInterface.h"

/* The 4 bytes before the first byte; 0 for NULL. */
static uint32_t prefixed(const void* p) {
  uint32_t n = 0;
  if (p) memcpy(&n, (const char*)p - 4, 4);
  return n;
}

/* "text/length", "-" for NULL; checks that a 0 byte follows the text. */
static int putStr(char* out, size_t room, const char* s) {
  uint32_t n = prefixed(s);
  if (!s) return snprintf(out, room, "-");
  if (s[n] != '\0') return snprintf(out, room, "<unterminated>");
  return snprintf(out, room, "%.*s/%u", (int)n, s, (unsigned)n);
}

#define PUT(...)                                              \
  do {                                                        \
    int w_ = snprintf(out + used, room - used, __VA_ARGS__);  \
    if (w_ < 0 || (size_t)w_ >= room - used) return -1;       \
    used += (size_t)w_;                                       \
  } while (0)
#define PUTSTR(s)                                             \
  do {                                                        \
    int w_ = putStr(out + used, room - used, (s));            \
    if (w_ < 0 || (size_t)w_ >= room - used) return -1;       \
    used += (size_t)w_;                                       \
  } while (0)

int c_describe_type(const void* p, char* out, size_t room) {
  const TVarType* t = (const TVarType*)p;
  size_t used = 0;
  uint32_t i, n = prefixed(t->fields);
  PUT("type ");
  PUTSTR(t->name);
  PUT(" size=%u signed=%u vt=%u ptr=%u dyn=%u", (unsigned)t->size, (unsigned)t->signed_,
      (unsigned)t->vt, (unsigned)t->isPointer, (unsigned)t->dynSize);
  if (t->vt == dtFloat)
    PUT(" bounds=%Lg..%Lg", t->real_lower, t->real_upper);
  else
    PUT(" bounds=%lld..%lld", (long long)t->int_lower, (long long)t->int_upper);
  PUT(" fields=%u/%u largest=%u", (unsigned)t->fieldcount, (unsigned)n, (unsigned)t->largestfield);
  for (i = 0; i < n; ++i) {
    const TVarField* f = &t->fields[i];
    PUT(" [%u ", (unsigned)f->ft);
    PUTSTR(f->variable.name);
    PUT(" @%d *%u", (int)f->variable.address, (unsigned)f->variable.multiplier);
    if (f->variable.type_) {
      PUT(" ");
      PUTSTR(f->variable.type_->name);
    }
    PUT("]");
  }
  return (int)used;
}

int c_describe_var(const void* p, char* out, size_t room) {
  const TVar* v = (const TVar*)p;
  size_t used = 0;
  uint32_t i, n = prefixed(v->content);
  PUT("var ");
  PUTSTR(v->name);
  PUT(" mode=%u addr=%d active=%u init=%u mult=%u content=%u:", (unsigned)v->mode, (int)v->address,
      (unsigned)v->active, (unsigned)v->initialised, (unsigned)v->multiplier, (unsigned)n);
  for (i = 0; i < n; ++i) PUT("%02x", v->content[i]);
  PUT(" type=");
  PUTSTR(v->type_ ? v->type_->name : NULL);
  PUT(" fixup=%s", v->fixup ? "yes" : "no");
  return (int)used;
}

int c_describe_function(const void* p, char* out, size_t room) {
  const TFunction* f = (const TFunction*)p;
  size_t used = 0;
  uint32_t i, n = prefixed(f->Buffer), np = prefixed(f->Params), nd = prefixed(f->DefaultParams);
  PUT("func #%u ", (unsigned)f->FuncIndex);
  PUTSTR(f->Name);
  PUT(" import=");
  PUTSTR(f->ImportName);
  PUT(" type=%u cc=%u called=%u exported=%u dll=%d addr=%08x parent=%s", (unsigned)f->Type_,
      (unsigned)f->CallConvention, (unsigned)f->IsCalled, (unsigned)f->IsExported, (int)f->DLLIndex,
      (unsigned)f->Address, f->Parent ? "yes" : "no");
  PUT(" code=%u/%u:", (unsigned)f->BufLen, (unsigned)n);
  for (i = 0; i < n; ++i) PUT("%02x", (unsigned char)f->Buffer[i]);
  PUT(" params=%u/%u size=%u defaults=%u", (unsigned)f->ParamCount, (unsigned)np,
      (unsigned)f->ParamSize, (unsigned)nd);
  for (i = 0; i < np; ++i) {
    PUT(" (");
    PUTSTR(f->Params[i].name);
    PUT(":");
    PUTSTR(f->Params[i].type_ ? f->Params[i].type_->name : NULL);
    PUT(")");
  }
  PUT(" locals=%u/%u frame=%u min=%u lists=%s", (unsigned)f->LocalCount, (unsigned)f->LocalSize,
      (unsigned)f->StackFrame, (unsigned)f->bMinParams,
      (f->FixupList && f->UsesList && f->DependFuncs) ? "yes" : "no");
  return (int)used;
}

int c_describe_const(const void* p, char* out, size_t room) {
  const TConst* c = (const TConst*)p;
  size_t used = 0;
  PUT("const %u ", (unsigned)c->type_);
  PUTSTR(c->varname);
  PUT(" str=");
  PUTSTR(c->str);
  PUT(" int=%lld ext=%Lg size=%u active=%u", (long long)c->int_, c->ext, (unsigned)c->size,
      (unsigned)c->active);
  return (int)used;
}

int c_describe_fixup(const void* p, char* out, size_t room) {
  const TFixup* x = (const TFixup*)p;
  size_t used = 0;
  PUT("fixup %u pos=%u size=%u ofs=%u jmp=%d", (unsigned)x->hint, (unsigned)x->position,
      (unsigned)x->size, (unsigned)x->offset, (int)x->jmp);
  if (x->hint == ftLabel || x->hint == ftJmp || x->hint == ftLabelAbs)
    PUT(" index=%u", (unsigned)x->index);
  else if (x->hint == ftVar)
    PUT(" var=%.*s", (int)prefixed(((const TVar*)x->data)->name), ((const TVar*)x->data)->name);
  else if (x->hint == ftConst)
    PUT(" const=%.*s", (int)prefixed(((const TConst*)x->data)->str), ((const TConst*)x->data)->str);
  return (int)used;
}

int c_describe_import(const void* p, char* out, size_t room) {
  const TImports* m = (const TImports*)p;
  size_t used = 0;
  PUT("lib ");
  PUTSTR(m->name);
  PUT(" refs=%u list=%s", (unsigned)m->refs, m->funcs ? "yes" : "no");
  return (int)used;
}

/* Sizes and offsets as this C compiler lays the records out. */
#define ROW(T, f) {#T "." #f, offsetof(T, f)}
static const struct {
  const char* field;
  size_t offset;
} kLayout[] = {
    {"sizeof TFixup", sizeof(TFixup)}, ROW(TFixup, hint), ROW(TFixup, bits), ROW(TFixup, position), ROW(TFixup, size),
    ROW(TFixup, offset), ROW(TFixup, jmp), ROW(TFixup, parentfunc), ROW(TFixup, index),
    ROW(TFixup, data),
    {"sizeof TFuncParam", sizeof(TFuncParam)}, ROW(TFuncParam, type_), ROW(TFuncParam, name),
    {"sizeof TFunction", sizeof(TFunction)}, ROW(TFunction, Parent), ROW(TFunction, Buffer),
    ROW(TFunction, BufLen), ROW(TFunction, Name), ROW(TFunction, ImportName),
    ROW(TFunction, Address), ROW(TFunction, DLLIndex), ROW(TFunction, FuncIndex),
    ROW(TFunction, Type_), ROW(TFunction, IsExported), ROW(TFunction, IsCalled),
    ROW(TFunction, ReturnType), ROW(TFunction, CallConvention), ROW(TFunction, Params),
    ROW(TFunction, ParamCount), ROW(TFunction, ParamSize), ROW(TFunction, LocalCount),
    ROW(TFunction, LocalSize), ROW(TFunction, LocalOffset), ROW(TFunction, symbolindex),
    ROW(TFunction, DeclareOnly), ROW(TFunction, CallData), ROW(TFunction, bMinParams),
    ROW(TFunction, FixupList), ROW(TFunction, UsesList), ROW(TFunction, DependFuncs),
    ROW(TFunction, DefaultParams), ROW(TFunction, StackFrame), ROW(TFunction, DeclParent),
    {"sizeof TConst", sizeof(TConst)}, ROW(TConst, type_), ROW(TConst, varname),
    ROW(TConst, active), ROW(TConst, address), ROW(TConst, symbolindex), ROW(TConst, str),
    ROW(TConst, int_), ROW(TConst, ext), ROW(TConst, size), ROW(TConst, fixup),
    {"sizeof TVar", sizeof(TVar)}, ROW(TVar, ident), ROW(TVar, name), ROW(TVar, mode),
    ROW(TVar, address), ROW(TVar, active), ROW(TVar, initialised), ROW(TVar, content),
    ROW(TVar, multiplier), ROW(TVar, type_), ROW(TVar, symbolindex), ROW(TVar, fixup),
    {"sizeof TVarField", sizeof(TVarField)}, ROW(TVarField, ft), ROW(TVarField, variable),
    ROW(TVarField, func),
    {"sizeof TVarType", sizeof(TVarType)}, ROW(TVarType, ident), ROW(TVarType, name),
    ROW(TVarType, size), ROW(TVarType, signed_), ROW(TVarType, vt), ROW(TVarType, fieldcount),
    ROW(TVarType, fields), ROW(TVarType, largestfield), ROW(TVarType, isPointer),
    ROW(TVarType, dynSize), ROW(TVarType, int_lower), ROW(TVarType, real_lower),
    ROW(TVarType, int_upper), ROW(TVarType, real_upper),
    {"sizeof TImports", sizeof(TImports)}, ROW(TImports, name), ROW(TImports, funcs),
    ROW(TImports, refs),
    {"sizeof TCompilerFlags", sizeof(TCompilerFlags)}, ROW(TCompilerFlags, cpu_bits),
    ROW(TCompilerFlags, sse_version), ROW(TCompilerFlags, m2m_reg), ROW(TCompilerFlags, awd),
};

/* Writes "field=offset" lines; the number of bytes written, or -1. */
int c_record_layout(char* out, size_t room) {
  size_t used = 0, i;
  for (i = 0; i < sizeof kLayout / sizeof kLayout[0]; ++i)
    PUT("%s=%u\n", kLayout[i].field, (unsigned)kLayout[i].offset);
  return (int)used;
}
