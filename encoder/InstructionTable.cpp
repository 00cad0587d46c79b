#include "encoder/InstructionTable.h"
namespace vorak {
std::string listInstructions(bool) { return "[0]\r\n"; }
}  // namespace vorak
