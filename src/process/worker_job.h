// A worker process together with everything it starts, owned as one unit.
//
// On Linux the unit is the tree below a job guard (process/job_guard.h): the
// worker's parent, a child subreaper that every orphan of the tree is handed
// to, whatever its session or environment. The guard ends the tree when told
// to and when the controller dies (SIGKILL included: the kernel closes the
// guard's pipe). The controller is a child subreaper too: should a guard be
// killed, its tree comes to the controller, which ends it. Where the
// controller may create cgroups, each job's tree is also in a cgroup of its
// own (process/cgroup.h), killed whatever became of the guard and the
// controller.
#ifndef AURVANE_PROCESS_WORKER_JOB_H_
#define AURVANE_PROCESS_WORKER_JOB_H_

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "process/handle.h"
#include "util/result.h"

namespace aurvane {

// The operating system's own string (UTF-16 on Windows): arguments are
// passed through in it so that a path from the command line reaches the
// worker unchanged.
using NativeString = std::filesystem::path::string_type;

// What to start. `program` is used as given (see FindProgram); `args` follow
// the program name; `env` (UTF-8) is set over the controller's inherited
// environment, in order, replacing variables of the same name.
struct ProcessDescription {
  std::filesystem::path program;
  std::vector<NativeString> args;
  std::filesystem::path cwd;
  std::vector<std::pair<std::string, std::string>> env;
};

// The program to start for `name`: a bare name (no directory separator) is
// searched on the controller's PATH ("program not found" when absent); a name
// with a directory is taken relative to the controller's working directory.
Result<std::filesystem::path> FindProgram(const std::string& name);

// The program that WorkerJob::Start runs as each job's guard (POSIX):
// normally this very program, whose `main` serves the guard's name. A test
// program that does not, names one that does.
void SetJobGuardProgram(const std::filesystem::path& program);

class WorkerJob {
 public:
  WorkerJob();  // an empty job: terminating it does nothing
  ~WorkerJob();  // Terminate, then release everything
  WorkerJob(WorkerJob&& other) noexcept;
  WorkerJob& operator=(WorkerJob&& other) noexcept;
  WorkerJob(const WorkerJob&) = delete;
  WorkerJob& operator=(const WorkerJob&) = delete;

  // Starts `description` inside a new job of its own, with the three handles
  // (borrowed; the caller closes its copies) as its standard input, output
  // and error, the signal mask empty and every signal at its default action.
  // On failure nothing started remains.
  static Result<WorkerJob> Start(const ProcessDescription& description, const Handle& stdin_read,
                                 const Handle& stdout_write, const Handle& stderr_file);

  // Whether Start may run on several threads at once, each child getting
  // only its own handles.
  static bool StartsMayOverlap();

  // The operating system's id of the worker process.
  uint32_t pid() const;
  bool terminated() const;

  // Kills the worker and everything in its job and waits (at most 2 s, then
  // more of the same if the guard had to be killed) until nothing of the
  // job is left. Only the first call acts; it never fails.
  void Terminate();

  // After Terminate: how a signal ended the worker, when one did before it
  // was to be ended ("killed by signal 9 (SIGKILL), ..."); where the
  // platform has no such word, nothing.
  std::optional<std::string> EndedBySignal() const;

  // Interrupts the worker as a terminal's Ctrl-C interrupts a process
  // (SIGINT to the worker alone, on POSIX), so that it can tear down before
  // it ends. False when it cannot be (the job ended, or Windows, where a
  // console event cannot be aimed at one process): only killing ends it.
  bool Interrupt();

  // Starts killing the worker and everything in its job, without waiting;
  // Terminate then waits. Jobs killed one after the other end side by
  // side instead of each in turn.
  void Kill();

 private:
  // The platform's handles, defined with the platform's code, which also
  // defines how they are released.
  struct Impl;
  struct ImplDeleter {
    void operator()(Impl* impl) const noexcept;
  };
  using ImplPtr = std::unique_ptr<Impl, ImplDeleter>;

  WorkerJob(ImplPtr impl, uint32_t pid);

  // The platform's part of Kill; acts again harmlessly.
  void StartKilling();
  // The platform's part of Interrupt.
  bool SendInterrupt();
  // The platform's part of Terminate: kills the job's processes, reaps the
  // worker, and waits with WaitUntilEmpty.
  void KillAndWait();
  // Calls `empty`, soon and then every 5 ms, until it returns true, or for
  // at most 2 s: how long a killed job is given to disappear, the same on
  // every platform.
  static void WaitUntilEmpty(const std::function<bool()>& empty);

  ImplPtr impl_;
  uint32_t pid_ = 0;
  bool terminated_ = false;
};

}  // namespace aurvane

#endif  // AURVANE_PROCESS_WORKER_JOB_H_
