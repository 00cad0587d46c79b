// MMX and SSE groups, and the two-operand movsd. Not encoded yet: every form is refused.
#include "encoder/VorAssembler.h"

namespace vorak {

uint32_t TVorAssembler::encodeMMU_MOVQ(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }
uint32_t TVorAssembler::encodeSSE(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }
uint32_t TVorAssembler::encodeMMU_MOV(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }
uint32_t TVorAssembler::encodeMOVSD(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }

}  // namespace vorak
