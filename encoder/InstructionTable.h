// Placeholder until the instruction table lands.
#pragma once
#include <string>
namespace vorak {
std::string listInstructions(bool forJs);
}  // namespace vorak
