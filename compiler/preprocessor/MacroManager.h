// Macro definitions, the activations of running macros and the macro stack.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/source/AFile.h"
#include "compiler/source/PointerStack.h"
#include "compiler/source/SuperStringList.h"
#include "compiler/symbols/RegisterManager.h"

namespace vorak {

class TCurrentToken;

enum TMacroType : uint8_t { mtProc = 0, mtFunc = 1 };

// paramcount of a macro that takes any number of arguments.
inline constexpr uint32_t kUncountedParams = 0xFFFFFFFFu;

// One macro as declared: its names, counts and body text. Nothing of a call
// lives here but the result of a function macro, which a call that ends
// without #return yields again.
struct TMacro {
  TMacro(std::string_view name_, TMacroType type);
  ~TMacro();
  TMacro(const TMacro&) = delete;
  TMacro& operator=(const TMacro&) = delete;

  bool counted() const { return paramcount != kUncountedParams; }
  // Declares one more named parameter (lower-cased).
  void addParam(std::string_view paramName);

  uint32_t ident = SSL_NOT_FOUND;  // identifier index; none for an anonymous macro
  uint32_t index = 0;              // position in the macro manager's list
  std::string name;
  uint32_t paramcount = 0;
  std::vector<std::string> paramNames;  // the declared names, lower-cased
  TMacroType type_;
  bool parens_req = true;
  bool extendedmacro = false;
  std::unique_ptr<TCurrentToken> result;  // function macros only
  TAFile* code = nullptr;                 // the body; the compiler's file list owns it
  uint32_t running = 0;                   // activations of this macro now
};

// One running call: everything that belongs to this call alone, so that
// recursive and nested calls of one macro never share state.
struct TMacroActivation {
  TMacroActivation() = default;
  ~TMacroActivation();
  TMacroActivation(const TMacroActivation&) = delete;
  TMacroActivation& operator=(const TMacroActivation&) = delete;

  TMacro* macro = nullptr;
  // Arguments (declared parameters first), then values pushed by #mpush. A
  // nil entry is a slot without a value.
  std::vector<TCurrentToken*> values;
  TSuperStringList vars;             // macro variables: name -> TCurrentToken*
  TCurrentToken* operand = nullptr;  // "_operand": the assignment target
  TCurrentToken* state = nullptr;    // "state" of an extended macro, else nil
  uint32_t argc = 0;                 // arguments bound by the call
  uint32_t blocks = 0;               // extended-macro caller blocks running in it
  bool bodySaved = false;            // an outer call of the macro was reading its body
  TFilePos bodyPos;                  // where that outer call stood
  TRegStates regs{};                 // register states of the caller
};

class TMacroManager {
 public:
  // Creates the master macro, whose body buffer stands first in the
  // compiler's file list (it is created right after the compiler), and the
  // master activation that holds the top level's variables for the run.
  TMacroManager();
  ~TMacroManager();
  TMacroManager(const TMacroManager&) = delete;
  TMacroManager& operator=(const TMacroManager&) = delete;

  // Calls may nest this deep; one more is a fatal error.
  static constexpr uint32_t kMaxDepth = 128;
  // Calls in one compile: an expansion that doubles at every level would
  // otherwise run for ever. One more is a fatal error.
  static constexpr uint64_t kDefaultCallBudget = uint64_t{1} << 24;
  uint64_t CallBudget() const { return F_CallBudget; }
  void setCallBudget(uint64_t n) { F_CallBudget = n; }

  TAFile* MasterCode() const { return F_MasterCode; }
  TMacro* MasterMacro() const { return F_Master.get(); }
  TMacro* CurMacro() const { return F_Cur->macro; }
  // The activation whose variables and arguments "$name" reads.
  TMacroActivation* Current() const { return F_Cur; }
  void setCurrent(TMacroActivation* a) { F_Cur = a; }
  TMacroActivation* MasterActivation() const { return F_Frames[0].get(); }
  // Arguments bound in the running call ($argc).
  uint32_t curpars() const { return F_Cur->argc; }
  // True while no macro call is running in the current context.
  bool atTopLevel() const { return F_Cur == MasterActivation(); }

  // Returns the label counter; afterwards it grows by one when increment is
  // set and no token is being peeked.
  uint64_t uniqID(bool increment);
  void setUniqID(uint64_t v) { F_LblCounter = v; }

  // Creates a macro and appends it to the list; a named one is declared as
  // an itMacro identifier.
  TMacro* newMacro(std::string_view name, TMacroType type, bool anonymous);
  // The macro at a list index, or nil.
  TMacro* macroAt(uint32_t i) const { return i < F_List.size() ? F_List[i].get() : nullptr; }
  uint32_t Count() const { return static_cast<uint32_t>(F_List.size()); }

  // A fresh activation on top of the running ones (not yet current), or
  // nil past kMaxDepth or the call budget (budgetSpent then tells which).
  // popFrame ends the top one and keeps it for reuse.
  TMacroActivation* pushFrame(TMacro* m);
  void popFrame() noexcept;
  uint32_t Depth() const { return F_Depth; }
  bool budgetSpent() const { return F_Calls >= F_CallBudget; }
  // The running activations, the master's first.
  TMacroActivation* frame(uint32_t i) const { return F_Frames[i].get(); }

  // Tokens for argument values and variables, reused from call to call.
  // freeToken and clearActivation allocate nothing: they run while an
  // exception unwinds a call.
  static constexpr size_t kTokenPool = 4096;
  TCurrentToken* newToken();
  void freeToken(TCurrentToken* t) noexcept;
  // Frees every value and variable of an activation (declared names stay
  // with the macro).
  void clearActivation(TMacroActivation& a) noexcept;

  // The value of a macro variable of a, or nil.
  TCurrentToken* findVar(TMacroActivation& a, std::string_view name) const;
  // Sets a variable of a to a copy of value (added when new).
  void setVar(TMacroActivation& a, std::string_view name, const TCurrentToken& value);

  // For each running expansion, the buffer whose text called it.
  TPointerStack parentStack;

 private:
  TAFile* F_MasterCode = nullptr;
  bool F_OwnsMasterCode = false;  // no compiler's list took it
  std::unique_ptr<TMacro> F_Master;
  std::vector<std::unique_ptr<TMacro>> F_List;
  // F_Frames[0] is the master's; 1 .. F_Depth the running calls; the rest
  // are kept for reuse.
  std::vector<std::unique_ptr<TMacroActivation>> F_Frames;
  uint32_t F_Depth = 0;
  TMacroActivation* F_Cur = nullptr;
  uint64_t F_LblCounter = 0;
  uint64_t F_Calls = 0;
  uint64_t F_CallBudget = kDefaultCallBudget;
  std::vector<TCurrentToken*> F_FreeTokens;
};

}  // namespace vorak
