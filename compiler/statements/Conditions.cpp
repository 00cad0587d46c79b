// Conditions: comparisons, their jumps, and the link labels of and/or joins.
#include "compiler/statements/Conditions.h"

#include <memory>
#include <optional>
#include <string>

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/driver/Utils.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/statements/Compiler.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/SharedBlocks.h"

namespace vorak {

namespace {

// The jumps of the jump codes 35-50, in TJmpType order: flipping the lowest
// bit gives the opposite condition.
constexpr std::string_view kJumps[16] = {"jo", "jno", "jc", "jnc", "jz", "jne", "jbe", "ja",
                                         "js", "jns", "jp", "jnp", "jl", "jge", "jle", "jg"};

// word equals the lower-case keyword, A-Z folded.
bool sameWord(std::string_view word, std::string_view keyword) {
  if (word.size() != keyword.size()) return false;
  for (size_t i = 0; i < word.size(); ++i)
    if (lowerChar(word[i]) != keyword[i]) return false;
  return true;
}

TMathOp jumpCode(int t) { return static_cast<TMathOp>(moJmpOperand + t); }

TMathOp swapEquality(TMathOp mo) {
  return mo == moIsEqual ? moNotEqual : mo == moNotEqual ? moIsEqual : mo;
}

// The relation read with its operands exchanged: a < b is b > a.
TMathOp mirror(TMathOp mo) {
  switch (mo) {
    case moLowerS: return moHigherS;
    case moHigherS: return moLowerS;
    case moLowerSEqual: return moHigherSEqual;
    case moHigherSEqual: return moLowerSEqual;
    case moLowerU: return moHigherU;
    case moHigherU: return moLowerU;
    case moLowerUEqual: return moHigherUEqual;
    case moHigherUEqual: return moLowerUEqual;
    default: return mo;
  }
}

bool isLocation(const TOperand& op) { return op.hint == otRegister || op.hint == otVar || op.hint == otMem; }

// The condition being read: where its code began and the bytes of the jumps
// it emitted by then. A flag is tested as the flags stand, so a flag test
// after code of the condition other than its jumps (a compare) reads what
// that code left; the compile goes on, with a warning.
struct TConditionCode {
  const TFunction* fn = nullptr;
  uint32_t start = 0;
  uint64_t jumpBytes = 0;
};
TConditionCode conditionCode;
uint64_t conditionJumpBytes = 0;  // of every condition's jumps, ever

// Opens the condition at its level 0, and gives the enclosing one back at
// its end (a macro in an operand may read a condition of its own).
class TConditionScope {
 public:
  TConditionScope() : saved_(conditionCode) {
    const TFunction* fn = curFunc();
    conditionCode = {fn, fn ? fn->BufLen : 0, conditionJumpBytes};
  }
  ~TConditionScope() { conditionCode = saved_; }
  TConditionScope(const TConditionScope&) = delete;
  TConditionScope& operator=(const TConditionScope&) = delete;

 private:
  TConditionCode saved_;
};

void warnFlagAfterCode(uint8_t flag) {
  const TFunction* fn = curFunc();
  if (!fn || fn != conditionCode.fn || fn->BufLen <= conditionCode.start) return;
  if (fn->BufLen - conditionCode.start > conditionJumpBytes - conditionCode.jumpBytes)
    Log->Warning(msg::FlagAfterConditionCode, flagToStr(flag));
}

// A flag tested against on (1) or off (0): no code, only the jump code of the
// outcome. fromSource picks the messages of a comparison read from the
// source over those of a case scan.
TMathOp flagComparison(const TOperand& flag, const TOperand& value, TMathOp mo, bool fromSource) {
  if (value.hint != otImm)
    fatal(fromSource ? msg::FlagCompareNotImm : msg::CaseFlagNotImm);
  // The whole number, not its low bits: 0x100000001 is not on.
  const uint64_t v = static_cast<uint64_t>(value.value);
  if (v > 1)
    fatal(fromSource ? msg::FlagCompareNotOnOff : msg::CaseFlagNotOnOff);
  const bool whenSet = mo == moIsEqual ? v == 1 : v == 0;
  const auto bit = static_cast<uint8_t>(flag.value);
  const bool tested = bit == FLAG_CF || bit == FLAG_PF || bit == FLAG_ZF || bit == FLAG_SF || bit == FLAG_OF;
  if (fromSource && tested) warnFlagAfterCode(bit);
  // (jump code when set, when clear) by TJmpType.
  switch (static_cast<uint8_t>(flag.value)) {
    case FLAG_CF: return jumpCode(whenSet ? 2 : 3);
    case FLAG_PF: return jumpCode(whenSet ? 10 : 11);
    case FLAG_ZF: return jumpCode(whenSet ? 4 : 5);
    case FLAG_SF: return jumpCode(whenSet ? 8 : 9);
    case FLAG_OF: return jumpCode(whenSet ? 0 : 1);
    default:
      // Jumping on this flag would test whatever the flags hold: no jump at all.
      Log->Warning(msg::FlagCompareIgnored, flagToStr(static_cast<uint8_t>(flag.value)));
      return moNone;
  }
}

// The comparison of two parsed operands (copies: the caller's records, such
// as a case selector compared once per state, stay as they are).
TMathOp compareOperands(TOperand a, TOperand b, TMathOp mo, bool fromSource) {
  // "true" is any value but 0: x == true tests x != 0. Only equality is
  // rewritten (x >= true compares with 1), once per side that is "true".
  for (TOperand* side : {&a, &b}) {
    if (!side->istruedef || (mo != moIsEqual && mo != moNotEqual)) continue;
    side->setIntType(false, otImm, 0);
    side->istruedef = false;
    mo = swapEquality(mo);
  }
  if (b.hint == otFlag && a.hint != otFlag) {
    std::swap(a, b);
    mo = mirror(mo);
  }
  if (a.hint == otFlag) return flagComparison(a, b, mo, fromSource);
  if (a.hint == otImm && isLocation(b)) {
    std::swap(a, b);
    mo = mirror(mo);
  }
  if (a.hint == otImm && b.hint == otImm) return handle_CompareConsts(a, b, mo);
  if (a.hint == otRegister && b.hint == otImm && b.value == 0)
    Compiler->execInstruction(curFunc(), "test", &a, &a);
  else
    Compiler->execInstruction(curFunc(), "cmp", &a, &b);
  return mo;
}

// Where a group at the level goes when it holds / fails: the statement's
// targets at level 0, the parent level's pending links deeper down.
TFunction* trueTarget(TCondContext& cc, uint32_t level) {
  if (level == 0) {
    if (!cc.trueLbl) cc.trueLbl = newStatementLabel(cc.trueName ? cc.trueName : "ifcode");
    return cc.trueLbl;
  }
  return handle_createANDIfNotExist(cc, level - 1, cc.andS[level - 1], false);
}
TFunction* falseTarget(TCondContext& cc, uint32_t level) {
  if (level == 0) return cc.falseLbl;
  return handle_createORIfNotExist(cc, level - 1, cc.orS[level - 1], false);
}

// A pending link that this level will not place stands for target; the slot
// is free again for the links still to come.
void bindLink(TCondContext& cc, TFunction*& slot, TFunction* target) {
  if (!slot) return;
  if (slot->Type_ == ltRef) cc.bound.emplace_back(slot, target);
  slot = nullptr;
}

TFunction* linkLabel(TCondContext& cc, bool isAnd, uint32_t level, uint32_t cnt, bool bIsDec) {
  if (level >= TCondContext::kLevels || cnt >= TCondContext::kLinks)
    fatal(isAnd ? msg::AndTooComplex : msg::OrTooComplex);
  TFunction*& slot = isAnd ? cc.andSP[level][cnt] : cc.orSP[level][cnt];
  cc.touch(level);
  if (!slot) {
    slot = FuncMan->CreateFunction(ltRef, curFunc());
    const std::string name = std::string(isAnd ? "and" : "or") + std::to_string(level) + "_" + std::to_string(cnt);
    vorStrAssign(slot->Name, name);
    vorStrAssign(slot->ImportName, name);
  }
  if (bIsDec)
    placeLabelHere(slot);
  else
    slot->IsCalled = 1;
  return slot;
}

// Reads "(" condition(level + 1) ")" with the messages of the join before it.
TMathOp group(TCondContext& cc, uint32_t level, unx::Id openCode, unx::Id closeCode) {
  if (!Compiler->ExpectSymbol("(")) unexpected(openCode);
  const TMathOp res = handle_IFEXPRESSION(cc, level + 1);
  if (!Compiler->ExpectSymbol(")")) unexpected(closeCode);
  return res;
}

// A link is only ever referred to before it is placed (the count moves on
// when it is): one that nothing referred to is not made at all.
void placeLink(TFunction* link) {
  if (link) placeLabelHere(link);
}

}  // namespace

void TCondContext::clear() {
  // Links live at indexes up to the level's count; beyond the used levels
  // and those indexes everything is empty already.
  for (uint32_t l = 0; l < levelsUsed; ++l) {
    for (uint32_t i = 0; i <= andS[l] && i < kLinks; ++i) andSP[l][i] = nullptr;
    for (uint32_t i = 0; i <= orS[l] && i < kLinks; ++i) orSP[l][i] = nullptr;
    orS[l] = andS[l] = 0;
  }
  levelsUsed = 0;
  bound.clear();
}

TFunction* newStatementLabel(std::string_view name) {
  TFunction* label = FuncMan->CreateFunction(ltLabel, curFunc());
  vorStrAssign(label->Name, name);
  vorStrAssign(label->ImportName, name);
  label->IsCalled = 1;
  return label;
}

void placeLabelHere(TFunction* label) {
  TFunction* fn = curFunc();
  Compiler->noteLabelPlaced();
  label->Type_ = ltLabel;
  label->Address = fn ? fn->BufLen : 0;
  label->Parent = fn;
  Compiler->arriveAt(label, false);
}

void emitJumpTo(TFunction* label) {
  TOperand op;
  op.setLabel(false, curFunc(), label->FuncIndex);
  Compiler->execInstruction(curFunc(), "jmp", &op);
}

TMathOp handle_IFEXPRESSION(TCondContext& cc, uint32_t level) {
  std::optional<TConditionScope> scope;
  if (level == 0) {
    assignOperand = flagNullOperand;
    assignOperandText.clear();
    scope.emplace();
  }
  // A run of "(" recurses once per parenthesis: bounded here, not by the stack.
  if (level >= TCondContext::kMaxDepth) fatal(msg::CondTooDeep);
  TAFile* f = Compiler->CurFile();
  if (f->peekNextRealChar(true) != '(') return handle_DOCMP();
  f->setPosition(f->lastPeek());
  TMathOp res = handle_IFEXPRESSION(cc, level + 1);
  if (!Compiler->ExpectSymbol(")")) unexpected(unx::CondClose);

  for (;;) {
    f = Compiler->CurFile();
    if (f->peekNextToken(false) != ttIdent) break;
    const std::string_view word = Compiler->PeekToken()->F_String;
    const bool isAnd = sameWord(word, "and");
    if (!isAnd && !sameWord(word, "or")) break;
    f->moveLastPeek();
    // Nothing touches the tables before level and index are known to fit;
    // the count reaching kLinks would leave the next pending link outside.
    uint32_t* counts = isAnd ? cc.andS : cc.orS;
    if (level >= TCondContext::kLevels || counts[level] + 1 >= TCondContext::kLinks)
      fatal(isAnd ? msg::AndTooComplex : msg::OrTooComplex);
    cc.touch(level);
    ++counts[level];
    if (isAnd) {
      // The left side failing fails this level; the next conjunct starts here.
      TFunction* onFalse = falseTarget(cc, level);
      handle_IFJUMP(true, res, onFalse);
      bindLink(cc, cc.orSP[level][cc.orS[level]], onFalse);
      placeLink(cc.andSP[level][cc.andS[level] - 1]);
      res = level == 0 ? group(cc, level, unx::AndGroupOpen, unx::AndGroupClose)
                       : group(cc, level, unx::InnerAndGroupOpen, unx::InnerAndGroupClose);
    } else {
      // The left side holding makes this level hold; the next disjunct starts here.
      TFunction* onTrue = trueTarget(cc, level);
      handle_IFJUMP(false, res, onTrue);
      bindLink(cc, cc.andSP[level][cc.andS[level]], onTrue);
      placeLink(cc.orSP[level][cc.orS[level] - 1]);
      res = level == 0 ? group(cc, level, unx::OrGroupOpen, unx::CondClose)
                       : group(cc, level, unx::InnerOrGroupOpen, unx::InnerOrGroupClose);
    }
  }
  // The last group's links: its outcome is this level's outcome.
  if (level < TCondContext::kLevels) {
    if (cc.andSP[level][cc.andS[level]]) bindLink(cc, cc.andSP[level][cc.andS[level]], trueTarget(cc, level));
    if (cc.orSP[level][cc.orS[level]]) bindLink(cc, cc.orSP[level][cc.orS[level]], falseTarget(cc, level));
  }
  return res;
}

TMathOp handle_DOCMP() {
  const std::unique_ptr<TOperand> o1 = Compiler->moveNextOperand(true, false);
  // cmp has no operand of a size the mode lacks: named before the relation.
  TCompiler::refuseOperandSize(o1.get(), Compiler->lastOperandSpan());
  const TMathOp mo = Compiler->CurFile()->moveNextIfMathOp(o1->issigned);
  if (mo == moNone) {
    Compiler->CurFile()->moveNextToken(false);
    unexpected(unx::CompareOperator);
  }
  const std::unique_ptr<TOperand> o2 = Compiler->moveNextOperand(true, false);
  TCompiler::refuseOperandSize(o2.get(), Compiler->lastOperandSpan());
  return compareOperands(*o1, *o2, mo, true);
}

TMathOp handle_EXECCMP(const TOperand& o1, const TOperand& o2, TMathOp mo) {
  return compareOperands(o1, o2, mo, false);
}

TMathOp handle_CompareConsts(const TOperand& o1, const TOperand& o2, TMathOp co) {
  const int64_t a = o1.value, b = o2.value;
  const auto ua = static_cast<uint32_t>(a), ub = static_cast<uint32_t>(b);
  bool holds = false;
  switch (co) {
    case moIsEqual: holds = a == b; break;
    case moNotEqual: holds = a != b; break;
    case moLowerS: holds = a < b; break;
    case moHigherS: holds = a > b; break;
    case moLowerSEqual: holds = a <= b; break;
    case moHigherSEqual: holds = a >= b; break;
    case moLowerU: holds = ua < ub; break;
    case moHigherU: holds = ua > ub; break;
    case moLowerUEqual: holds = ua <= ub; break;
    case moHigherUEqual: holds = ua >= ub; break;
    default: unexpected(unx::ConstCompareOperator);
  }
  return holds ? moATrue : moAFalse;
}

void handle_IFJUMP(bool reverse, TMathOp mo, TOperand* p) {
  std::string_view jump;
  switch (mo) {
    case moNone: return;
    case moATrue:
      if (reverse) return;
      jump = "jmp";
      break;
    case moAFalse:
      if (!reverse) return;
      jump = "jmp";
      break;
    case moIsEqual: jump = reverse ? "jne" : "je"; break;
    case moNotEqual: jump = reverse ? "je" : "jne"; break;
    case moLowerS: jump = reverse ? "jge" : "jl"; break;
    case moHigherS: jump = reverse ? "jle" : "jg"; break;
    case moLowerSEqual: jump = reverse ? "jg" : "jle"; break;
    case moHigherSEqual: jump = reverse ? "jl" : "jge"; break;
    case moLowerU: jump = reverse ? "jae" : "jb"; break;
    case moHigherU: jump = reverse ? "jbe" : "ja"; break;
    case moLowerUEqual: jump = reverse ? "ja" : "jbe"; break;
    case moHigherUEqual: jump = reverse ? "jb" : "jae"; break;
    default: {
      const int t = static_cast<int>(mo) - moJmpOperand;
      if (t >= 0 && t < 16) {
        jump = kJumps[t ^ (reverse ? 1 : 0)];
        break;
      }
      fatal(msg::UnsupportedJumpOperator, mo2str(mo), std::to_string(static_cast<int>(mo)));
    }
  }
  TFunction* fn = curFunc();
  const uint32_t before = fn ? fn->BufLen : 0;
  Compiler->execInstruction(fn, jump, p);
  if (fn && fn->BufLen > before) conditionJumpBytes += fn->BufLen - before;
}

void handle_IFJUMP(bool reverse, TMathOp mo, TFunction* target) {
  TOperand op;
  op.setLabel(false, curFunc(), target->FuncIndex);
  handle_IFJUMP(reverse, mo, &op);
}

TFunction* handle_createANDIfNotExist(TCondContext& cc, uint32_t level, uint32_t cnt, bool bIsDec) {
  return linkLabel(cc, true, level, cnt, bIsDec);
}

TFunction* handle_createORIfNotExist(TCondContext& cc, uint32_t level, uint32_t cnt, bool bIsDec) {
  return linkLabel(cc, false, level, cnt, bIsDec);
}

void updateLabelStack(TCondContext& cc) {
  // Links a condition left open (none, when it was read to its end) stand
  // for the condition's own targets.
  for (uint32_t l = 0; l < cc.levelsUsed; ++l) {
    for (uint32_t i = 0; i <= cc.andS[l] && i < TCondContext::kLinks; ++i)
      if (cc.andSP[l][i] && cc.andSP[l][i]->Type_ == ltRef) bindLink(cc, cc.andSP[l][i], trueTarget(cc, 0));
    for (uint32_t i = 0; i <= cc.orS[l] && i < TCondContext::kLinks; ++i)
      if (cc.orSP[l][i] && cc.orSP[l][i]->Type_ == ltRef) bindLink(cc, cc.orSP[l][i], cc.falseLbl);
  }
  for (auto& [link, target] : cc.bound) {
    // A link may stand for another link: follow the chain to a placed label.
    TFunction* t = target;
    for (size_t steps = 0; t && t->Type_ == ltRef && steps <= cc.bound.size(); ++steps) {
      TFunction* next = nullptr;
      for (const auto& [l, tt] : cc.bound)
        if (l == t) next = tt;
      t = next;
    }
    if (!t || t->Type_ != ltLabel || t->Address == adUnallocated)
      fatal(msg::ConditionLabelNeverPlaced);
    link->Address = t->Address;
    link->BufLen = t->BufLen;
    link->Type_ = t->Type_;
    link->IsCalled = t->IsCalled;
    link->Parent = t->Parent;
  }
  cc.bound.clear();
}

}  // namespace vorak
