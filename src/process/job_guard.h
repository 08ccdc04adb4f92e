// The job guard: the process that owns one worker and everything it starts.
//
// On Linux the controller starts each worker through a guard, a second
// instance of its own program named `kJobGuardName`. The guard makes itself a
// child subreaper and forks the worker, so every process of the worker's
// tree stays below it whatever its session, group or environment: an orphan
// is handed to the guard, not to the machine's first process. The guard
// kills the whole tree when the controller tells it to, when the
// controller's end of its control pipe closes (the controller died, SIGKILL
// included) and when it is asked to end by a signal; it exits once it has no
// child left. The worker gets SIGKILL when the guard dies, so a test that
// kills its parent ends its own worker rather than the controller.
//
// Descriptors the guard is started with: 0, 1, 2 the worker's standard
// streams; 3 the control pipe (kGuardInterrupt: SIGINT to the worker; any
// other byte or the pipe's end: kill the tree); 4 the
// status pipe, on which the guard reports one GuardReport once the worker
// has been executed or has failed to be, and, should the worker end before
// the guard is told to end the tree, a second one with its wait status.
#ifndef AURVANE_PROCESS_JOB_GUARD_H_
#define AURVANE_PROCESS_JOB_GUARD_H_

#include <cstdint>

namespace aurvane {

inline constexpr char kJobGuardName[] = "aurvane-job-guard";
inline constexpr int kGuardControlFd = 3;
inline constexpr int kGuardStatusFd = 4;
inline constexpr char kGuardInterrupt = 'i';

// What a GuardReport's `started` says `value` is.
inline constexpr int32_t kGuardExecFailed = 0;   // the errno of the worker's exec
inline constexpr int32_t kGuardStarted = 1;      // the worker's process id
inline constexpr int32_t kGuardForkFailed = 2;   // the errno of the guard's fork (or its pipe)
inline constexpr int32_t kGuardWorkerEnded = 3;  // the worker's wait status, after kGuardStarted

struct GuardReport {
  int32_t started;
  int32_t value;
};

// When this process was started as a job guard (argv[0] is kJobGuardName,
// argv[1] the worker's program, the rest its arguments), does the guard's
// work and returns its exit status; otherwise returns -1 at once. The thin
// `main` calls it first.
int RunJobGuardIfInvoked(int argc, char** argv);

}  // namespace aurvane

#endif  // AURVANE_PROCESS_JOB_GUARD_H_
