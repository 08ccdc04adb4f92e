#include "supervisor/launcher.h"

#include <optional>
#include <system_error>
#include <thread>

namespace aurvane {

std::vector<Result<LaunchedWorker>> WorkerLauncher::LaunchFirst(size_t count, const Sender<WorkerEvent>& events) {
  std::vector<Result<LaunchedWorker>> launched;
  for (size_t n = 0; n < count; ++n) {
    launched.push_back(Launch(n, events));
    if (!launched.back().ok()) break;  // those after it are never started
  }
  return launched;
}

ProcessLauncher::ProcessLauncher(const Spec& spec, std::filesystem::path spec_path)
    : launch_{spec.python,  spec.cwd,   std::move(spec_path), spec.run_dir, spec.run_id,
              static_cast<size_t>(spec.workers), 0} {}

Result<LaunchedWorker> ProcessLauncher::Launch(size_t number, const Sender<WorkerEvent>& events) {
  launch_.number = number;
  return LaunchWorker(launch_, events);
}

std::vector<Result<LaunchedWorker>> ProcessLauncher::LaunchFirst(size_t count, const Sender<WorkerEvent>& events) {
  if (count < 2 || !WorkerJob::StartsMayOverlap()) return WorkerLauncher::LaunchFirst(count, events);
  std::vector<std::optional<Result<LaunchedWorker>>> slots(count);
  std::vector<std::thread> threads;
  for (size_t n = 1; n < count; ++n) {
    WorkerLaunch launch = launch_;
    launch.number = n;
    try {
      threads.emplace_back([&slots, &events, launch, n] { slots[n].emplace(LaunchWorker(launch, events)); });
    } catch (const std::system_error&) {
      break;  // no thread: the rest start here, in turn
    }
  }
  launch_.number = 0;
  slots[0].emplace(LaunchWorker(launch_, events));
  for (std::thread& thread : threads) thread.join();
  std::vector<Result<LaunchedWorker>> launched;
  for (size_t n = 0; n < count; ++n) {
    if (!slots[n]) slots[n].emplace(Launch(n, events));
    launched.push_back(std::move(*slots[n]));
  }
  return launched;
}

}  // namespace aurvane
