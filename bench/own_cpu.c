// Runs $BENCH_REAL_CONTROLLER with this program's arguments and writes the
// controller's own CPU time to $BENCH_CONTROLLER_TIMES as "USER SYSTEM"
// seconds. /usr/bin/time cannot tell this: the usage that wait4 returns
// includes the workers the controller reaped. Read from /proc while the
// controller is a zombie (waitid with WNOWAIT), utime and stime are its own
// threads' only.
#define _GNU_SOURCE
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

static pid_t child;

// Ctrl-C reaches this process from the front end; the controller must get
// it to cancel the run in order.
static void Forward(int sig) {
  if (child > 0) kill(child, sig);
}

int main(int argc, char** argv) {
  (void)argc;
  const char* program = getenv("BENCH_REAL_CONTROLLER");
  const char* out = getenv("BENCH_CONTROLLER_TIMES");
  if (program != NULL && argv[0] != NULL && strcmp(argv[0], "aurvane-job-guard") == 0) {
    // The front end starts the fork server under a job guard of the
    // controller's program: only the controller itself is measured.
    execv(program, argv);
    return 127;
  }
  if (program == NULL || out == NULL) {
    fprintf(stderr, "own_cpu: BENCH_REAL_CONTROLLER and BENCH_CONTROLLER_TIMES must be set\n");
    return 3;
  }
  child = fork();
  if (child < 0) return 3;
  if (child == 0) {
    argv[0] = (char*)program;
    execv(program, argv);
    _exit(127);
  }
  signal(SIGINT, Forward);
  signal(SIGTERM, Forward);
  siginfo_t info;
  while (waitid(P_PID, (id_t)child, &info, WEXITED | WNOWAIT) != 0) {
  }
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", (int)child);
  FILE* stat = fopen(path, "r");
  char buffer[4096] = {0};
  if (stat != NULL) {
    size_t n = fread(buffer, 1, sizeof buffer - 1, stat);
    buffer[n] = 0;
    fclose(stat);
  }
  // Fields after the command name in parentheses: state is field 3, utime
  // field 14 and stime field 15, in clock ticks.
  const char* p = strrchr(buffer, ')');
  unsigned long utime = 0, stime = 0;
  if (p != NULL) {
    int field = 2;
    for (p = p + 1; *p && field < 14; ++p) {
      if (*p == ' ') ++field;
    }
    sscanf(p, " %lu %lu", &utime, &stime);
  }
  double tick = (double)sysconf(_SC_CLK_TCK);
  FILE* f = fopen(out, "w");
  if (f != NULL) {
    fprintf(f, "%.3f %.3f\n", (double)utime / tick, (double)stime / tick);
    fclose(f);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
  }
  if (WIFSIGNALED(status)) {
    signal(WTERMSIG(status), SIG_DFL);
    raise(WTERMSIG(status));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 3;
}
