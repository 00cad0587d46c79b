/* Test plug-in: told about the project file once it is loaded, and able to
   replace its text ("//swap" at its start asks for that). */
#include <stdio.h>
#include <string.h>

#include "plugins/PluginInterface.h"

static const TVorakCallbacks* vk;

const char* onEntry(void* const* table) {
  vk = (const TVorakCallbacks*)table;
  return "file entry";
}

vbool onFileEntry(uint32_t fileID, const char* pCode, uint32_t len) {
  char line[256];
  snprintf(line, sizeof line, "FE: id=%u len=%u starts=%.6s", fileID, len, pCode);
  vk->Log_MessageA(line, 0);
  if (len >= 6 && memcmp(pCode, "//swap", 6) == 0) {
    static const char text[] = "program FLAT;\nmov eax, 3\nret\n";
    vbool bad = vk->vorak_file_setbuffer(0xFFFFu, text, sizeof text - 1);
    vbool good = vk->vorak_file_setbuffer(fileID, text, sizeof text - 1);
    snprintf(line, sizeof line, "FE: setbuffer unknown=%u project=%u", bad, good);
    vk->Log_MessageA(line, 0);
  }
  return 1;
}
