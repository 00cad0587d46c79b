// The table of callbacks through which plug-ins reach the compiler.
#include "plugins/PluginManager.h"

namespace vorak {

void* const* pluginCallbackTable() {
  static void* const table[56] = {};
  return table;
}

}  // namespace vorak
