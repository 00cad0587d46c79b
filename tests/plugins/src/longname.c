/* Test plug-in whose name is longer than the 255 characters kept. */
#include <string.h>

#include "plugins/PluginInterface.h"

const char* onEntry(void* const* table) {
  (void)table;
  static char name[301];
  memset(name, 'n', 300);
  name[254] = 'E'; /* the last character kept */
  name[255] = 'X'; /* the first one dropped */
  return name;
}
