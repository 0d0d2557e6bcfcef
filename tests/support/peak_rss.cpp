// peak_rss REPORT PROGRAM [ARGS...]: runs PROGRAM and writes its peak
// resident set size in kB to REPORT, then ends as PROGRAM ended.
//
// A child's peak counts the memory it had before it replaced itself with the
// program: a copy of whatever forked it. This small process forks the
// program itself, so that what is measured is the program's own peak and not
// that of a large test process.
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: peak_rss REPORT PROGRAM [ARGS...]\n");
    return 125;
  }
  const pid_t pid = fork();
  if (pid < 0) return 126;
  if (pid == 0) {
    execv(argv[2], argv + 2);
    perror(argv[2]);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return 126;
  FILE* report = fopen(argv[1], "w");
  if (report != nullptr) {
    fprintf(report, "%ld\n", usage.ru_maxrss);
    fclose(report);
  }
  if (WIFSIGNALED(status)) {
    signal(WTERMSIG(status), SIG_DFL);
    raise(WTERMSIG(status));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 126;
}
