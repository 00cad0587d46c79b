/* Test plug-in: told about the project file once it is loaded, and able to
   replace its text ("//swap" at its start asks for that). Its keyword
   retext "old", "new"; replaces, the first time it runs, the first "old" in
   the project's text by "new" while the project compiles. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "plugins/PluginInterface.h"

static const TVorakCallbacks* vk;

/* The project's text as the plug-in last handed it over (or was told it). */
static uint32_t projectID;
static char* project;
static uint32_t projectLen;

/* The current token's text, copied: the next token replaces it. */
static char* tokenCopy(void) {
  const char* s = vk->get_char_ptr();
  size_t n = strlen(s);
  char* c = malloc(n + 1);
  if (c) memcpy(c, s, n + 1);
  return c;
}

static void fatal(const char* msg) { vk->Log_MessageA(msg, 1); }

static vbool kwRetext(void) {
  static int done;
  if (vk->expect_next_token(ttAnsiString) != ttAnsiString) fatal("FE: retext takes a string");
  char* from = tokenCopy();
  if (vk->expect_next_token(ttSymbol) != ttSymbol || strcmp(vk->get_char_ptr(), ",") != 0) fatal("FE: \",\" expected");
  if (vk->expect_next_token(ttAnsiString) != ttAnsiString) fatal("FE: retext takes a second string");
  char* to = tokenCopy();
  if (vk->expect_next_token(ttSymbol) != ttSymbol || strcmp(vk->get_char_ptr(), ";") != 0) fatal("FE: \";\" expected");
  if (!from || !to || !project) fatal("FE: retext has nothing to work on");
  const size_t nf = strlen(from), nt = strlen(to);
  char* at = NULL;
  for (uint32_t i = 0; !done && nf && i + nf <= projectLen && !at; ++i)
    if (memcmp(project + i, from, nf) == 0) at = project + i;
  if (at) {
    const size_t before = (size_t)(at - project), after = projectLen - before - nf;
    char* text = malloc(before + nt + after + 1);
    if (!text) fatal("FE: out of memory");
    memcpy(text, project, before);
    memcpy(text + before, to, nt);
    memcpy(text + before + nt, at + nf, after);
    const uint32_t len = (uint32_t)(before + nt + after);
    text[len] = 0;
    if (!vk->vorak_file_setbuffer(projectID, text, len)) fatal("FE: setbuffer refused the project");
    free(project);
    project = text;
    projectLen = len;
    done = 1;
    vk->Log_MessageA("FE: retext replaced", 0);
  }
  free(from);
  free(to);
  return 1;
}

const char* onEntry(void* const* table) {
  vk = (const TVorakCallbacks*)table;
  vk->RegisterKeyword("retext", kwRetext);
  return "file entry";
}

vbool onFileEntry(uint32_t fileID, const char* pCode, uint32_t len) {
  char line[256];
  snprintf(line, sizeof line, "FE: id=%u len=%u starts=%.6s", fileID, len, pCode);
  vk->Log_MessageA(line, 0);
  free(project);
  project = malloc(len + 1);
  if (project) {
    memcpy(project, pCode, len);
    project[len] = 0;
  }
  projectID = fileID;
  projectLen = project ? len : 0;
  if (len >= 6 && memcmp(pCode, "//swap", 6) == 0) {
    static const char text[] = "program FLAT;\nmov eax, 3\nret\n";
    vbool bad = vk->vorak_file_setbuffer(0xFFFFu, text, sizeof text - 1);
    vbool good = vk->vorak_file_setbuffer(fileID, text, sizeof text - 1);
    snprintf(line, sizeof line, "FE: setbuffer unknown=%u project=%u", bad, good);
    if (good && project && len >= sizeof text - 1) {
      memcpy(project, text, sizeof text);
      projectLen = sizeof text - 1;
    }
    vk->Log_MessageA(line, 0);
  }
  return 1;
}

void onExit(void) {
  free(project);
  project = NULL;
}
