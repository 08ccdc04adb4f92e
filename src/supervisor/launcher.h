// How the supervisor gets a worker: a launcher hands back a session's job
// and command queue, and the worker's messages arrive on the event queue it
// was given. The real one starts processes; tests and the fuzz target use
// one that starts nothing and plays the worker's part themselves.
#ifndef AURVANE_SUPERVISOR_LAUNCHER_H_
#define AURVANE_SUPERVISOR_LAUNCHER_H_

#include <cstddef>
#include <filesystem>
#include <vector>

#include "cancel/cancel.h"
#include "process/launch.h"
#include "process/worker_event.h"
#include "spec/spec.h"
#include "util/queue.h"
#include "util/result.h"

namespace aurvane {

class WorkerLauncher {
 public:
  virtual ~WorkerLauncher() = default;
  // Starts worker `number`, whose messages and transport failures go to
  // `events`. On failure nothing started remains.
  virtual Result<LaunchedWorker> Launch(size_t number, const Sender<WorkerEvent>& events) = 0;
  // Starts workers 0 to `count` - 1, one result each, in order of number;
  // by default one after the other. Once `cancel` is raised, or a start
  // has failed, no other start begins: the results stop at the last worker
  // started (or failed to), those begun finishing first.
  virtual std::vector<Result<LaunchedWorker>> LaunchFirst(size_t count, const Sender<WorkerEvent>& events,
                                                          const CancelFlag& cancel);
  // Interrupts worker `number`, whose job is `job`, so that it tears down
  // and ends (WorkerJob::Interrupt); false when it cannot be.
  virtual bool Interrupt(size_t number, WorkerJob& job);
};

// Starts each worker as a process with LaunchWorker.
class ProcessLauncher final : public WorkerLauncher {
 public:
  // `spec_path` is handed to every worker exactly as given.
  ProcessLauncher(const Spec& spec, std::filesystem::path spec_path);
  Result<LaunchedWorker> Launch(size_t number, const Sender<WorkerEvent>& events) override;
  // Side by side where the platform allows, kStartThreads at a time: a
  // start waits for its guard's word, several milliseconds, and the run
  // begins only once the last worker has collected. Only a few, so that a
  // cancellation has only those to wait for, not every worker's start.
  std::vector<Result<LaunchedWorker>> LaunchFirst(size_t count, const Sender<WorkerEvent>& events,
                                                  const CancelFlag& cancel) override;
  static constexpr size_t kStartThreads = 16;

 private:
  WorkerLaunch launch_;
};

}  // namespace aurvane

#endif  // AURVANE_SUPERVISOR_LAUNCHER_H_
