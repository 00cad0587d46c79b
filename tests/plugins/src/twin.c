/* Test plug-in built twice: both copies register a builder of the same name
   (in different case). The first one loaded keeps it; each writes its mark. */
#include <stdio.h>

#include "plugins/PluginInterface.h"

static const TVorakCallbacks* vk;

static vbool build(uint32_t event, uint32_t id) {
  (void)id;
  if (event == teComplete) vk->File_AddBytes(TWIN_MARK, 1);
  return 1;
}

const char* onEntry(void* const* table) {
  vk = (const TVorakCallbacks*)table;
  char line[128];
  snprintf(line, sizeof line, "%s: RegisterBuilder(\"%s\") returned %d", TWIN_ID, TWIN_BUILDER,
           vk->RegisterBuilder(TWIN_BUILDER, build));
  vk->Log_MessageA(line, 0);
  return TWIN_ID;
}

void onExit(void) { vk->Log_MessageA(TWIN_ID " exit", 0); }
