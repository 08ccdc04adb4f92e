// Starting one worker: its log, its pipes, its job and its two I/O threads.
#ifndef AURVANE_PROCESS_LAUNCH_H_
#define AURVANE_PROCESS_LAUNCH_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "util/queue.h"
#include "process/worker_event.h"
#include "process/worker_job.h"
#include "util/result.h"

namespace aurvane {

struct WorkerLaunch {
  std::string python;                // interpreter: a path, or a name searched on PATH
  std::filesystem::path cwd;         // the worker's working directory
  std::filesystem::path spec_path;   // passed on exactly as given to the controller
  std::filesystem::path run_dir;     // receives "worker-{n}.log"
  std::string run_id;
  size_t workers = 0;                // the configured count, also for replacements
  size_t number = 0;                 // this worker's number n
};

struct LaunchedWorker {
  WorkerJob job;
  Sender<WorkerCommand> commands;  // capacity kCommandQueueCapacity
  uint32_t pid = 0;
};

// "av" followed by `n` in decimal.
std::string WorkerName(size_t n);

// `run_dir` / "worker-{n}.log".
std::filesystem::path WorkerLogPath(const std::filesystem::path& run_dir, size_t n);

// Starts worker `launch.number`: creates or truncates its log, starts
// `python -u -m pytest_aurvane.worker <spec_path>` in `cwd` with the four
// worker variables added to the inherited environment, its standard input
// and output on new pipes and its standard error on the log, inside a job of
// its own; then starts its control writer and event reader, each with a copy
// of `events`. The controller's log handle is closed before returning. On
// failure nothing started remains (the log file stays, empty).
Result<LaunchedWorker> LaunchWorker(const WorkerLaunch& launch, const Sender<WorkerEvent>& events);

// What became of a command offered to a worker.
enum class Delivery : uint8_t {
  kQueued,       // the control writer will write it
  kControlGone,  // the writer has ended on a failed write: dropped, as is every later one
};

// Offers `command` to worker `n` without waiting. A full queue is an error,
// "Worker av{n} control channel unavailable: sending on a full channel".
Result<Delivery> SendCommand(Sender<WorkerCommand>& commands, size_t n, WorkerCommand command);

}  // namespace aurvane

#endif  // AURVANE_PROCESS_LAUNCH_H_
