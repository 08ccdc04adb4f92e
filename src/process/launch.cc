#include "process/launch.h"

#include <string_view>
#include <utility>

#include "process/handle.h"
#include "process/io_threads.h"

namespace aurvane {

namespace {

// ASCII text as the operating system's own string.
NativeString Native(std::string_view ascii) { return NativeString(ascii.begin(), ascii.end()); }

}  // namespace

std::string WorkerName(size_t n) { return "av" + std::to_string(n); }

std::filesystem::path WorkerLogPath(const std::filesystem::path& run_dir, size_t n) {
  return run_dir / ("worker-" + std::to_string(n) + ".log");
}

Result<LaunchedWorker> LaunchWorker(const WorkerLaunch& launch, const Sender<WorkerEvent>& events) {
  Result<Handle> log = CreateLogFile(WorkerLogPath(launch.run_dir, launch.number));
  if (!log.ok()) return std::move(log).TakeError();

  Result<std::filesystem::path> program = FindProgram(launch.python);
  if (!program.ok()) return std::move(program).TakeError();

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
  if (!to_worker.ok()) return std::move(to_worker).TakeError();
  Result<Pipe> from_worker = MakePipe();
  if (!from_worker.ok()) return std::move(from_worker).TakeError();

  Result<WorkerJob> job = WorkerJob::Start(description, to_worker.value().reader.handle(),
                                           from_worker.value().writer.handle(), log.value());
  // Only the worker keeps its ends and the log open: our copies would hide
  // the end of its streams.
  log.value().Close();
  to_worker.value().reader.Close();
  from_worker.value().writer.Close();
  if (!job.ok()) return std::move(job).TakeError();

  auto [sender, receiver] = MakeQueue<WorkerCommand>(kCommandQueueCapacity);
  Status started = StartControlWriter(std::move(receiver), events,
                                      std::move(to_worker.value().writer), launch.number);
  if (!started.ok()) return std::move(started).TakeError();
  started = StartEventReader(events, std::move(from_worker.value().reader), launch.number);
  if (!started.ok()) return std::move(started).TakeError();

  uint32_t pid = job.value().pid();
  return LaunchedWorker{std::move(job).value(), std::move(sender), pid};
}

Result<Delivery> SendCommand(Sender<WorkerCommand>& commands, size_t n, WorkerCommand command) {
  Status offered = commands.Offer(std::move(command));
  if (offered.ok()) return Delivery::kQueued;
  // Only the control writer holds the receiving end, and it lets go only
  // when a write to the worker failed (or the sending end is gone).
  if (offered.message() == kClosedChannel) return Delivery::kControlGone;
  return Error{"Worker " + WorkerName(n) + " control channel unavailable: " + offered.message()};
}

}  // namespace aurvane
