// Preloaded into the compiler by the tests of interrupted runs: raises a
// signal right after the nth temporary file is created, before the caller
// has taken a step past mkstemp, the narrowest window of a write.
// VORAK_SIGNAL_AFTER_MKSTEMP="signal,nth".
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

int mkstemp(char* pattern) {
  static int (*real)(char*);
  static int created;
  if (!real) real = (int (*)(char*))dlsym(RTLD_NEXT, "mkstemp");
  const int fd = real(pattern);
  const char* setting = getenv("VORAK_SIGNAL_AFTER_MKSTEMP");
  int sig = 0;
  int nth = 0;
  if (fd >= 0 && setting && sscanf(setting, "%d,%d", &sig, &nth) == 2 && ++created == nth) raise(sig);
  return fd;
}
