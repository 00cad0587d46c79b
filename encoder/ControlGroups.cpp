// Stack and control-transfer groups: push, pop, call, jumps, ret, enter. Not encoded yet: every form is refused.
#include "encoder/VorAssembler.h"

namespace vorak {

uint32_t TVorAssembler::encodePUSHPOP(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }
uint32_t TVorAssembler::encodeCALL(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }
uint32_t TVorAssembler::encodeGOTO(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }
uint32_t TVorAssembler::encodeRET(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }
uint32_t TVorAssembler::encodeENTER(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }

}  // namespace vorak
