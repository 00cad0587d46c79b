// Black-box runs of the built compiler: a private copy of the executable in a
// scratch folder, so nothing it writes lands beside the real one.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

// Whether the compiler under test is built with AddressSanitizer: the tests
// are built with the same flags.
#if defined(__SANITIZE_ADDRESS__)
#define VORAK_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VORAK_TEST_ASAN 1
#endif
#endif

extern "C" char** environ;

namespace vorak::test {

// A whole file's bytes ("" when it cannot be read).
inline std::string readFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Writes text as the file's whole content.
inline void writeFile(const std::filesystem::path& p, const std::string& text) {
  std::ofstream(p, std::ios::binary) << text;
}

struct RunResult {
  std::string out;  // everything the run wrote to standard output
  int exitCode;     // the process's exit code; 128 + signal when it was killed
  long peakKiB = 0;  // its peak resident memory, when measured (RunOptions)
  bool timedOut = false;  // killed after RunOptions::timeoutMs
};

// A scratch folder under the system temp folder, removed with its contents.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vorak-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::system_error(errno, std::generic_category(), "mkdtemp");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A plug-in that ships in bin/plugins, and one built for the tests only.
inline std::string shippedPlugin(std::string_view name) {
  return std::string(VORAK_BIN_DIR) + "/plugins/" + std::string(name) + ".so";
}
#ifdef VORAK_TEST_PLUGIN_DIR
inline std::string testPlugin(std::string_view name) {
  return std::string(VORAK_TEST_PLUGIN_DIR) + "/" + std::string(name) + ".so";
}
#endif

// Makes dir/plugins hold exactly these plug-in files, under their own names.
inline void placePlugins(const std::string& dir, const std::vector<std::string>& files) {
  namespace fs = std::filesystem;
  const fs::path to = fs::path(dir) / "plugins";
  std::error_code ec;
  fs::remove_all(to, ec);
  fs::create_directories(to);
  for (const std::string& f : files)
    fs::copy_file(f, to / fs::path(f).filename(), fs::copy_options::overwrite_existing);
}

struct RunOptions {
  // The plug-ins beside the copied executable: unset, the shipped ones
  // (bin/plugins); set, exactly these files (none for an empty list).
  std::optional<std::vector<std::string>> plugins;
  // Runs the executable under the peak-memory helper (VORAK_PEAK_RSS) and
  // fills peakKiB (-1 when the helper gave no figure).
  bool measurePeak = false;
  // Runs the executable with at most this much memory (MiB; 0: no limit):
  // its address space is limited in the child, before the exec. A sanitized
  // build reserves far more address space than that for its shadow memory,
  // so there the sanitizer's own limit on the heap stands in for it, and
  // an operator new that throws std::bad_alloc, as the plain runtime's does,
  // is preloaded (VORAK_THROWING_NEW).
  uint32_t memoryLimitMiB = 0;
  // When not 0, the largest file in bytes the run may write (RLIMIT_FSIZE).
  rlim_t fileSizeLimit = 0;
  // Variables added to the run's environment, each "NAME=value".
  std::vector<std::string> env = {};
  // When above 0: a run that has not ended after this many milliseconds is
  // killed and reported as timedOut (a hang fails the test, never blocks it).
  int timeoutMs = 0;
};

// The environment of a run under a memory limit: the process's own, with the
// sanitizer's limit when the build has one.
inline std::vector<std::string> limitedEnvironment(uint32_t limitMiB) {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) env.emplace_back(*e);
#if defined(VORAK_TEST_ASAN) && defined(VORAK_THROWING_NEW)
  auto set = [&env](const std::string& name, const std::string& value, const char* join) {
    for (std::string& e : env) {
      if (e.compare(0, name.size() + 1, name + "=") == 0) {
        e += join + value;
        return;
      }
    }
    env.push_back(name + "=" + value);
  };
  set("ASAN_OPTIONS",
      "verify_asan_link_order=0:allocator_may_return_null=1:soft_rss_limit_mb=" + std::to_string(limitMiB), ":");
  // First, so that its operator new is the one the compiler finds.
  bool preloaded = false;
  for (std::string& e : env) {
    if (e.compare(0, 11, "LD_PRELOAD=") == 0) {
      e = std::string("LD_PRELOAD=") + VORAK_THROWING_NEW + ":" + e.substr(11);
      preloaded = true;
    }
  }
  if (!preloaded) env.push_back(std::string("LD_PRELOAD=") + VORAK_THROWING_NEW);
#else
  (void)limitMiB;
#endif
  return env;
}

// Copies the executable into workDir, with the includes/ and plugins/
// folders that ship beside it, when present, or the chosen plug-ins; returns
// the copy's path.
inline std::string installVorak(const std::string& workDir, const RunOptions& options = {}) {
  namespace fs = std::filesystem;
  const fs::path source(VORAK_EXE);
  const fs::path exe = fs::path(workDir) / source.filename();
  fs::copy_file(source, exe, fs::copy_options::overwrite_existing);
  for (const char* folder : {"includes", "plugins"}) {
    if (options.plugins && std::string_view(folder) == "plugins") {
      placePlugins(workDir, *options.plugins);
      continue;
    }
    const fs::path from = source.parent_path() / folder;
    std::error_code ec;
    if (fs::is_directory(from, ec))
      fs::copy(from, fs::path(workDir) / folder,
               fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  }
  return exe.string();
}

// Runs the executable that installVorak placed, in workDir, with args,
// standard input from /dev/null, standard error left to the test's own and
// SIGXFSZ at its default action, and returns its standard output and exit
// code.
inline RunResult runInstalled(const std::string& exePath, const std::vector<std::string>& args,
                              const std::string& workDir, const RunOptions& options = {}) {
  namespace fs = std::filesystem;
  // Everything the child needs is built before fork: after it only
  // async-signal-safe calls are allowed.
  std::vector<std::string> argStore;
  const std::string report = (fs::path(workDir) / "peak-rss.txt").string();
  if (options.measurePeak) argStore.insert(argStore.end(), {VORAK_PEAK_RSS, report});
  argStore.push_back(exePath);
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStore = options.env;
  // A memory limit runs with the environment it needs; otherwise the
  // process's own. The given variables come first, so that they win over
  // one of the same name (getenv takes the first).
  if (options.memoryLimitMiB) {
    std::vector<std::string> limited = limitedEnvironment(options.memoryLimitMiB);
    envStore.insert(envStore.end(), limited.begin(), limited.end());
  }
  std::vector<char*> envp;
  for (std::string& e : envStore) envp.push_back(e.data());
  if (!options.memoryLimitMiB)
    for (char** e = environ; *e; ++e) envp.push_back(*e);
  envp.push_back(nullptr);
#ifndef VORAK_TEST_ASAN
  const rlimit addressSpace{rlim_t{options.memoryLimitMiB} << 20, rlim_t{options.memoryLimitMiB} << 20};
#endif

  int fds[2];
  if (pipe(fds) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    throw std::system_error(errno, std::generic_category(), "fork");
  }
  if (pid == 0) {
    const int devNull = open("/dev/null", O_RDONLY);
    if (devNull < 0 || dup2(devNull, 0) < 0 || dup2(fds[1], 1) < 0 || chdir(workDir.c_str()) != 0) _exit(126);
    close(fds[0]);
    close(fds[1]);
    close(devNull);
    // The run starts as from a shell: SIGXFSZ at its default action, which
    // ends the process, whatever the test process itself does with it.
    signal(SIGXFSZ, SIG_DFL);
    if (options.fileSizeLimit) {
      const struct rlimit limit = {options.fileSizeLimit, options.fileSizeLimit};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    }
#ifndef VORAK_TEST_ASAN
    if (options.memoryLimitMiB && setrlimit(RLIMIT_AS, &addressSpace) != 0) _exit(126);
#endif
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(fds[1]);
  RunResult result{std::string(), -1};
  char buf[4096];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeoutMs);
  for (;;) {
    if (options.timeoutMs > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd pfd{fds[0], POLLIN, 0};
      const int ready = left.count() > 0 ? poll(&pfd, 1, static_cast<int>(left.count())) : 0;
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0) {
        kill(pid, SIGKILL);
        result.timedOut = true;
        break;
      }
    }
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n > 0) {
      result.out.append(buf, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitpid");
  }
  if (WIFEXITED(status))
    result.exitCode = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    result.exitCode = 128 + WTERMSIG(status);
  if (options.measurePeak) {
    std::FILE* f = std::fopen(report.c_str(), "r");
    if (!f || std::fscanf(f, "%ld", &result.peakKiB) != 1) result.peakKiB = -1;
    if (f) std::fclose(f);
  }
  return result;
}

// installVorak, then runInstalled.
inline RunResult runVorak(const std::vector<std::string>& args, const std::string& workDir,
                          const RunOptions& options = {}) {
  return runInstalled(installVorak(workDir, options), args, workDir, options);
}

}  // namespace vorak::test
