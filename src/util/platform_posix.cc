#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include "util/platform.h"

namespace aurvane {

namespace {

bool scheduling_lowered = false;

// Every message a worker writes wakes one of our threads, several times a
// test. In the usual class a waking thread preempts what runs on its core,
// which on a busy machine is a worker: the worker loses its core and its
// cache in the middle of a test, again and again. In the batch class a
// woken thread waits for a free core or the scheduler's next tick instead;
// it keeps its fair share of the processor, so messages are taken a few at
// a time, a few milliseconds later at most when every core is busy, and
// deadlines (seconds) are judged as before. On a suite of 2,000 quick tests
// this more than halved the controller's own CPU time. Only from the usual
// class: a policy the user chose for us (idle, real-time) stays, and so
// does the niceness.
void LowerScheduling() {
#if defined(SCHED_BATCH)
  if (sched_getscheduler(0) != SCHED_OTHER) return;
  sched_param param{};
  param.sched_priority = 0;
  scheduling_lowered = sched_setscheduler(0, SCHED_BATCH, &param) == 0;
#endif
}

}  // namespace

std::vector<std::filesystem::path> CommandLineArguments(int argc, char** argv) {
  std::vector<std::filesystem::path> args;
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}

void PrepareControllerProcess() {
  signal(SIGPIPE, SIG_IGN);
  // A standard stream closed by whoever started us would otherwise be the
  // lowest free descriptor, and the first file we open (the event log)
  // would take its place: the echoed records would land in the log a second
  // time. The null device holds the place, opened for reading only, so that
  // standard input reads as ended and a write to standard output fails as a
  // closed one should.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int held = open("/dev/null", O_RDONLY);
    if (held >= 0 && held != fd) {
      dup2(held, fd);
      close(held);
    }
  }
  LowerScheduling();
}

bool ControllerSchedulingLowered() { return scheduling_lowered; }

}  // namespace aurvane
