// Linux implementation of the platform layer.
#include "platform/Platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <system_error>

#ifndef VORAK_FILE_VERSION
#define VORAK_FILE_VERSION "0.0.0.0"
#endif

namespace vorak::platform {

namespace {

// The signals that end a run from outside: a closed terminal, Ctrl-C,
// Ctrl-\ and kill.
constexpr int kEndingSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// The temporary files that exist at this moment, for the handler of those
// signals: paths in fixed buffers, which it reads without allocating or
// locking. A slot is filled and emptied only while the signals are held
// back, together with the step that creates, renames or removes its file:
// the handler never sees a slot half written, a temporary file never exists
// without its slot, and a slot never outlives its file into a rename that
// has made it the finished output.
struct TempSlot {
  char path[PATH_MAX];
  volatile sig_atomic_t used;
};
// The files of a run are written one after another: a slot for each of them
// (the output, the listing, the batch file) leaves room to spare.
TempSlot tempSlots[3];

// Holds the ending signals back for its lifetime; one that comes meanwhile
// is delivered as it ends.
class EndingSignalsHeld {
 public:
  EndingSignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kEndingSignals) sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, &old_);
  }
  ~EndingSignalsHeld() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  EndingSignalsHeld(const EndingSignalsHeld&) = delete;
  EndingSignalsHeld& operator=(const EndingSignalsHeld&) = delete;

 private:
  sigset_t old_;
};

// Async-signal-safe calls only: unlink, sigaction, raise, pthread_sigmask.
void onEndingSignal(int sig) {
  for (TempSlot& slot : tempSlots)
    if (slot.used) unlink(slot.path);
  // Ends by the signal's own default action, so that whoever started the
  // run sees how it ended (a shell's 130 for Ctrl-C, 143 for kill).
  struct sigaction byDefault = {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  sigaction(sig, &byDefault, nullptr);
  raise(sig);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  _exit(128 + sig);  // not reached: the signal ends the process as it is let through
}

}  // namespace

bool replaceFile(const std::string& path, std::string_view data, std::string* error, bool* writeFailed) {
  *writeFailed = false;
  TempSlot* slot = nullptr;
  int fd = -1;
  int err = 0;
  {
    EndingSignalsHeld held;
    for (TempSlot& s : tempSlots) {
      if (!s.used) {
        slot = &s;
        break;
      }
    }
    const std::string temp = path + ".XXXXXX";
    if (!slot) {
      err = EMFILE;
    } else if (temp.size() >= sizeof slot->path) {
      err = ENAMETOOLONG;
    } else {
      std::memcpy(slot->path, temp.c_str(), temp.size() + 1);
      fd = mkstemp(slot->path);
      if (fd < 0) err = errno;
      slot->used = fd >= 0;
    }
  }
  if (fd < 0) {
    *error = std::strerror(err);
    return false;
  }
  // mkstemp makes the file private; the output gets the usual permissions.
  const mode_t mask = umask(0);
  umask(mask);
  err = fchmod(fd, 0666 & ~mask) == 0 ? 0 : errno;
  size_t done = 0;
  while (err == 0 && done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) err = n == 0 ? EIO : errno;
    if (n > 0) done += static_cast<size_t>(n);
  }
  if (close(fd) != 0 && err == 0) err = errno;
  if (err != 0) *writeFailed = true;
  {
    EndingSignalsHeld held;
    if (err == 0 && rename(slot->path, path.c_str()) != 0) err = errno;
    if (err != 0) unlink(slot->path);
    slot->used = 0;
  }
  if (err == 0) return true;
  *error = std::strerror(err);
  return false;
}

std::FILE* openForAppending(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  // Writes wait as usual once it is open.
  const int flags = fcntl(fd, F_GETFL);
  std::FILE* f = flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0 ? fdopen(fd, "ab") : nullptr;
  if (!f) {
    const int err = errno;
    close(fd);
    errno = err;
  }
  return f;
}

void* growPages(void* block, size_t oldBytes, size_t newBytes) {
  void* p = block ? mremap(block, oldBytes, newBytes, MREMAP_MAYMOVE)
                  : mmap(nullptr, newBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void freePages(void* block, size_t bytes) {
  if (block) munmap(block, bytes);
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool namesOneFile(const std::string& a, const std::string& b) {
  namespace fs = std::filesystem;
  std::error_code ea, eb;
  const fs::path ra = fs::weakly_canonical(fs::absolute(a, ea), ea);
  const fs::path rb = fs::weakly_canonical(fs::absolute(b, eb), eb);
  if (!ea && !eb && ra == rb) return true;
  return sameFile(a, b);
}

bool stdoutIsTerminal() {
  static const bool tty = isatty(STDOUT_FILENO) == 1;
  return tty;
}

// Windows console attributes mapped onto ANSI SGR colours.
static const char* ansiFor(uint16_t attribute) {
  switch (attribute & 0x0F) {
    case 6: return "\x1b[33m";   // dark yellow
    case 10: return "\x1b[92m";  // light green
    case 12: return "\x1b[91m";  // light red
    case 14: return "\x1b[93m";  // yellow
    case 7: return "\x1b[0m";    // light grey: the terminal's own colour
    default: return "\x1b[0m";
  }
}

void setConsoleColour(uint16_t attribute) {
  if (stdoutIsTerminal()) std::cout << ansiFor(attribute);
}

void resetConsoleColour() {
  if (stdoutIsTerminal()) std::cout << "\x1b[0m";
}

void setConsoleTitle(const std::string& title) {
  if (stdoutIsTerminal()) std::cout << "\x1b]0;" << title << '\a' << std::flush;
}

int64_t performanceCounter() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t performanceFrequency() { return 1000000000; }

uint32_t tickCountMs() { return static_cast<uint32_t>(performanceCounter() / 1000000); }

std::string executablePath() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

std::string executableFolder() {
  std::string p = executablePath();
  auto slash = p.rfind('/');
  return slash == std::string::npos ? std::string("./") : p.substr(0, slash + 1);
}

std::string fileVersion() { return VORAK_FILE_VERSION; }

void startUp() {
  signal(SIGXFSZ, SIG_IGN);
  // A run ended from outside takes its temporary files with it. A signal
  // that the run was started ignoring (nohup, a background job of a shell
  // without job control) stays ignored.
  struct sigaction act = {};
  act.sa_handler = onEndingSignal;
  sigemptyset(&act.sa_mask);
  for (int s : kEndingSignals) sigaddset(&act.sa_mask, s);
  for (int s : kEndingSignals) {
    struct sigaction was;
    if (sigaction(s, nullptr, &was) == 0 && was.sa_handler != SIG_IGN) sigaction(s, &act, nullptr);
  }
}

void exitProcess(int code) {
  resetConsoleColour();
  std::cout.flush();
  std::fflush(nullptr);
  _exit(code);
}

void* loadLibrary(const std::string& path, std::string* error) {
  // dlopen opens whatever the name leads to and waits on a pipe for a
  // writer that never comes: anything but a regular file is refused first.
  struct stat st;
  const bool found = stat(path.c_str(), &st) == 0;
  if (!found || !S_ISREG(st.st_mode)) {
    if (error) *error = found ? "not a regular file" : std::strerror(errno);
    return nullptr;
  }
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h && error) {
    const char* e = dlerror();
    *error = e ? e : "unknown error";
  }
  return h;
}

void* findSymbol(void* library, const char* name) { return library ? dlsym(library, name) : nullptr; }

}  // namespace vorak::platform
