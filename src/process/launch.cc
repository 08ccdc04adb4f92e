#include "process/launch.h"

#include <string>
#include <string_view>
#include <utility>

#include "json/json.h"
#include "process/handle.h"
#include "process/io_threads.h"
#include "util/file.h"

namespace aurvane {

namespace {

// ASCII text as the operating system's own string.
NativeString Native(std::string_view ascii) { return NativeString(ascii.begin(), ascii.end()); }

}  // namespace

std::string WorkerName(size_t n) { return "av" + std::to_string(n); }

std::filesystem::path WorkerLogPath(const std::filesystem::path& run_dir, size_t n) {
  return run_dir / ("worker-" + std::to_string(n) + ".log");
}

namespace {

// A failed start names the worker and the step that failed: a replacement
// refused by a process limit said only "Resource temporarily unavailable".
Error CannotStart(const WorkerLaunch& launch, const std::string& what) {
  return Error{"Cannot start worker " + WorkerName(launch.number) + ": " + what};
}

}  // namespace

Result<LaunchedWorker> LaunchWorker(const WorkerLaunch& launch, const Sender<WorkerEvent>& events) {
  const std::filesystem::path log_path = WorkerLogPath(launch.run_dir, launch.number);
  Result<Handle> log = CreateLogFile(log_path);
  if (!log.ok()) return CannotStart(launch, NamingPath(std::move(log).TakeError(), "creating its log", log_path).message);

  Result<std::filesystem::path> program = FindProgram(launch.python);
  if (!program.ok()) return CannotStart(launch, program.message());

  std::string name = WorkerName(launch.number);
  ProcessDescription description;
  description.program = std::move(program).value();
  description.args = {Native("-u"), Native("-m"), Native("pytest_aurvane.worker"), launch.spec_path.native()};
  description.cwd = launch.cwd;
  description.env = {
      {"AURVANE_WORKER", name},
      {"PYTEST_XDIST_WORKER", name},
      {"PYTEST_XDIST_WORKER_COUNT", std::to_string(launch.workers)},
      {"PYTEST_XDIST_TESTRUNUID", launch.run_id},
  };

  Result<Pipe> to_worker = MakePipe();
  if (!to_worker.ok()) return CannotStart(launch, "creating its pipes: " + to_worker.message());
  Result<Pipe> from_worker = MakePipe();
  if (!from_worker.ok()) return CannotStart(launch, "creating its pipes: " + from_worker.message());

  Result<WorkerJob> job = WorkerJob::Start(description, to_worker.value().reader.handle(),
                                           from_worker.value().writer.handle(), log.value());
  // Only the worker keeps its ends and the log open: our copies would hide
  // the end of its streams.
  log.value().Close();
  to_worker.value().reader.Close();
  from_worker.value().writer.Close();
  if (!job.ok()) return CannotStart(launch, job.message());

  // Written by the supervisor itself without waiting where the pipe can be
  // made non-blocking; through the control writer only when it is full.
  PipeWriter input = std::move(to_worker.value().writer);
  const bool direct = input.SetNonBlocking().ok();
  auto control = std::make_shared<ControlPipe>(std::move(input), direct);
  // From here on, whatever fails lets go of the pipe, so that a writer
  // already started ends.
  CommandChannel commands(control);
  Status started = StartControlWriter(std::move(control), events, launch.number);
  if (!started.ok()) return CannotStart(launch, started.message());
  started = StartEventReader(events, std::move(from_worker.value().reader), launch.number);
  if (!started.ok()) return CannotStart(launch, started.message());

  uint32_t pid = job.value().pid();
  return LaunchedWorker{std::move(job).value(), std::move(commands), pid};
}

CommandChannel::CommandChannel(std::shared_ptr<ControlPipe> pipe) : pipe_(std::move(pipe)) {}

CommandChannel& CommandChannel::operator=(CommandChannel&& other) noexcept {
  if (this != &other) {
    Reset();
    pipe_ = std::move(other.pipe_);
    queue_ = std::move(other.queue_);
  }
  return *this;
}

void CommandChannel::Reset() {
  if (pipe_) {
    pipe_->Release();
    pipe_.reset();
  }
  queue_.Reset();
}

Result<Delivery> SendCommand(CommandChannel& commands, size_t n, WorkerCommand command) {
  std::string refused;
  if (commands.pipe_) {
    std::string line = json::ToCompact(command);
    line.push_back('\n');
    switch (commands.pipe_->Write(std::move(line))) {
      case ControlPipe::Outcome::kDone:
        return Delivery::kQueued;
      case ControlPipe::Outcome::kClosed:
        return Delivery::kControlGone;
      case ControlPipe::Outcome::kFull:
        refused = kFullChannel;
        break;
    }
  } else {
    Status offered = commands.queue_.Offer(std::move(command));
    if (offered.ok()) return Delivery::kQueued;
    // Only the launcher holds the receiving end, and it lets go of it as a
    // control writer does when a write to the worker failed.
    if (offered.message() == kClosedChannel) return Delivery::kControlGone;
    refused = offered.message();
  }
  return Error{"Worker " + WorkerName(n) + " control channel unavailable: " + refused};
}

}  // namespace aurvane
