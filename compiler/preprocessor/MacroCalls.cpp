// The macro engine as the tokenizer sees it. Macros and the built-in
// functions are not in yet: no "$" name is a built-in, and a macro name
// cannot be expanded.
#include "compiler/preprocessor/MacroCalls.h"

#include "compiler/driver/Common.h"
#include "compiler/driver/Errors.h"
#include "compiler/driver/Log.h"
#include "compiler/source/CurTokenUnit.h"

namespace vorak {

TVorToken handle_INBUILT(const std::string&, TCurrentToken& ct) { return ct.setSymbol('$'); }

TVorToken expandMacroName(TMacro*, TCurrentToken&) {
  if (!Log) throw EAbort();
  Log->FatalError("[57333] Not implemented yet");
}

}  // namespace vorak
