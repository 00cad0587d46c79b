// The FLAT builder: the compiled program as one flat binary image, code then
// constants then global data, for loading at address 0. docs/flat-builder.md
// describes the layout and how every fixup is resolved.
//
// The plug-in reaches the compiler only through the callback table and reads
// its records in place; it never writes them.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "plugins/PluginInterface.h"

#define FLAT_EXPORT extern "C" __attribute__((visibility("default")))

using namespace vorak;

namespace {

const TVorakCallbacks* vk = nullptr;

// Log_MessageA with fatal set ends the run inside the call. Should it ever
// come back, Stop unwinds this plug-in's own frames to the builder entry,
// which then reports failure.
struct Stop {};

[[noreturn]] void fail(const std::string& msg) {
  vk->Log_MessageA(("FLAT: " + msg).c_str(), 1);
  throw Stop();
}

std::string str(const char* s) { return s ? std::string(s, vorak_str_len(s)) : std::string(); }

std::string hex(uint64_t v) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  do {
    s.insert(s.begin(), digits[v & 15]);
    v >>= 4;
  } while (v);
  return "0x" + s;
}

// One function laid out in the image: a copy of its code with the alignment
// filler cut to size, and where it stands.
struct Cut {
  uint32_t at;       // old offset of the first removed byte
  uint32_t removed;  // bytes removed there
};
struct Placed {
  const TFunction* fn = nullptr;
  std::vector<uint8_t> code;  // after the cuts
  uint32_t oldLen = 0;
  uint64_t base = 0;
  std::vector<Cut> cuts;  // in offset order

  // New offset of an old one. An offset inside removed filler moves to the
  // start of the filler that stays.
  uint32_t map(uint32_t old) const {
    uint32_t gone = 0;
    for (const Cut& c : cuts) {
      if (old >= c.at + c.removed) {
        gone += c.removed;
      } else {
        if (old > c.at) old = c.at;
        break;
      }
    }
    return old - gone;
  }
  // Whether the old range [pos, pos + len) lost a byte to a cut.
  bool cutInto(uint32_t pos, uint32_t len) const {
    for (const Cut& c : cuts)
      if (pos < c.at + c.removed && c.at < pos + len) return true;
    return false;
  }
};

struct Data {
  std::vector<uint8_t> bytes;
  uint64_t base = 0;
  std::string name;
};

class FlatBuilder {
 public:
  bool run();

 private:
  void checkContents();
  void chooseFunctions();
  void placeFunction(Placed& p, uint64_t base);
  void placeData();
  void resolveCode(Placed& p);
  void resolveVariableFixup(const TFixup* fx, Data* owner);
  void write();

  std::string nameOf(const TFunction* f) const;
  const TFunction* topOf(const TFunction* f) const;
  bool layable(const TFunction* f) const;
  uint64_t addressOf(const TFunction* target, const std::string& where);
  uint64_t dataAddress(const TFixup* fx, const std::string& where);
  void put(std::vector<uint8_t>& buf, uint32_t pos, uint64_t value, uint32_t size);
  void putAbsolute(std::vector<uint8_t>& buf, uint32_t pos, int64_t value, uint32_t size,
                   const std::string& where);
  void resolveJump(Placed& p, const TFixup* fx, uint32_t pos, const std::string& where);
  void resolveLocals(Placed& p, uint32_t pos, const std::string& where);

  uint32_t bits_ = 32;
  uint32_t ptr_ = 4;
  const TFunction* main_ = nullptr;
  std::vector<Placed> funcs_;  // main first, then by function index
  std::unordered_map<const TFunction*, size_t> funcAt_;
  std::vector<Data> consts_;
  std::unordered_map<const void*, size_t> constAt_;
  std::vector<Data> vars_;
  std::unordered_map<const void*, size_t> varAt_;
  uint64_t end_ = 0;
};

uint64_t alignUp(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

std::string FlatBuilder::nameOf(const TFunction* f) const {
  std::string n = str(f->Name);
  if (!n.empty()) return n;
  if (f == main_) return "rtlmain";
  return "#" + std::to_string(f->FuncIndex);
}

// The function whose code holds a label: its parent chain's end.
const TFunction* FlatBuilder::topOf(const TFunction* f) const {
  for (int depth = 0; f && f->Parent; ++depth) {
    if (depth > 64) return nullptr;  // a cycle: no record of the compiler looks so
    f = f->Parent;
  }
  return f;
}

// Functions with code of their own; labels live inside them.
bool FlatBuilder::layable(const TFunction* f) const {
  return f && !f->Parent && (f->Type_ == ltFunc || f->Type_ == ltProc || f == main_) &&
         f->DLLIndex == -1;
}

void FlatBuilder::checkContents() {
  if (vk->vorak_import_total() > 0) {
    std::string first;
    for (uint32_t lib = 0; lib < vk->ilib_count() && first.empty(); ++lib) {
      if (vk->import_count(lib) == 0) continue;
      const TFunction* f = vk->import_get(lib, 0);
      const char* libName = vk->ilib_name(lib);
      first = std::string(libName ? libName : "?") + " " + (f ? str(f->ImportName) : std::string());
    }
    fail("a flat binary cannot hold imports: the program calls " +
         std::to_string(vk->vorak_import_total()) + " imported function(s), the first " + first);
  }
  if (vk->file_hasresources()) fail("a flat binary cannot hold resources");
  if (vk->vorak_export_total() > 0)
    vk->Log_MessageA(("FLAT: a flat binary has no export table; the " +
                      std::to_string(vk->vorak_export_total()) +
                      " exported function(s) are laid out as plain code")
                         .c_str(),
                     0);
}

void FlatBuilder::chooseFunctions() {
  const uint32_t n = vk->Func_Count();
  for (uint32_t i = 0; i < n && !main_; ++i) {
    const TFunction* f = vk->Func_Get(i);
    if (f && !f->Parent && f->DLLIndex == -1 && str(f->Name) == "rtlmain") main_ = f;
  }
  // The compile makes the main program first of all.
  if (!main_) main_ = vk->Func_Get(0);
  if (!main_ || main_->Parent || main_->DLLIndex != -1) fail("the program has no main procedure");

  // Reachable functions, and whatever their code refers to: a jump to a
  // function or a label's address reaches it as surely as a call does.
  std::vector<const TFunction*> chosen{main_};
  std::vector<bool> in(n, false);
  in[main_->FuncIndex < n ? main_->FuncIndex : 0] = true;
  for (uint32_t i = 0; i < n; ++i) {
    const TFunction* f = vk->Func_Get(i);
    if (layable(f) && f->IsCalled && !in[i]) {
      in[i] = true;
      chosen.push_back(f);
    }
  }
  for (size_t k = 0; k < chosen.size(); ++k) {
    TFunction* f = const_cast<TFunction*>(chosen[k]);
    for (uint32_t j = 0, m = vk->Fixup_Count(f); j < m; ++j) {
      const TFixup* fx = vk->Fixup_Get(f, j);
      if (!fx) continue;
      if (fx->hint != ftLabel && fx->hint != ftJmp && fx->hint != ftLabelAbs && fx->hint != ftRelative &&
          fx->hint != ftCodeRVA)
        continue;
      const TFunction* top = topOf(vk->Func_Get(fx->index));
      if (layable(top) && top->FuncIndex < n && !in[top->FuncIndex]) {
        in[top->FuncIndex] = true;
        chosen.push_back(top);
      }
    }
  }
  std::sort(chosen.begin() + 1, chosen.end(),
            [](const TFunction* a, const TFunction* b) { return a->FuncIndex < b->FuncIndex; });

  funcs_.resize(chosen.size());
  uint64_t at = 0;
  for (size_t k = 0; k < chosen.size(); ++k) {
    funcs_[k].fn = chosen[k];
    funcAt_[chosen[k]] = k;
    placeFunction(funcs_[k], at);
    at += funcs_[k].code.size();
  }
  end_ = at;
}

// Copies the code and cuts each alignment filler down to what aligns the
// bytes after it, now that the function's address is known.
void FlatBuilder::placeFunction(Placed& p, uint64_t base) {
  TFunction* f = const_cast<TFunction*>(p.fn);
  uint32_t len = 0;
  const uint8_t* code = static_cast<const uint8_t*>(vk->Code_Get(f->FuncIndex, &len));
  if (!code) fail("cannot read the code of " + nameOf(f));
  p.base = base;
  p.oldLen = len;

  std::vector<const TFixup*> aligns;
  for (uint32_t j = 0, m = vk->Fixup_Count(f); j < m; ++j) {
    const TFixup* fx = vk->Fixup_Get(f, j);
    if (fx && fx->hint == ftAlignment) aligns.push_back(fx);
  }
  std::sort(aligns.begin(), aligns.end(),
            [](const TFixup* a, const TFixup* b) { return a->position < b->position; });
  uint32_t gone = 0, prevEnd = 0;
  for (const TFixup* fx : aligns) {
    const std::string where = "the alignment at offset " + std::to_string(fx->position) + " of " + nameOf(f);
    if (fx->size == 0 || uint64_t(fx->position) + fx->size > len || fx->position < prevEnd)
      fail(where + " does not lie inside the code");
    const uint64_t at = base + fx->position - gone;
    const uint32_t keep = static_cast<uint32_t>((fx->size - at % fx->size) % fx->size);
    const uint32_t removed = fx->size - keep;
    p.cuts.push_back({fx->position, removed});
    gone += removed;
    prevEnd = fx->position + fx->size;
  }
  p.code.reserve(len - gone);
  uint32_t from = 0;
  for (const Cut& c : p.cuts) {
    p.code.insert(p.code.end(), code + from, code + c.at);
    from = c.at + c.removed;
  }
  p.code.insert(p.code.end(), code + from, code + len);
}

void FlatBuilder::placeData() {
  uint64_t at = alignUp(end_, ptr_);
  for (uint32_t i = 0, n = vk->Const_Count(); i < n; ++i) {
    const TConst* c = vk->Const_Get(i);
    if (!c || !c->active) continue;
    Data d;
    d.name = c->varname ? str(c->varname) : "constant #" + std::to_string(i);
    const std::string text = str(c->str);
    switch (c->type_) {
      case ctAnsiString:
        d.bytes.assign(text.begin(), text.end());
        d.bytes.push_back(0);
        break;
      case ctWideString: {
        // The value is UTF-8; a wide string is stored as UTF-16.
        for (size_t k = 0; k < text.size();) {
          const uint8_t b = static_cast<uint8_t>(text[k]);
          uint32_t cp = 0xFFFD, extra = 0;
          if (b < 0x80) cp = b;
          else if ((b & 0xE0) == 0xC0) cp = b & 0x1F, extra = 1;
          else if ((b & 0xF0) == 0xE0) cp = b & 0x0F, extra = 2;
          else if ((b & 0xF8) == 0xF0) cp = b & 0x07, extra = 3;
          ++k;
          for (uint32_t e = 0; e < extra; ++e, ++k) {
            if (k >= text.size() || (static_cast<uint8_t>(text[k]) & 0xC0) != 0x80) {
              cp = 0xFFFD;
              break;
            }
            cp = (cp << 6) | (static_cast<uint8_t>(text[k]) & 0x3F);
          }
          if (cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) cp = 0xFFFD;
          auto unit = [&d](uint32_t u) {
            d.bytes.push_back(static_cast<uint8_t>(u));
            d.bytes.push_back(static_cast<uint8_t>(u >> 8));
          };
          if (cp >= 0x10000) {
            unit(0xD800 + ((cp - 0x10000) >> 10));
            unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
          } else {
            unit(cp);
          }
        }
        d.bytes.push_back(0);
        d.bytes.push_back(0);
        break;
      }
      case ctValue: {
        const uint32_t size = c->size ? c->size : 8;
        for (uint32_t k = 0; k < size; ++k)
          d.bytes.push_back(k < 8 ? static_cast<uint8_t>(static_cast<uint64_t>(c->int_) >> (8 * k)) : 0);
        break;
      }
      case ctFloat:
        if (c->size == 4) {
          const float v = static_cast<float>(c->ext);
          d.bytes.resize(4);
          std::memcpy(d.bytes.data(), &v, 4);
        } else if (c->size == 8) {
          const double v = static_cast<double>(c->ext);
          d.bytes.resize(8);
          std::memcpy(d.bytes.data(), &v, 8);
        } else if (c->size == 10) {
          const long double v = c->ext;
          d.bytes.resize(10);
          std::memcpy(d.bytes.data(), &v, 10);
        } else {
          fail("the floating constant " + d.name + " has the size " + std::to_string(c->size) +
               ", which is none of 4, 8 and 10");
        }
        break;
      default:
        fail("the constant " + d.name + " is of an unknown kind " + std::to_string(c->type_));
    }
    d.base = at;
    at = alignUp(at + d.bytes.size(), ptr_);
    constAt_[c] = consts_.size();
    consts_.push_back(std::move(d));
  }
  for (uint32_t i = 0, n = vk->Var_Count(); i < n; ++i) {
    const TVar* v = vk->Var_Get(i);
    if (!v || v->mode != vmGlobal) continue;
    Data d;
    d.name = str(v->name);
    const uint32_t count = vorak_arr_count(v->content);
    if (count) {
      d.bytes.assign(v->content, v->content + count);
    } else if (v->type_) {
      d.bytes.assign(static_cast<size_t>(v->type_->size) * v->multiplier, 0);
    }
    d.base = at;
    at = alignUp(at + d.bytes.size(), ptr_);
    varAt_[v] = vars_.size();
    vars_.push_back(std::move(d));
  }
  end_ = at;
}

// The address of a function or label.
uint64_t FlatBuilder::addressOf(const TFunction* target, const std::string& where) {
  if (!target) fail(where + " refers to a label that does not exist");
  const auto it = funcAt_.find(target);
  if (it != funcAt_.end()) {
    const Placed& p = funcs_[it->second];
    if (target != main_ && p.oldLen == 0)
      fail(where + " refers to " + nameOf(target) + ", which is declared but has no code");
    return p.base;
  }
  if (target->DLLIndex != -1)
    fail(where + " refers to the imported function " + nameOf(target) + "; a flat binary cannot hold imports");
  if (target->Type_ == ltRef || target->Address == 0xFFFFFFFFu)
    fail(where + " refers to the label " + nameOf(target) + ", which is never placed");
  const auto parent = target->Parent ? funcAt_.find(target->Parent) : funcAt_.end();
  if (parent == funcAt_.end())
    fail(where + " refers to " + nameOf(target) + ", which stands in no code of the image");
  const Placed& p = funcs_[parent->second];
  if (target->Address > p.oldLen)
    fail(where + " refers to the label " + nameOf(target) + ", which lies past the end of " +
         nameOf(target->Parent));
  return p.base + p.map(target->Address);
}

// The address of the variable or constant a fixup's data points at.
uint64_t FlatBuilder::dataAddress(const TFixup* fx, const std::string& where) {
  if (fx->hint == ftVar) {
    const auto it = varAt_.find(fx->data);
    if (it == varAt_.end()) {
      fail(where + " refers to a variable that is not a global; only globals have an address in the image");
    }
    return vars_[it->second].base;
  }
  const auto it = constAt_.find(fx->data);
  if (it == constAt_.end()) fail(where + " refers to a constant that is not in the image");
  return consts_[it->second].base;
}

void FlatBuilder::put(std::vector<uint8_t>& buf, uint32_t pos, uint64_t value, uint32_t size) {
  for (uint32_t k = 0; k < size; ++k) buf[pos + k] = static_cast<uint8_t>(value >> (8 * k));
}

// An absolute address into a field of 2, 4 or 8 bytes. In 64-bit mode a
// 4-byte address is sign-extended by the processor (the encoder's absolute
// SIB form), so it must stay below 2 GiB.
void FlatBuilder::putAbsolute(std::vector<uint8_t>& buf, uint32_t pos, int64_t value, uint32_t size,
                              const std::string& where) {
  int64_t limit = 0;
  if (size == 2) limit = 0xFFFF;
  else if (size == 4) limit = bits_ == 64 ? 0x7FFFFFFF : 0xFFFFFFFF;
  else if (size == 8) limit = INT64_MAX;
  else fail(where + " has a field of " + std::to_string(size) + " bytes, which cannot hold an address");
  if (value < 0 || value > limit)
    fail(where + ": the address " + (value < 0 ? "-" + hex(uint64_t(-value)) : hex(uint64_t(value))) +
         " does not fit its " + std::to_string(size) + "-byte field");
  put(buf, pos, static_cast<uint64_t>(value), size);
}

// The 7-byte placeholder of a jump to a label becomes its short form when
// the target is within reach of one byte, else its near form; NOPs fill the
// rest, so the next instruction stays where it is.
void FlatBuilder::resolveJump(Placed& p, const TFixup* fx, uint32_t pos, const std::string& where) {
  if (fx->size != 7) fail(where + " is a jump whose placeholder is not 7 bytes");
  const int64_t target = static_cast<int64_t>(addressOf(vk->Func_Get(fx->index), where)) +
                         static_cast<int32_t>(fx->offset);
  const int64_t at = static_cast<int64_t>(p.base + pos);
  uint8_t out[7] = {0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90};
  uint32_t n = 0;
  auto shortForm = [&](std::initializer_list<uint8_t> opcode) -> bool {
    const int64_t rel = target - (at + static_cast<int64_t>(opcode.size()) + 1);
    if (rel < -128 || rel > 127) return false;
    n = 0;
    for (uint8_t b : opcode) out[n++] = b;
    out[n++] = static_cast<uint8_t>(rel);
    return true;
  };
  const int16_t jt = fx->jmp;
  if (jt >= 0 && jt <= 16) {
    const uint8_t shortOp = jt == jtJMP ? 0xEB : static_cast<uint8_t>(0x70 + jt);
    if (!shortForm({shortOp})) {
      n = 0;
      if (jt == jtJMP) {
        out[n++] = 0xE9;
      } else {
        out[n++] = 0x0F;
        out[n++] = static_cast<uint8_t>(0x80 + jt);
      }
      const uint32_t field = bits_ == 16 ? 2 : 4;
      const int64_t rel = target - (at + n + field);
      if (bits_ == 16) {
        if (target > 0xFFFF || at > 0xFFFF) fail(where + ": the jump leaves the 64 KiB of 16-bit code");
      } else if (rel < INT32_MIN || rel > INT32_MAX) {
        fail(where + ": the jump target is out of reach");
      }
      for (uint32_t k = 0; k < field; ++k) out[n++] = static_cast<uint8_t>(static_cast<uint64_t>(rel) >> (8 * k));
    }
  } else {
    // Only the short form exists for these.
    std::vector<uint8_t> opcode;
    const char* mnemonic = "";
    switch (jt) {
      case jtLOOPNE: opcode = {0xE0}; mnemonic = "loopne"; break;
      case jtLOOPE: opcode = {0xE1}; mnemonic = "loope"; break;
      case jtLOOP: opcode = {0xE2}; mnemonic = "loop"; break;
      case jtJECXZ:
        mnemonic = "jecxz";
        opcode = bits_ == 32 ? std::vector<uint8_t>{0xE3} : std::vector<uint8_t>{0x67, 0xE3};
        break;
      case jtJCXZ:
        mnemonic = "jcxz";
        if (bits_ == 64) fail(where + ": jcxz does not exist in 64-bit mode");
        opcode = bits_ == 16 ? std::vector<uint8_t>{0xE3} : std::vector<uint8_t>{0x67, 0xE3};
        break;
      default:
        fail(where + " is a jump of the unknown kind " + std::to_string(jt));
    }
    const int64_t rel = target - (at + static_cast<int64_t>(opcode.size()) + 1);
    if (rel < -128 || rel > 127)
      fail(where + ": the target of " + mnemonic + " is " + std::to_string(rel) +
           " bytes away; it has only a short form, which reaches -128 to 127 bytes");
    n = 0;
    for (uint8_t b : opcode) out[n++] = b;
    out[n++] = static_cast<uint8_t>(rel);
  }
  std::memcpy(&p.code[pos], out, 7);
}

// The prologue leaves six NOPs where the locals are reserved once their size
// is known: "sub esp, size" (sp, rsp by mode) in its shortest form.
void FlatBuilder::resolveLocals(Placed& p, uint32_t pos, const std::string& where) {
  if (uint64_t(pos) + 6 > p.code.size()) fail(where + ": the room for the locals lies outside the code");
  for (uint32_t k = 0; k < 6; ++k)
    if (p.code[pos + k] != 0x90) fail(where + ": the room for the locals is not six NOPs");
  const uint32_t size = p.fn->LocalSize;
  if (size == 0) return;
  std::vector<uint8_t> ins;
  if (bits_ == 64) ins.push_back(0x48);
  if (size <= 127) {
    ins.insert(ins.end(), {0x83, 0xEC, static_cast<uint8_t>(size)});
  } else {
    const uint32_t field = bits_ == 16 ? 2 : 4;
    if (bits_ == 16 && size > 0xFFFF) fail(where + ": " + std::to_string(size) + " bytes of locals exceed 64 KiB");
    ins.insert(ins.end(), {0x81, 0xEC});
    for (uint32_t k = 0; k < field; ++k) ins.push_back(static_cast<uint8_t>(size >> (8 * k)));
  }
  if (ins.size() > 6)
    fail(where + ": " + std::to_string(size) +
         " bytes of locals need \"sub rsp\" with a 4-byte immediate, which does not fit the six bytes "
         "that the prologue leaves; 64-bit functions can reserve at most 127 bytes there");
  std::memcpy(&p.code[pos], ins.data(), ins.size());
}

void FlatBuilder::resolveCode(Placed& p) {
  TFunction* f = const_cast<TFunction*>(p.fn);
  for (uint32_t j = 0, m = vk->Fixup_Count(f); j < m; ++j) {
    const TFixup* fx = vk->Fixup_Get(f, j);
    if (!fx || fx->hint == ftAlignment) continue;
    const std::string where = "the fixup at offset " + std::to_string(fx->position) + " of " + nameOf(f);
    const uint32_t room = fx->hint == ftLocals ? 6 : fx->size;
    if (uint64_t(fx->position) + room > p.oldLen || p.cutInto(fx->position, room))
      fail(where + " does not lie inside the code");
    const uint32_t pos = p.map(fx->position);
    const int64_t offset = static_cast<int32_t>(fx->offset);
    switch (fx->hint) {
      case ftJmp:
        resolveJump(p, fx, pos, where);
        break;
      case ftLabel: {
        // call rel32 (rel16 in 16-bit code), counted from the field's end.
        const int64_t target = static_cast<int64_t>(addressOf(vk->Func_Get(fx->index), where)) + offset;
        const int64_t from = static_cast<int64_t>(p.base + pos + fx->size);
        if (fx->size == 2) {
          if (target < 0 || target > 0xFFFF || from > 0xFFFF) fail(where + ": the call leaves the 64 KiB of 16-bit code");
        } else if (fx->size != 4) {
          fail(where + " is a call whose field is " + std::to_string(fx->size) + " bytes, not 2 or 4");
        } else if (target - from < INT32_MIN || target - from > INT32_MAX) {
          fail(where + ": the call target is out of reach");
        }
        put(p.code, pos, static_cast<uint64_t>(target - from), fx->size);
        break;
      }
      case ftLabelAbs:
      case ftCodeRVA:
        putAbsolute(p.code, pos, static_cast<int64_t>(addressOf(vk->Func_Get(fx->index), where)) + offset,
                    fx->size, where);
        break;
      case ftRelative:
        // The offset part of a far pointer (jmp seg:label) is the label's
        // absolute address; the fixup's offset, the length of the far jump,
        // has no part in it.
        putAbsolute(p.code, pos, static_cast<int64_t>(addressOf(vk->Func_Get(fx->index), where)), fx->size,
                    where);
        break;
      case ftVar:
      case ftConst:
        putAbsolute(p.code, pos, static_cast<int64_t>(dataAddress(fx, where)) + offset, fx->size, where);
        break;
      case ftLocals:
        resolveLocals(p, pos, where);
        break;
      default:
        fail(where + " is of the kind " + std::to_string(fx->hint) + ", which a flat binary has no use for");
    }
  }
}

// A fixup in a global's initial data: another global's or a constant's
// address (or a label's, should a plug-in have added one).
void FlatBuilder::resolveVariableFixup(const TFixup* fx, Data* owner) {
  const std::string where = "the fixup at offset " + std::to_string(fx->position) + " of the data of " +
                            (owner ? owner->name : std::string("a variable"));
  if (!owner) fail(where + ": the variable is not a global");
  if (uint64_t(fx->position) + fx->size > owner->bytes.size()) fail(where + " does not lie inside the data");
  const int64_t offset = static_cast<int32_t>(fx->offset);
  switch (fx->hint) {
    case ftVar:
    case ftConst:
      putAbsolute(owner->bytes, fx->position, static_cast<int64_t>(dataAddress(fx, where)) + offset, fx->size,
                  where);
      break;
    case ftLabelAbs:
    case ftCodeRVA:
      putAbsolute(owner->bytes, fx->position,
                  static_cast<int64_t>(addressOf(vk->Func_Get(fx->index), where)) + offset, fx->size, where);
      break;
    default:
      fail(where + " is of the kind " + std::to_string(fx->hint) + ", which data cannot hold");
  }
}

void FlatBuilder::write() {
  std::vector<uint8_t> image;
  image.reserve(end_);
  for (const Placed& p : funcs_) image.insert(image.end(), p.code.begin(), p.code.end());
  for (std::vector<Data>* list : {&consts_, &vars_}) {
    for (const Data& d : *list) {
      image.resize(d.base, 0);
      image.insert(image.end(), d.bytes.begin(), d.bytes.end());
    }
  }
  if (image.size() > 0xFFFFFFFFu) fail("the image is larger than 4 GiB");
  if (!image.empty() && vk->File_AddBytes(image.data(), static_cast<uint32_t>(image.size())) == 0)
    fail("the output buffer did not take the image");
  static const vwchar ext[] = {'b', 'i', 'n', 0};
  vk->set_fileext(ext);
}

bool FlatBuilder::run() {
  const TCompilerFlags* flags = vk->get_flags();
  bits_ = flags && (flags->cpu_bits == 16 || flags->cpu_bits == 64) ? flags->cpu_bits : 32;
  ptr_ = bits_ / 8;
  checkContents();
  chooseFunctions();
  placeData();
  for (Placed& p : funcs_) resolveCode(p);
  // Variable fixups, and the address of another global that a global holds
  // as its initial value (kept in the variable's own record).
  std::unordered_set<const TFixup*> seen;
  for (uint32_t i = 0, n = vk->vorak_var_fixupcount(); i < n; ++i) {
    const TFixup* fx = vk->vorak_var_fixup(i);
    if (!fx) continue;
    const auto it = varAt_.find(fx->parentfunc);
    resolveVariableFixup(fx, it == varAt_.end() ? nullptr : &vars_[it->second]);
    seen.insert(fx);
  }
  for (uint32_t i = 0, n = vk->Var_Count(); i < n; ++i) {
    const TVar* v = vk->Var_Get(i);
    if (!v || !v->fixup || seen.count(v->fixup)) continue;
    const auto it = varAt_.find(v);
    resolveVariableFixup(v->fixup, it == varAt_.end() ? nullptr : &vars_[it->second]);
  }
  write();
  return true;
}

vbool flatBuilder(uint32_t event, uint32_t /*builderID*/) {
  if (event != teComplete) return 1;
  try {
    FlatBuilder b;
    return b.run() ? 1 : 0;
  } catch (const Stop&) {
    return 0;
  } catch (const std::bad_alloc&) {
    vk->Log_MessageA("FLAT: out of memory", 1);
    return 0;
  } catch (...) {
    return 0;
  }
}

}  // namespace

FLAT_EXPORT const char* onEntry(void* const* table) {
  vk = reinterpret_cast<const TVorakCallbacks*>(table);
  vk->RegisterBuilder("FLAT", flatBuilder);
  return "FLAT builder";
}
