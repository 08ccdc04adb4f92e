// Starting one worker: its log, its pipes, its job and its two I/O threads.
#ifndef AURVANE_PROCESS_LAUNCH_H_
#define AURVANE_PROCESS_LAUNCH_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
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

class ControlPipe;

// What became of a command offered to a worker.
enum class Delivery : uint8_t {
  kQueued,       // written to the worker's input, or waiting for its control writer to write it
  kControlGone,  // a write to the worker failed: dropped, as is every later one
};

// The supervisor's end of a worker's input (see SendCommand). Letting go of
// it ends the worker's input once every command is written.
class CommandChannel {
 public:
  // Connected to nothing: every command is dropped as kControlGone.
  CommandChannel() = default;
  // A worker's standard input, served with its control writer.
  explicit CommandChannel(std::shared_ptr<ControlPipe> pipe);
  // Commands only queued (capacity kCommandQueueCapacity), for a launcher
  // that starts no process and takes them from the receiving end itself.
  explicit CommandChannel(Sender<WorkerCommand> queue) : queue_(std::move(queue)) {}
  ~CommandChannel() { Reset(); }
  CommandChannel(CommandChannel&& other) noexcept = default;
  CommandChannel& operator=(CommandChannel&& other) noexcept;
  CommandChannel(const CommandChannel&) = delete;
  CommandChannel& operator=(const CommandChannel&) = delete;

  // Lets go now, as the destructor would.
  void Reset();

 private:
  friend Result<Delivery> SendCommand(CommandChannel& commands, size_t n, WorkerCommand command);
  std::shared_ptr<ControlPipe> pipe_;
  Sender<WorkerCommand> queue_;
};

struct LaunchedWorker {
  WorkerJob job;
  CommandChannel commands;
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

// Offers `command` to worker `n` without waiting: written now when its
// input has room and no earlier command waits, else left to its control
// writer, after those. When kCommandQueueCapacity commands already wait
// for the writer that is an error, "Worker av{n} control channel
// unavailable: sending on a full channel".
Result<Delivery> SendCommand(CommandChannel& commands, size_t n, WorkerCommand command);

}  // namespace aurvane

#endif  // AURVANE_PROCESS_LAUNCH_H_
