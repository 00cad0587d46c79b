/* Runs a command and writes the peak resident memory of that command alone,
 * in KiB, to a report file; exits with the command's exit code (128 + the
 * signal when it was killed).
 *
 *     vorak_peak_rss REPORT PROGRAM [ARGS...]
 *
 * A process forked by the test binary starts out with the test's pages and
 * keeps them in its peak even after exec; one forked by this small program
 * starts with this program's few. */
#define _DEFAULT_SOURCE /* wait4 */
#include <errno.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s REPORT PROGRAM [ARGS...]\n", argv[0]);
    return 125;
  }
  const pid_t pid = fork();
  if (pid < 0) return 125;
  if (pid == 0) {
    execv(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  while (wait4(pid, &status, 0, &usage) < 0)
    if (errno != EINTR) return 125;
  FILE* report = fopen(argv[1], "w");
  if (!report || fprintf(report, "%ld\n", usage.ru_maxrss) < 0 || fclose(report) != 0) return 125;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
