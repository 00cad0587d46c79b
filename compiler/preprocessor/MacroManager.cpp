// The macro manager: macro records, activations and the token pool.
#include "compiler/preprocessor/MacroManager.h"

#include <algorithm>

#include "compiler/driver/Common.h"
#include "compiler/driver/Utils.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/source/IdentManager.h"
#include "compiler/statements/Compiler.h"

namespace vorak {

TMacro::TMacro(std::string_view name_, TMacroType type) : name(name_), type_(type) {
  if (type == mtFunc) {
    result = std::make_unique<TCurrentToken>();
    result->setSymbol(';');
  }
}

TMacro::~TMacro() = default;

void TMacro::addParam(std::string_view paramName) {
  paramNames.push_back(lowerCase(paramName));
  ++paramcount;
}

TMacroActivation::~TMacroActivation() {
  // Tokens still held go with the activation (the pool is gone by then).
  for (TCurrentToken* t : values) delete t;
  for (uint32_t i = 0; i < vars.Count(); ++i) delete static_cast<TCurrentToken*>(vars.GetItem(i));
  delete operand;
  delete state;
}

TMacroManager::TMacroManager() : F_MasterCode(new TAFile(false)) {
  F_MasterCode->loadBuffer("master", std::string(), nullptr);
  if (!Compiler) {
    F_OwnsMasterCode = true;
  } else {
    const auto& files = Compiler->FileList();
    F_OwnsMasterCode = std::find(files.begin(), files.end(), F_MasterCode) == files.end();
  }
  F_Master = std::make_unique<TMacro>("master", mtProc);
  F_Master->code = F_MasterCode;
  F_Frames.push_back(std::make_unique<TMacroActivation>());
  F_Frames[0]->macro = F_Master.get();
  F_Cur = F_Frames[0].get();
  // Room for the whole pool now: a call that ends by an exception (out of
  // memory, say) hands its tokens back while unwinding, which must not
  // allocate.
  F_FreeTokens.reserve(kTokenPool);
}

TMacroManager::~TMacroManager() {
  F_Frames.clear();
  for (TCurrentToken* t : F_FreeTokens) delete t;
  if (F_OwnsMasterCode) delete F_MasterCode;
}

uint64_t TMacroManager::uniqID(bool increment) {
  const uint64_t v = F_LblCounter;
  if (increment && !CompileFlags.peek_mode) ++F_LblCounter;
  return v;
}

TMacro* TMacroManager::newMacro(std::string_view name, TMacroType type, bool anonymous) {
  auto m = std::make_unique<TMacro>(name, type);
  m->index = static_cast<uint32_t>(F_List.size());
  if (!anonymous) m->ident = Idents->addIdent(itMacro, lowerCase(name), m.get());
  F_List.push_back(std::move(m));
  return F_List.back().get();
}

TMacroActivation* TMacroManager::pushFrame(TMacro* m) {
  if (F_Depth >= kMaxDepth || F_Calls >= F_CallBudget) return nullptr;
  ++F_Calls;
  ++F_Depth;
  if (F_Frames.size() <= F_Depth) F_Frames.push_back(std::make_unique<TMacroActivation>());
  TMacroActivation* a = F_Frames[F_Depth].get();
  a->macro = m;
  a->argc = 0;
  a->blocks = 0;
  a->bodySaved = false;
  return a;
}

void TMacroManager::popFrame() noexcept {
  if (F_Depth == 0) return;
  TMacroActivation& a = *F_Frames[F_Depth];
  clearActivation(a);
  a.macro = nullptr;
  --F_Depth;
}

TCurrentToken* TMacroManager::newToken() {
  if (F_FreeTokens.empty()) return new TCurrentToken();
  TCurrentToken* t = F_FreeTokens.back();
  F_FreeTokens.pop_back();
  t->setNull();
  return t;
}

void TMacroManager::freeToken(TCurrentToken* t) noexcept {
  if (!t) return;
  // The pool keeps what one deep call needs; the rest goes. It never grows
  // past the room reserved for it.
  if (F_FreeTokens.size() >= kTokenPool) {
    delete t;
    return;
  }
  t->setNull();
  F_FreeTokens.push_back(t);
}

void TMacroManager::clearActivation(TMacroActivation& a) noexcept {
  for (TCurrentToken* t : a.values) freeToken(t);
  a.values.clear();
  for (uint32_t i = a.vars.Count(); i-- > 0;) {
    freeToken(static_cast<TCurrentToken*>(a.vars.GetItem(i)));
    a.vars.Delete(i);
  }
  freeToken(a.operand);
  a.operand = nullptr;
  freeToken(a.state);
  a.state = nullptr;
}

TCurrentToken* TMacroManager::findVar(TMacroActivation& a, std::string_view name) const {
  if (name.size() == 8) {
    char buf[8];
    for (size_t i = 0; i < 8; ++i) buf[i] = lowerChar(name[i]);
    if (std::string_view(buf, 8) == "_operand") return a.operand;
  }
  if (a.vars.Count() == 0) return nullptr;
  return static_cast<TCurrentToken*>(a.vars.ItemIndexOf(name, false, SSL_SCOPE_MAX));
}

void TMacroManager::setVar(TMacroActivation& a, std::string_view name, const TCurrentToken& value) {
  if (TCurrentToken* t = findVar(a, name)) {
    if (t != &value) t->setCurToken(value);
    return;
  }
  TCurrentToken* t = newToken();
  t->setCurToken(value);
  if (lowerCase(name) == "_operand") {
    a.operand = t;
    return;
  }
  a.vars.Add(lowerCase(name), t, 1);
}

}  // namespace vorak
