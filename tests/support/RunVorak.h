// Black-box runs of the built compiler: a private copy of the executable in a
// scratch folder, so nothing it writes lands beside the real one.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace vorak::test {

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
  // When above 0: a run that has not ended after this many milliseconds is
  // killed and reported as timedOut (a hang fails the test, never blocks it).
  int timeoutMs = 0;
};

// Copies the executable (with the includes/ and plugins/ folders that ship
// beside it, when present, or the chosen plug-ins) into workDir, runs it
// there with args, standard input from /dev/null and standard error left to
// the test's own, and returns its standard output and exit code.
inline RunResult runVorak(const std::vector<std::string>& args, const std::string& workDir,
                          const RunOptions& options = {}) {
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

  // Everything the child needs is built before fork: after it only
  // async-signal-safe calls are allowed.
  const std::string exePath = exe.string();
  std::vector<std::string> argStore;
  const std::string report = (fs::path(workDir) / "peak-rss.txt").string();
  if (options.measurePeak) argStore.insert(argStore.end(), {VORAK_PEAK_RSS, report});
  argStore.push_back(exePath);
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);

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
    execv(argv[0], argv.data());
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

}  // namespace vorak::test
