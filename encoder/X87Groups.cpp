// x87 floating-point groups that take an operand. Not encoded yet: every form is refused.
#include "encoder/VorAssembler.h"

namespace vorak {

uint32_t TVorAssembler::encodeX87_FPU_S(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }
uint32_t TVorAssembler::encodeX87_FPU(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }
uint32_t TVorAssembler::encodeX87_MEM(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }

}  // namespace vorak
