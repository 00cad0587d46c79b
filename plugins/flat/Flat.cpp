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

// A stretch of a function's code whose length the builder chooses once the
// layout is known: a jump's 7-byte placeholder (its short or near form), the
// room the prologue leaves for the locals (the shortest "sub esp" for their
// size, or nothing) and alignment filler (cut to what aligns the code after
// it). Everything after such a stretch moves with it.
struct Edit {
  enum Kind : uint8_t { Jump, Locals, Align };
  Kind kind = Jump;
  // Jumps: the near form once the short one fell out of reach (it never
  // goes back).
  bool nearForm = false;
  uint8_t shortLen = 0;  // jumps: bytes of the short and the near form (the
  uint8_t nearLen = 0;   // same for jumps that have a short form only)
  uint8_t bits = 32;     // the mode of the code the stretch sits in
  uint32_t at = 0;       // offset in the compiled code
  uint32_t oldLen = 0;   // bytes there in the compiled code
  uint32_t newLen = 0;   // bytes in the image, after the last layout
  int64_t shift = 0;     // what the edits before it added (negative: removed)
  const TFixup* fx = nullptr;
  // Jumps: the target, a laid-out function and an offset in its compiled
  // code (plus the fixup's own offset), and the first stretch of that
  // function not before it (its editAfter, fixed for the run).
  uint32_t targetFunc = 0;
  uint32_t targetOld = 0;
  uint32_t targetEdit = 0;
  int32_t targetOffset = 0;
};

// One function laid out in the image: its compiled code, the stretches whose
// length the layout decides, where it stands, and finally its image bytes.
struct Placed {
  const TFunction* fn = nullptr;
  const uint8_t* src = nullptr;  // the compiled code, read in place
  uint32_t oldLen = 0;
  uint64_t base = 0;
  uint64_t newLen = 0;
  std::vector<Edit> edits;    // in offset order, none overlapping
  size_t firstEdit = 0;       // index of edits[0] over all functions' edits
  std::vector<uint8_t> code;  // the image bytes, built after the layout
  std::vector<const TFixup*> fixups;  // the function's fixups, read once

  // The first edit that does not end at or before old.
  size_t editAfter(uint32_t old) const {
    return static_cast<size_t>(
        std::partition_point(edits.begin(), edits.end(),
                             [old](const Edit& e) { return uint64_t(e.at) + e.oldLen <= old; }) -
        edits.begin());
  }
  // New offset of an old one. An offset inside a stretch keeps its distance
  // from the stretch's end as far as the new length allows: inside cut
  // filler it moves to the start of the filler that stays.
  uint64_t map(uint32_t old) const { return mapAt(old, editAfter(old)); }
  // The same, with k = editAfter(old) known.
  uint64_t mapAt(uint32_t old, size_t k) const {
    if (k < edits.size() && old > edits[k].at) {
      const Edit& e = edits[k];
      const int64_t fromEnd = int64_t(e.at) + e.oldLen - old;
      const int64_t inside = std::max<int64_t>(0, int64_t(e.newLen) - fromEnd);
      return static_cast<uint64_t>(int64_t(e.at) + e.shift + inside);
    }
    const int64_t shift = k < edits.size() ? edits[k].shift : int64_t(newLen) - oldLen;
    return static_cast<uint64_t>(int64_t(old) + shift);
  }
  // The edit the old range [pos, pos + len) overlaps, if any.
  const Edit* overlap(uint32_t pos, uint32_t len) const {
    const size_t k = editAfter(pos);
    if (k < edits.size() && edits[k].at < uint64_t(pos) + len) return &edits[k];
    return nullptr;
  }
};

class FlatBuilder;

// What a message names: a text made already, or a fixup of a function (an
// alignment one named as such), whose text is made only when a message is
// written: almost no fixup ever needs it.
struct Where {
  const std::string* text = nullptr;
  const FlatBuilder* b = nullptr;
  const Placed* p = nullptr;
  const TFixup* fx = nullptr;
  bool align = false;
};
std::string operator+(const Where& w, const char* rest);

// An item of the data area. A constant's bytes are made here; a global's
// initial data is read in place from its record and copied only into the
// output buffer, so a large global is held twice at most, never more.
struct Data {
  std::vector<uint8_t> bytes;    // a constant's bytes
  const uint8_t* src = nullptr;  // else these bytes in place, or zeros when nullptr
  uint64_t size = 0;
  uint64_t base = 0;
  std::string name;
  const uint8_t* data() const { return bytes.empty() ? src : bytes.data(); }
};

// A field of a global's initial data, written into the output buffer once
// the data is there.
struct DataPatch {
  uint64_t at = 0;  // offset in the image
  uint64_t value = 0;
  uint8_t size = 0;
};

class FlatBuilder {
 public:
  bool run();
  std::string textOf(const Where& w) const;

 private:
  void checkContents();
  void chooseFunctions();
  void collectEdits(size_t k);
  void layOut();
  bool placeCode();
  void shrinkJumps();
  bool shortReaches(size_t f, size_t i, const std::vector<uint64_t>& filler) const;
  bool tryShort(const std::vector<Edit*>& jumps);
  void buildCode(Placed& p);
  void placeData();
  void resolveCode(Placed& p);
  void resolveVariableFixup(const TFixup* fx, Data* owner);
  void write();

  std::string nameOf(const TFunction* f) const;
  const TFunction* topOf(const TFunction* f) const;
  const TFunction* labelOf(const TFixup* fx) const;
  bool layable(const TFunction* f) const;
  uint64_t addressOf(const TFunction* target, const Where& where);
  size_t placeOf(const TFunction* target, const Where& where, uint32_t& offset);
  uint64_t dataAddress(const TFixup* fx, const Where& where);
  void put(std::vector<uint8_t>& buf, uint32_t pos, uint64_t value, uint32_t size);
  void putAbsolute(std::vector<uint8_t>& buf, uint32_t pos, int64_t value, uint32_t size,
                   const Where& where);
  uint64_t checkedAbsolute(int64_t value, uint32_t size, uint32_t bits, const Where& where) const;
  uint32_t modeOf(const TFixup* fx, const Where& where) const;
  void append(const void* bytes, uint64_t len);
  void targetOf(Edit& e, const Where& where);
  uint32_t jumpLength(const Edit& e) const;
  int64_t jumpDistance(const Placed& p, const Edit& e) const;
  void writeJump(const Placed& p, const Edit& e, uint8_t* out);
  uint32_t localsLength(const Placed& p, const Where& where) const;
  void writeLocals(const Placed& p, const Edit& e, uint8_t* out) const;
  Where whereOf(const Placed& p, const TFixup* fx, bool align = false) const { return {nullptr, this, &p, fx, align}; }

  // The build's mode: the data area's alignment, and the mode of a fixup
  // that names none. Code is laid out in the mode of each of its fixups.
  uint32_t bits_ = 32;
  uint32_t ptr_ = 4;
  const TFunction* main_ = nullptr;
  uint32_t funcCount_ = 0;
  std::vector<Placed> funcs_;  // main first, then by function index
  std::unordered_map<const TFunction*, size_t> funcAt_;
  std::vector<Data> consts_;
  std::unordered_map<const void*, size_t> constAt_;
  std::vector<Data> vars_;
  std::unordered_map<const void*, size_t> varAt_;
  std::vector<DataPatch> patches_;
  uint64_t end_ = 0;
  // The layout rounds: the count of stretches whose length changed in the
  // last round before each stretch (all functions' stretches in image
  // order, one more entry at the end), and whether a round has run.
  std::vector<uint32_t> changedBefore_;
  bool laidOut_ = false;
  // The jumps that were near before a try of short forms.
  std::vector<bool> nearBefore_;
};

uint64_t alignUp(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

// The label or function a fixup names by its index; nullptr for an index
// that names none. Func_Get takes 0xFFFFFFFF for the function being
// compiled, which no fixup means.
const TFunction* FlatBuilder::labelOf(const TFixup* fx) const {
  return fx->index < funcCount_ ? vk->Func_Get(fx->index) : nullptr;
}

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
  funcCount_ = n;
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
  std::vector<std::vector<const TFixup*>> fixups;
  for (size_t k = 0; k < chosen.size(); ++k) {
    TFunction* f = const_cast<TFunction*>(chosen[k]);
    fixups.emplace_back();
    const uint32_t m = vk->Fixup_Count(f);
    fixups.back().reserve(m);
    for (uint32_t j = 0; j < m; ++j) {
      const TFixup* fx = vk->Fixup_Get(f, j);
      if (!fx) continue;
      fixups.back().push_back(fx);
      if (fx->hint != ftLabel && fx->hint != ftJmp && fx->hint != ftLabelAbs && fx->hint != ftRelative &&
          fx->hint != ftCodeRVA)
        continue;
      const TFunction* top = topOf(labelOf(fx));
      if (layable(top) && top->FuncIndex < n && !in[top->FuncIndex]) {
        in[top->FuncIndex] = true;
        chosen.push_back(top);
      }
    }
  }
  std::vector<size_t> order(chosen.size());
  for (size_t k = 0; k < order.size(); ++k) order[k] = k;
  std::sort(order.begin() + 1, order.end(),
            [&chosen](size_t a, size_t b) { return chosen[a]->FuncIndex < chosen[b]->FuncIndex; });

  funcs_.resize(chosen.size());
  for (size_t k = 0; k < chosen.size(); ++k) {
    Placed& p = funcs_[k];
    p.fn = chosen[order[k]];
    p.fixups = std::move(fixups[order[k]]);
    funcAt_[p.fn] = k;
    uint32_t len = 0;
    p.src = static_cast<const uint8_t*>(vk->Code_Get(p.fn->FuncIndex, &len));
    if (!p.src && len != 0) fail("cannot read the code of " + nameOf(p.fn));
    p.oldLen = p.src ? len : 0;
    p.newLen = p.oldLen;
  }
  for (size_t k = 0; k < chosen.size(); ++k) collectEdits(k);
  layOut();
}

std::string FlatBuilder::textOf(const Where& w) const {
  if (w.text) return *w.text;
  return (w.align ? "the alignment at offset " : "the fixup at offset ") + std::to_string(w.fx->position) +
         " of " + nameOf(w.p->fn);
}

std::string operator+(const Where& w, const char* rest) { return w.b ? w.b->textOf(w) + rest : *w.text + rest; }

// Finds the stretches of a function's code the layout sizes: jump
// placeholders, the locals room and alignment filler.
void FlatBuilder::collectEdits(size_t k) {
  Placed& p = funcs_[k];
  TFunction* f = const_cast<TFunction*>(p.fn);
  p.edits.reserve(static_cast<size_t>(std::count_if(p.fixups.begin(), p.fixups.end(), [](const TFixup* fx) {
    return fx->hint == ftJmp || fx->hint == ftLocals || fx->hint == ftAlignment;
  })));
  for (const TFixup* fx : p.fixups) {
    if ((fx->hint != ftJmp && fx->hint != ftLocals && fx->hint != ftAlignment)) continue;
    Edit e;
    e.fx = fx;
    e.at = fx->position;
    const Where where = whereOf(p, fx, fx->hint == ftAlignment);
    e.bits = static_cast<uint8_t>(modeOf(fx, where));
    switch (fx->hint) {
      case ftJmp:
        if (fx->size != 7) fail(where + " is a jump whose placeholder is not 7 bytes");
        e.kind = Edit::Jump;
        e.oldLen = 7;
        break;
      case ftLocals:
        e.kind = Edit::Locals;
        e.oldLen = 6;
        break;
      default:
        if (fx->size == 0) fail(where + " does not lie inside the code");
        e.kind = Edit::Align;
        e.oldLen = fx->size;
        break;
    }
    if (uint64_t(e.at) + e.oldLen > p.oldLen) fail(where + " does not lie inside the code");
    if (e.kind == Edit::Locals) {
      for (uint32_t i = 0; i < 6; ++i)
        if (p.src[e.at + i] != 0x90) fail(where + ": the room for the locals is not six NOPs");
      e.newLen = localsLength(p, where);
    } else if (e.kind == Edit::Jump) {
      targetOf(e, where);
      // Both lengths, worked out once for the layout's rounds.
      e.nearForm = true;
      e.nearLen = static_cast<uint8_t>(jumpLength(e));
      e.nearForm = false;
      e.shortLen = static_cast<uint8_t>(jumpLength(e));
    }
    p.edits.push_back(e);
  }
  // The compiler records them in offset order; sorting is for the odd one out.
  const auto byOffset = [](const Edit& a, const Edit& b) { return a.at < b.at; };
  if (!std::is_sorted(p.edits.begin(), p.edits.end(), byOffset)) std::sort(p.edits.begin(), p.edits.end(), byOffset);
  for (size_t i = 1; i < p.edits.size(); ++i) {
    const Edit &a = p.edits[i - 1], &b = p.edits[i];
    if (uint64_t(a.at) + a.oldLen > b.at)
      fail("the fixups at offsets " + std::to_string(a.at) + " and " + std::to_string(b.at) + " of " + nameOf(f) +
           " claim the same bytes");
  }
}

// Where a jump goes: a laid-out function and an offset in its compiled code.
void FlatBuilder::targetOf(Edit& e, const Where& where) {
  e.targetFunc = static_cast<uint32_t>(placeOf(labelOf(e.fx), where, e.targetOld));
  e.targetOffset = static_cast<int32_t>(e.fx->offset);
}

// The bytes of a jump in its present form. The count-register jumps and the
// loops have a short form only.
uint32_t FlatBuilder::jumpLength(const Edit& e) const {
  if (e.shortLen) return e.nearForm ? e.nearLen : e.shortLen;
  const int16_t jt = e.fx->jmp;
  const uint32_t bits = e.bits;
  if (jt == jtJECXZ) return bits == 32 ? 2 : 3;
  if (jt == jtJCXZ) return bits == 16 ? 2 : 3;
  if (jt < 0 || jt > jtJMP) return 2;
  if (!e.nearForm) return 2;
  const uint32_t field = bits == 16 ? 2 : 4;
  return (jt == jtJMP ? 1 : 2) + field;
}

// From the end of the jump to its target, in the present layout.
int64_t FlatBuilder::jumpDistance(const Placed& p, const Edit& e) const {
  const Placed& t = funcs_[e.targetFunc];
  const int64_t target = static_cast<int64_t>(t.base + t.mapAt(e.targetOld, e.targetEdit)) + e.targetOffset;
  const int64_t end = static_cast<int64_t>(p.base) + e.at + e.shift + e.newLen;
  return target - end;
}

// One pass over the code with the present choice of jump forms: the length
// of every stretch, and where every function starts. Returns whether a short
// jump fell out of reach and was made near.
//
// A jump's distance depends only on the stretches between it and its target
// (function starts included, as functions follow each other in the image).
// After the first round, a short jump none of whose stretches changed length
// in this round has the distance it had in the last, which was in reach, so
// it is not measured again.
bool FlatBuilder::placeCode() {
  uint64_t at = 0;
  uint32_t changes = 0;
  size_t g = 0;
  for (Placed& p : funcs_) {
    p.base = at;
    int64_t shift = 0;
    for (Edit& e : p.edits) {
      e.shift = shift;
      const uint32_t before = e.newLen;
      const uint64_t start = at + static_cast<uint64_t>(int64_t(e.at) + shift);
      if (e.kind == Edit::Align) e.newLen = static_cast<uint32_t>((e.oldLen - start % e.oldLen) % e.oldLen);
      else if (e.kind == Edit::Jump) e.newLen = jumpLength(e);
      changedBefore_[g++] = changes;
      if (e.newLen != before) ++changes;
      shift += int64_t(e.newLen) - int64_t(e.oldLen);
    }
    p.newLen = static_cast<uint64_t>(int64_t(p.oldLen) + shift);
    at += p.newLen;
  }
  changedBefore_[g] = changes;
  end_ = at;
  const bool all = !laidOut_;
  laidOut_ = true;
  if (!all && changes == 0) return false;
  bool grew = false;
  for (Placed& p : funcs_) {
    for (size_t i = 0; i < p.edits.size(); ++i) {
      Edit& e = p.edits[i];
      // A jump whose forms have one length (the loops, the count-register
      // jumps) never grows.
      if (e.kind != Edit::Jump || e.nearForm || e.nearLen == e.shortLen) continue;
      if (!all) {
        const size_t self = p.firstEdit + i;
        const size_t target = funcs_[e.targetFunc].firstEdit + e.targetEdit;
        const size_t lo = std::min(self, target);
        const size_t hi = std::min(std::max(self, target) + 1, g);
        if (changedBefore_[hi] == changedBefore_[lo]) continue;
      }
      const int64_t rel = jumpDistance(p, e);
      if (rel < -128 || rel > 127) {
        e.nearForm = true;
        grew = true;
      }
    }
  }
  return grew;
}

// Every jump starts short; one out of reach becomes near, which moves the
// code after it, so the layout is made again until no jump changes. A jump
// only ever grows, so this ends; should a long chain keep growing one jump
// a round, the rest are made near at once, which is always in reach.
void FlatBuilder::layOut() {
  size_t total = 0;
  for (Placed& p : funcs_) {
    p.firstEdit = total;
    total += p.edits.size();
    for (Edit& e : p.edits)
      if (e.kind == Edit::Jump) e.targetEdit = static_cast<uint32_t>(funcs_[e.targetFunc].editAfter(e.targetOld));
  }
  changedBefore_.assign(total + 1, 0);
  laidOut_ = false;
  size_t rounds = 0;
  while (placeCode()) {
    if (++rounds < 64) continue;
    for (Placed& p : funcs_)
      for (Edit& e : p.edits)
        if (e.kind == Edit::Jump) e.nearForm = true;
    placeCode();
    break;
  }
  shrinkJumps();
}

// Whether the near jump i of function f would reach its target in its short
// form, all else staying as laid out now. A backward jump's target stays
// where it is. Behind a forward one the code moves back by what the jump
// saves, and each alignment filler on the way passes on what keeps the code
// after it aligned: less, or up to its alignment more, so the walk follows
// the fillers to the target. filler holds the filler bytes before each
// stretch (all functions' stretches in image order): the code between a
// jump and its target can move back by no more than the jump saves and the
// filler between gives up, which turns most near jumps away unwalked.
bool FlatBuilder::shortReaches(size_t f, size_t i, const std::vector<uint64_t>& filler) const {
  const Placed& p = funcs_[f];
  const Edit& e = p.edits[i];
  const int64_t saved = int64_t(e.nearLen) - e.shortLen;
  const int64_t rel = jumpDistance(p, e);
  if (rel < 0) return rel + saved >= -128;
  const size_t self = p.firstEdit + i;
  const size_t target = funcs_[e.targetFunc].firstEdit + e.targetEdit;
  const size_t past = std::min(target, filler.size() - 1);
  if (rel - static_cast<int64_t>(past > self ? filler[past] - filler[self + 1] : 0) > 127) return false;
  int64_t moved = saved;  // how far the code at the walk's place moves back
  size_t g = self + 1;
  for (size_t q = f, k = i + 1; moved != 0 && g < target; ++g, ++k) {
    while (k >= funcs_[q].edits.size()) {
      ++q;
      k = 0;
    }
    const Placed& at = funcs_[q];
    const Edit& a = at.edits[k];
    if (a.kind != Edit::Align) continue;
    const int64_t start = static_cast<int64_t>(at.base) + a.at + a.shift;
    const int64_t moot = start - moved;
    const int64_t end = moot + static_cast<int64_t>((a.oldLen - static_cast<uint64_t>(moot) % a.oldLen) % a.oldLen);
    moved = start + a.newLen - end;
  }
  return rel + saved - moved <= 127;
}

// Makes the given near jumps short at once; they stay so when the layout
// that follows keeps every jump in reach, else they and what grew are put
// back and the layout is as it was.
bool FlatBuilder::tryShort(const std::vector<Edit*>& jumps) {
  nearBefore_.clear();
  for (const Placed& p : funcs_)
    for (const Edit& e : p.edits) nearBefore_.push_back(e.nearForm);
  for (Edit* e : jumps) e->nearForm = false;
  if (!placeCode()) return true;
  size_t g = 0;
  for (Placed& p : funcs_)
    for (Edit& e : p.edits) e.nearForm = nearBefore_[g++];
  while (placeCode()) {
  }
  return false;
}

// Alignment filler is why a jump can end near though its short form reaches:
// a jump measured while the filler behind it was longer (a jump grown later
// shortened it) was made near, and jumps only grow. So the near jumps whose
// short form would reach are tried short, all together first and, when
// that puts a jump out of reach, one at a time. Each round that keeps one
// short makes one near jump fewer, so this ends; it ends when no near jump
// can be made short without putting a jump out of reach.
void FlatBuilder::shrinkJumps() {
  bool anyAlign = false;
  for (const Placed& p : funcs_)
    for (const Edit& e : p.edits) anyAlign = anyAlign || e.kind == Edit::Align;
  if (!anyAlign) return;  // without filler nothing moves back to grow a jump
  std::vector<uint64_t> filler(changedBefore_.size(), 0);
  std::vector<Edit*> tries;
  for (;;) {
    size_t g = 0;
    tries.clear();
    for (size_t f = 0; f < funcs_.size(); ++f)
      for (const Edit& e : funcs_[f].edits) {
        filler[g + 1] = filler[g] + (e.kind == Edit::Align ? e.newLen : 0);
        ++g;
      }
    for (size_t f = 0; f < funcs_.size(); ++f)
      for (size_t i = 0; i < funcs_[f].edits.size(); ++i) {
        Edit& e = funcs_[f].edits[i];
        if (e.kind == Edit::Jump && e.nearForm && e.nearLen != e.shortLen && shortReaches(f, i, filler))
          tries.push_back(&e);
      }
    if (tries.empty() || tryShort(tries)) {
      if (tries.empty()) return;
      continue;
    }
    bool kept = false;
    for (Edit* e : tries) kept = tryShort({e}) || kept;
    if (!kept) return;
  }
}

// The image bytes of a function: its code with every stretch in its final
// form. Jumps are written here; the other fixups are patched afterwards.
void FlatBuilder::buildCode(Placed& p) {
  p.code.clear();
  p.code.reserve(p.newLen);
  uint32_t from = 0;
  for (const Edit& e : p.edits) {
    p.code.insert(p.code.end(), p.src + from, p.src + e.at);
    const size_t pos = p.code.size();
    p.code.resize(pos + e.newLen);
    switch (e.kind) {
      case Edit::Align:
        // The bytes removed are taken from the start of the filler.
        std::memcpy(&p.code[pos], p.src + e.at + (e.oldLen - e.newLen), e.newLen);
        break;
      case Edit::Jump: writeJump(p, e, &p.code[pos]); break;
      case Edit::Locals: writeLocals(p, e, &p.code[pos]); break;
    }
    from = e.at + e.oldLen;
  }
  p.code.insert(p.code.end(), p.src + from, p.src + p.oldLen);
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
    d.size = d.bytes.size();
    d.base = at;
    at = alignUp(at + d.size, ptr_);
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
      d.src = v->content;
      d.size = count;
    } else if (v->type_) {
      d.size = uint64_t{v->type_->size} * v->multiplier;
    }
    d.base = at;
    at = alignUp(at + d.size, ptr_);
    varAt_[v] = vars_.size();
    vars_.push_back(std::move(d));
  }
  end_ = at;
}

// The address of a function or label.
uint64_t FlatBuilder::addressOf(const TFunction* target, const Where& where) {
  uint32_t offset = 0;
  const Placed& p = funcs_[placeOf(target, where, offset)];
  return p.base + p.map(offset);
}

// The laid-out function that holds a function or label, and the label's
// offset in its compiled code.
size_t FlatBuilder::placeOf(const TFunction* target, const Where& where, uint32_t& offset) {
  if (!target) fail(where + " refers to a label that does not exist");
  offset = 0;
  const auto it = funcAt_.find(target);
  if (it != funcAt_.end()) {
    const Placed& p = funcs_[it->second];
    if (target != main_ && p.oldLen == 0)
      fail(where + " refers to " + nameOf(target) + ", which is declared but has no code");
    return it->second;
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
  offset = target->Address;
  return parent->second;
}

// The address of the variable or constant a fixup's data points at.
uint64_t FlatBuilder::dataAddress(const TFixup* fx, const Where& where) {
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
                              const Where& where) {
  put(buf, pos, checkedAbsolute(value, size, modeOf(where.fx, where), where), size);
}

uint64_t FlatBuilder::checkedAbsolute(int64_t value, uint32_t size, uint32_t bits, const Where& where) const {
  int64_t limit = 0;
  if (size == 2) limit = 0xFFFF;
  else if (size == 4) limit = bits == 64 ? 0x7FFFFFFF : 0xFFFFFFFF;
  else if (size == 8) limit = INT64_MAX;
  else fail(where + " has a field of " + std::to_string(size) + " bytes, which cannot hold an address");
  if (value < 0 || value > limit)
    fail(where + ": the address " + (value < 0 ? "-" + hex(uint64_t(-value)) : hex(uint64_t(value))) +
         " does not fit its " + std::to_string(size) + "-byte field");
  return static_cast<uint64_t>(value);
}

// The mode a fixup was filed in: that of the code around it, which a file
// that changes mode may hold in several; 0 is the build's.
uint32_t FlatBuilder::modeOf(const TFixup* fx, const Where& where) const {
  if (!fx || fx->bits == 0) return bits_;
  if (fx->bits != 16 && fx->bits != 32 && fx->bits != 64)
    fail(where + " is filed in the mode " + std::to_string(fx->bits) + ", which is none of 16, 32 and 64");
  return fx->bits;
}

// A jump in the form the layout chose: short (EB, 70+cc, the loops and the
// count-register jumps) or near (E9, 0F 80+cc; rel16 in 16-bit code).
void FlatBuilder::writeJump(const Placed& p, const Edit& e, uint8_t* out) {
  const Where where = whereOf(p, e.fx);
  const int16_t jt = e.fx->jmp;
  const uint32_t bits = e.bits;
  const int64_t rel = jumpDistance(p, e);
  uint32_t n = 0;
  if (jt >= 0 && jt <= jtJMP) {
    if (!e.nearForm) {
      // The layout made every short jump that fell out of reach near.
      if (rel < -128 || rel > 127) fail(where + ": the short jump is out of reach");
      out[n++] = jt == jtJMP ? 0xEB : static_cast<uint8_t>(0x70 + jt);
      out[n++] = static_cast<uint8_t>(rel);
      return;
    }
    if (jt == jtJMP) {
      out[n++] = 0xE9;
    } else {
      out[n++] = 0x0F;
      out[n++] = static_cast<uint8_t>(0x80 + jt);
    }
    const uint32_t field = bits == 16 ? 2 : 4;
    const int64_t at = static_cast<int64_t>(p.base) + e.at + e.shift;
    if (bits == 16) {
      if (rel + at + e.newLen > 0xFFFF || at > 0xFFFF) fail(where + ": the jump leaves the 64 KiB of 16-bit code");
    } else if (rel < INT32_MIN || rel > INT32_MAX) {
      fail(where + ": the jump target is out of reach");
    }
    for (uint32_t k = 0; k < field; ++k) out[n++] = static_cast<uint8_t>(static_cast<uint64_t>(rel) >> (8 * k));
    return;
  }
  const char* mnemonic = "";
  switch (jt) {
    case jtLOOPNE: mnemonic = "loopne"; out[n++] = 0xE0; break;
    case jtLOOPE: mnemonic = "loope"; out[n++] = 0xE1; break;
    case jtLOOP: mnemonic = "loop"; out[n++] = 0xE2; break;
    case jtJECXZ:
      mnemonic = "jecxz";
      if (bits != 32) out[n++] = 0x67;
      out[n++] = 0xE3;
      break;
    case jtJCXZ:
      mnemonic = "jcxz";
      if (bits == 64) fail(where + ": jcxz does not exist in 64-bit mode");
      if (bits != 16) out[n++] = 0x67;
      out[n++] = 0xE3;
      break;
    default:
      fail(where + " is a jump of the unknown kind " + std::to_string(jt));
  }
  if (rel < -128 || rel > 127)
    fail(where + ": the target of " + mnemonic + " is " + std::to_string(rel) +
         " bytes away; it has only a short form, which reaches -128 to 127 bytes");
  out[n++] = static_cast<uint8_t>(rel);
}

// The prologue leaves six NOPs where the locals are reserved once their size
// is known: "sub esp, size" (sp, rsp by mode) in its shortest form, with an
// 8-bit immediate up to 127 bytes, else a 16-bit (16-bit code) or 32-bit one;
// nothing at all without locals. A body that saves the caller's flags after
// its room (lfKeepFlags) gets "lea esp, [esp - size]" instead, which leaves
// them as they are: an 8-bit displacement up to 128 bytes, else a 32-bit
// one; 16-bit code addresses through ESP with the 67 prefix.
bool keepsFlags(const TFixup* fx) { return fx && fx->offset == lfKeepFlags; }

uint32_t FlatBuilder::localsLength(const Placed& p, const Where& where) const {
  const uint32_t size = p.fn->LocalSize;
  if (size == 0) return 0;
  const uint32_t bits = modeOf(where.fx, where);
  if (bits == 16 && size > 0xFFFF) fail(where + ": " + std::to_string(size) + " bytes of locals exceed 64 KiB");
  if (bits == 64 && size > 0x7FFFFFFF)
    fail(where + ": " + std::to_string(size) + " bytes of locals exceed the 2 GiB that sub rsp can reserve");
  if (keepsFlags(where.fx)) return (bits == 32 ? 3 : 4) + (size <= 128 ? 1 : 4);
  const uint32_t rex = bits == 64 ? 1 : 0;
  if (size <= 127) return rex + 3;
  return rex + 2 + (bits == 16 ? 2 : 4);
}

void FlatBuilder::writeLocals(const Placed& p, const Edit& e, uint8_t* out) const {
  const uint32_t size = p.fn->LocalSize;
  if (size == 0) return;
  const uint32_t bits = e.bits;
  uint32_t n = 0;
  if (keepsFlags(e.fx)) {
    if (bits == 16) out[n++] = 0x67;
    if (bits == 64) out[n++] = 0x48;
    out[n++] = 0x8D;
    const uint32_t disp = 0u - size;
    const uint32_t field = size <= 128 ? 1 : 4;
    out[n++] = field == 1 ? 0x64 : 0xA4;  // [esp + disp]: through a SIB byte
    out[n++] = 0x24;
    for (uint32_t k = 0; k < field; ++k) out[n++] = static_cast<uint8_t>(disp >> (8 * k));
    return;
  }
  if (bits == 64) out[n++] = 0x48;
  out[n++] = size <= 127 ? 0x83 : 0x81;
  out[n++] = 0xEC;
  const uint32_t field = size <= 127 ? 1 : bits == 16 ? 2 : 4;
  for (uint32_t k = 0; k < field; ++k) out[n++] = static_cast<uint8_t>(size >> (8 * k));
}

void FlatBuilder::resolveCode(Placed& p) {
  buildCode(p);
  for (const TFixup* fx : p.fixups) {
    // Jumps, the locals room and alignment are in place already.
    if (fx->hint == ftAlignment || fx->hint == ftJmp || fx->hint == ftLocals) continue;
    const Where where = whereOf(p, fx);
    if (uint64_t(fx->position) + fx->size > p.oldLen) fail(where + " does not lie inside the code");
    if (const Edit* e = p.overlap(fx->position, fx->size))
      fail(where + " lies inside the " +
           (e->kind == Edit::Jump ? std::string("jump") : e->kind == Edit::Locals ? "locals room" : "alignment filler") +
           " at offset " + std::to_string(e->at));
    const uint32_t pos = static_cast<uint32_t>(p.map(fx->position));
    const int64_t offset = static_cast<int32_t>(fx->offset);
    switch (fx->hint) {
      case ftLabel: {
        // call rel32 (rel16 in 16-bit code), counted from the field's end.
        // The field's width tells the form; the mode is checked as every
        // fixup's is.
        modeOf(fx, where);
        const int64_t target = static_cast<int64_t>(addressOf(labelOf(fx), where)) + offset;
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
        putAbsolute(p.code, pos, static_cast<int64_t>(addressOf(labelOf(fx), where)) + offset,
                    fx->size, where);
        break;
      case ftRelative:
        // The offset part of a far pointer (jmp seg:label) is the label's
        // absolute address; the fixup's offset, the length of the far jump,
        // has no part in it.
        putAbsolute(p.code, pos, static_cast<int64_t>(addressOf(labelOf(fx), where)), fx->size,
                    where);
        break;
      case ftVar:
      case ftConst:
        putAbsolute(p.code, pos, static_cast<int64_t>(dataAddress(fx, where)) + offset, fx->size, where);
        break;
      default:
        fail(where + " is of the kind " + std::to_string(fx->hint) + ", which a flat binary has no use for");
    }
  }
}

// A fixup in a global's initial data: another global's or a constant's
// address (or a label's, should a plug-in have added one).
void FlatBuilder::resolveVariableFixup(const TFixup* fx, Data* owner) {
  const std::string text = "the fixup at offset " + std::to_string(fx->position) + " of the data of " +
                            (owner ? owner->name : std::string("a variable"));
  const Where where{&text};
  if (!owner) fail(where + ": the variable is not a global");
  if (uint64_t(fx->position) + fx->size > owner->size) fail(where + " does not lie inside the data");
  const int64_t offset = static_cast<int32_t>(fx->offset);
  int64_t target = 0;
  switch (fx->hint) {
    case ftVar:
    case ftConst:
      target = static_cast<int64_t>(dataAddress(fx, where)) + offset;
      break;
    case ftLabelAbs:
    case ftCodeRVA:
      target = static_cast<int64_t>(addressOf(labelOf(fx), where)) + offset;
      break;
    default:
      fail(where + " is of the kind " + std::to_string(fx->hint) + ", which data cannot hold");
  }
  patches_.push_back({owner->base + fx->position, checkedAbsolute(target, fx->size, modeOf(fx, where), where), fx->size});
}

// Appends to the output buffer; nullptr bytes stand for zeros.
void FlatBuilder::append(const void* bytes, uint64_t len) {
  static const uint8_t zeros[4096] = {};
  while (len > 0) {
    const uint64_t n = bytes ? len : std::min<uint64_t>(len, sizeof zeros);
    if (vk->File_AddBytes(bytes ? bytes : zeros, static_cast<uint32_t>(n)) == 0)
      fail("the output buffer did not take the image");
    len -= n;
  }
}

// The pieces go into the output buffer one by one, each read where it is: the
// image is never assembled in a copy of its own.
void FlatBuilder::write() {
  uint64_t length = 0;
  for (const Placed& p : funcs_) length += p.code.size();
  for (const std::vector<Data>* list : {&consts_, &vars_})
    for (const Data& d : *list) length = d.base + d.size;
  if (length > 0xFFFFFFFFu) fail("the image is 4 GiB or larger");
  const uint64_t origin = vk->File_Len();
  uint64_t at = 0;
  for (Placed& p : funcs_) {
    append(p.code.data(), p.code.size());
    at += p.code.size();
    std::vector<uint8_t>().swap(p.code);
  }
  for (const std::vector<Data>* list : {&consts_, &vars_}) {
    for (const Data& d : *list) {
      append(nullptr, d.base - at);
      append(d.data(), d.size);
      at = d.base + d.size;
    }
  }
  for (const DataPatch& patch : patches_) {
    uint8_t field[8];
    for (uint32_t k = 0; k < patch.size; ++k) field[k] = static_cast<uint8_t>(patch.value >> (8 * k));
    if (vk->File_ReplaceBytes(static_cast<uint32_t>(origin + patch.at + 1), field, patch.size) == 0)
      fail("the output buffer did not take the image");
  }
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
