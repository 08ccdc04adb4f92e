#include "supervisor/launcher.h"

namespace aurvane {

ProcessLauncher::ProcessLauncher(const Spec& spec, std::filesystem::path spec_path)
    : launch_{spec.python,  spec.cwd,   std::move(spec_path), spec.run_dir, spec.run_id,
              static_cast<size_t>(spec.workers), 0} {}

Result<LaunchedWorker> ProcessLauncher::Launch(size_t number, const Sender<WorkerEvent>& events) {
  launch_.number = number;
  return LaunchWorker(launch_, events);
}

}  // namespace aurvane
