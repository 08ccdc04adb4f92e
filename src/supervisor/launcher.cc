#include "supervisor/launcher.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <system_error>
#include <thread>

namespace aurvane {

bool WorkerLauncher::Interrupt(size_t, WorkerJob& job) { return job.Interrupt(); }

std::vector<Result<LaunchedWorker>> WorkerLauncher::LaunchFirst(size_t count, const Sender<WorkerEvent>& events,
                                                                const CancelFlag& cancel) {
  std::vector<Result<LaunchedWorker>> launched;
  for (size_t n = 0; n < count && !cancel->load(); ++n) {
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

std::vector<Result<LaunchedWorker>> ProcessLauncher::LaunchFirst(size_t count, const Sender<WorkerEvent>& events,
                                                                 const CancelFlag& cancel) {
  if (count < 2 || !WorkerJob::StartsMayOverlap()) return WorkerLauncher::LaunchFirst(count, events, cancel);
  std::vector<std::optional<Result<LaunchedWorker>>> slots(count);
  // Each thread takes the next number until none is left, the run is
  // cancelled or a start failed: the numbers taken are 0 to `next` - 1.
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  auto serve = [&slots, &events, &cancel, &next, &failed, count](WorkerLaunch launch) {
    while (!cancel->load() && !failed.load()) {
      const size_t n = next.fetch_add(1);
      if (n >= count) return;
      launch.number = n;
      slots[n].emplace(LaunchWorker(launch, events));
      if (!slots[n]->ok()) failed.store(true);
    }
  };
  std::vector<std::thread> threads;
  for (size_t i = 1; i < std::min(count, kStartThreads); ++i) {
    try {
      threads.emplace_back(serve, launch_);
    } catch (const std::system_error&) {
      break;  // fewer threads: the others take more each
    }
  }
  serve(launch_);
  for (std::thread& thread : threads) thread.join();
  std::vector<Result<LaunchedWorker>> launched;
  for (size_t n = 0; n < count && slots[n]; ++n) launched.push_back(std::move(*slots[n]));
  return launched;
}

}  // namespace aurvane
