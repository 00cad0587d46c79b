// Functions, procedures and labels: creation, code buffers, parameters and
// reachability.
#include "compiler/symbols/FuncManager.h"

#include <algorithm>
#include <utility>

#include "compiler/driver/Common.h"
#include "compiler/driver/Utils.h"
#include "compiler/output/ImportManager.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/source/DefineManager.h"
#include "compiler/statements/Compiler.h"
#include "compiler/symbols/SharedBlocks.h"
#include "compiler/symbols/VarManager.h"
#include "encoder/Operand.h"

namespace vorak {

namespace {

// From here on the parameter name reads as the register that carries it: the
// current token becomes that register and the name a define of it.
void aliasParamRegister(std::string_view paramName, std::string_view regName) {
  TCurrentToken* tk = Compiler->CurToken();
  tk->setRegister(static_cast<TRegister>(strToReg(regName)), regName);
  DefMan->addDefine(paramName, tk);
}

// Frees what a record owns outside its slot; the slot (the record and its
// lists) goes with its block, the fixup records with the fixup manager.
void disposeFunction(TFunction* f) noexcept {
  for (TFuncParam& p : vorArrSpan(f->Params)) vorStrFree(p.name);
  vorArrFree(f->Params);
  for (TOperand* op : vorArrSpan(f->DefaultParams)) delete op;
  vorArrFree(f->DefaultParams);
  vorStrFree(f->Buffer);
  vorStrFree(f->Name);
  vorStrFree(f->ImportName);
}

}  // namespace

std::string_view Convention2String(TCallingConvention cc) {
  switch (cc) {
    case ccStdcall: return "stdcall";
    case ccCDecl: return "cdecl";
    case ccMSX64: return "msx64";
    default: return {};
  }
}

void appendCode(TFunction* f, std::string_view code) { appendCode(f, code.data(), code.size()); }

void appendCode(TFunction* f, const void* bytes, uint32_t count) {
  if (CompileFlags.peek_mode || count == 0) return;
  vorStrAppend(f->Buffer, bytes, count);
  f->BufLen += count;
}

void insertCode(TFunction* f, std::string_view code, uint32_t position) {
  if (CompileFlags.peek_mode || code.empty()) return;
  vorStrInsert(f->Buffer, position > 0 ? position - 1 : 0, code.data(), code.size());
  f->BufLen += static_cast<uint32_t>(code.size());
}

bool paramExists(const TFunction* f, std::string_view name) {
  for (const TFuncParam& p : vorArrSpan(f->Params))
    if (vorStrView(p.name) == name) return true;
  return false;
}

uint32_t addParam(TFunction* f, TVarType* type, std::string_view name, bool addVar) {
  if (CompileFlags.peek_mode) return f->ParamCount;
  f->ParamCount += 1;
  f->ParamSize += alignSize(type ? type->size : 0, static_cast<uint32_t>(ptrSize));
  vorArrResize(f->Params, f->ParamCount, true);
  vorArrResize(f->DefaultParams, f->ParamCount, true);
  if (addVar) {
    // Only msx64 passes parameters in registers; stdcall and cdecl callers
    // push them in every mode.
    if (CompileFlags.cpu_bits != 64 || f->CallConvention != ccMSX64 || f->ParamCount > 4) {
      VarMan->addVar(vmLocal, name, type, 1, static_cast<int32_t>(f->ParamSize));
    } else {
      aliasParamRegister(name, TMSX64intParam[f->ParamCount - 1]);
    }
  }
  TFuncParam& p = f->Params[f->ParamCount - 1];
  p.type_ = type;
  vorStrAssign(p.name, name);
  return f->ParamCount;
}

void setCalled(TFunction* f, TFunction* from) {
  if (!f) return;
  if (from && !from->IsCalled) {
    dependFuncs(from).push_back(f);
    return;
  }
  // Depth first over the remembered calls, in list order. The walk keeps its
  // own stack: call chains as long as the program are fine.
  auto reach = [](TFunction* g) {
    if (g->DLLIndex != -1) Imports->addImportRef(static_cast<uint32_t>(g->DLLIndex), g);
    g->IsCalled = 1;
  };
  if (f->IsCalled) return;
  reach(f);
  std::vector<std::pair<TFunction*, size_t>> stack{{f, 0}};
  while (!stack.empty()) {
    auto& [caller, next] = stack.back();
    const TFuncList& deps = dependFuncs(caller);
    if (next >= deps.size()) {
      stack.pop_back();
      continue;
    }
    TFunction* d = deps[next++];
    if (d == caller || d->IsCalled) continue;
    reach(d);
    stack.emplace_back(d, 0);
  }
}

TFuncManager::~TFuncManager() {
  for (TFunction* f : F_List) disposeFunction(f);
  F_List.clear();
}

TFunction* TFuncManager::getFunc(uint32_t index) const {
  return index < F_List.size() ? F_List[index] : nullptr;
}

TFunction* TFuncManager::CreateFunction(TLabelType lType, TFunction* parent) {
  const size_t n = F_List.size();
  if (n % kSlotsPerBlock == 0) {
    F_Blocks.emplace_back(new TFunctionSlot[kSlotsPerBlock]());
    const std::pair<uintptr_t, size_t> at{reinterpret_cast<uintptr_t>(F_Blocks.back().get()), F_Blocks.size() - 1};
    F_BlockAt.insert(std::upper_bound(F_BlockAt.begin(), F_BlockAt.end(), at), at);
  }
  TFunctionSlot& slot = F_Blocks[n / kSlotsPerBlock][n % kSlotsPerBlock];
  TFunction* f = &slot.f;
  *f = TFunction{};
  f->FixupList = &slot.fixups;
  f->UsesList = &slot.uses;
  f->DependFuncs = &slot.depends;
  f->Parent = parent;
  f->Address = adUnallocated;
  f->DLLIndex = -1;
  f->Type_ = lType;
  f->DeclParent = Compiler ? Compiler->CurFunc() : nullptr;
  f->FuncIndex = static_cast<uint32_t>(F_List.size());
  F_List.push_back(f);
  return f;
}

bool TFuncManager::owns(const TFunction* f) const {
  if (!f) return false;
  const auto addr = reinterpret_cast<uintptr_t>(f);
  constexpr uintptr_t kBlockBytes = sizeof(TFunctionSlot) * kSlotsPerBlock;
  std::pair<uintptr_t, size_t> block = F_LastBlock;
  if (block.first == 0 || addr < block.first || addr - block.first >= kBlockBytes) {
    auto it = std::upper_bound(F_BlockAt.begin(), F_BlockAt.end(), addr,
                               [](uintptr_t a, const std::pair<uintptr_t, size_t>& b) { return a < b.first; });
    if (it == F_BlockAt.begin()) return false;
    block = *--it;
    if (addr - block.first >= kBlockBytes) return false;
    F_LastBlock = block;
  }
  const uintptr_t offset = addr - block.first;
  if (offset % sizeof(TFunctionSlot) != 0) return false;
  const size_t index = block.second * kSlotsPerBlock + offset / sizeof(TFunctionSlot);
  return index < F_List.size() && F_List[index] == f;
}

}  // namespace vorak
