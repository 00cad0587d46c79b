// Placeholder until the token record lands.
#include "compiler/source/CurTokenUnit.h"
namespace vorak {
TCurrentToken::TCurrentToken() {}
TCurrentToken::~TCurrentToken() { delete F_Operand; }
std::string TCurrentToken::getTokenStr() const { return "EOF"; }
}  // namespace vorak
