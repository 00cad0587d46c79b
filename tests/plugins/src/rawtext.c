/* Test plug-in that hands the host text it must not print as it is: a name
   with bytes that are not UTF-8 and a terminal colour sequence, and log
   messages of its own choosing. The environment picks what it logs:
   RAWTEXT_LOG_BYTES  a message of that many bytes ("a" and a last "Z"),
   RAWTEXT_FATAL      set: that message ends the compile. */
#include <stdlib.h>
#include <string.h>

#include "plugins/PluginInterface.h"

const char* onEntry(void* const* table) {
  const TVorakCallbacks* vk = (const TVorakCallbacks*)table;
  const char* bytes = getenv("RAWTEXT_LOG_BYTES");
  vk->Log_MessageA("tab\there, bell\a, escape\x1b[31mred\x1b[0m, lone \xE2 byte", 0);
  if (bytes) {
    size_t n = (size_t)strtoul(bytes, NULL, 10);
    char* text = malloc(n + 1);
    if (text) {
      memset(text, 'a', n);
      if (n > 0) text[n - 1] = 'Z';
      text[n] = '\0';
      vk->Log_MessageA(text, getenv("RAWTEXT_FATAL") != NULL);
      free(text);
    }
  }
  return "raw\xff\xfe\x1b[31mname";
}
