// Data movement groups: mov, movsx and movzx. Not encoded yet: every form is refused.
#include "encoder/VorAssembler.h"

namespace vorak {

uint32_t TVorAssembler::encodeMOV(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }
uint32_t TVorAssembler::encodeMOVSX_MOVZX(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }

}  // namespace vorak
