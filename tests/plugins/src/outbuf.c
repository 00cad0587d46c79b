/* Test plug-in: the builder OUTBUF fills the output buffer as the variable
   VORAK_OUTBUF of its environment says, one letter a step:
     w  append "good output"
     o  append "0123456789", then patch it from the buffer itself with
        overlapping ranges
     v  set the extension to "vor"
     c  commit the buffer (File_Commit)
     z  append 64 KiB while the process may write files of 4 KiB at most
     f  report failure */
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include "plugins/PluginInterface.h"

static const TVorakCallbacks* vk;

static vbool build(uint32_t event, uint32_t id) {
  (void)id;
  if (event != teComplete) return 1;
  const char* steps = getenv("VORAK_OUTBUF");
  vbool result = 1;
  for (; steps && *steps; ++steps) {
    switch (*steps) {
      case 'w':
        vk->File_AddBytes("good output", 11);
        break;
      case 'o': {
        uint32_t at = vk->File_AddBytes("0123456789", 10);
        const char* buf = (const char*)vk->file_getbuf() + at - 1;
        vk->File_ReplaceBytes(at, buf + 2, 8);  /* source after the target */
        buf = (const char*)vk->file_getbuf() + at - 1;
        vk->File_ReplaceBytes(at + 2, buf, 7);  /* source before the target */
        break;
      }
      case 'v': {
        static const vwchar ext[] = {'v', 'o', 'r', 0};
        vk->set_fileext(ext);
        break;
      }
      case 'c':
        vk->File_Commit();
        break;
      case 'z': {
        static char block[65536];
        struct rlimit limit;
        memset(block, 'z', sizeof block);
        getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = 4096;
        setrlimit(RLIMIT_FSIZE, &limit);
        vk->File_AddBytes(block, sizeof block);
        break;
      }
      case 'f':
        result = 0;
        break;
    }
  }
  return result;
}

const char* onEntry(void* const* table) {
  vk = (const TVorakCallbacks*)table;
  vk->RegisterBuilder("OUTBUF", build);
  return "outbuf";
}
