// Function prototypes and definitions with their bodies.
#pragma once

#include <cstdint>

#include "plugins/PluginRecords.h"

namespace vorak {

// After the keyword procedure (isFunc false) or function (true): a definition with its body.
TFunction* handle_PROCEDURE(bool isFunc);
// A prototype: dwImport is the import library index or -1, selfType the
// record type of a method or nil.
TFunction* handle_FUNCDECL(int32_t dwImport, TVarType* selfType);

}  // namespace vorak
