// Runs one whole run in this process against the fake worker and reports the
// controller's CPU time per test and the process's peak resident memory.
// The workers are separate processes, so this process's CPU time is the
// controller's own: the supervisor thread plus the I/O threads.
//
//   controller_bench TESTS WORKERS [RUN_DIR]
//
// Standard input must stay open and silent (a line or end of input cancels
// the run): run it as `sleep 1000 | controller_bench 100000 2`.
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "json/json.h"
#include "main/controller.h"

namespace {

double CpuSeconds(const rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s TESTS WORKERS [RUN_DIR]\n", argv[0]);
    return 2;
  }
  const uint64_t tests = std::stoull(argv[1]);
  const uint64_t workers = std::stoull(argv[2]);
  std::filesystem::path dir = argc > 3 ? std::filesystem::path(argv[3])
                                       : std::filesystem::temp_directory_path() / "aurvane-bench";
  std::filesystem::create_directories(dir);

  using aurvane::json::Object;
  using aurvane::json::Value;
  Object test;  // three phases, one report each, no delay, zero duration
  test["duration"] = 0.0;
  Object tests_entry;
  tests_entry["default"] = Value(test);
  // Short node ids keep the manifest of 100,000 tests within the 8 MiB line
  // limit; the fake worker then reports a null location for each.
  aurvane::json::Array items;
  items.reserve(tests);
  for (uint64_t i = 0; i < tests; ++i) items.emplace_back("t.py::t" + std::to_string(i));
  Object scenario;
  scenario["items"] = Value(std::move(items));
  scenario["tests"] = Value(tests_entry);
  Object fake;
  fake["default"] = Value(scenario);
  Object spec;
  spec["protocol"] = 1;
  spec["python"] = AURVANE_FAKE_WORKER_PATH;
  spec["cwd"] = dir.string();
  spec["workers"] = workers;
  spec["phase_timeout"] = 60.0;
  spec["startup_timeout"] = 60.0;
  spec["shutdown_timeout"] = 60.0;
  spec["max_restarts"] = 0;
  spec["retries"] = 0;
  spec["schedule"] = "load";
  spec["history"] = false;
  spec["history_path"] = (dir / "history.json").string();
  spec["run_dir"] = dir.string();
  spec["run_id"] = "bench";
  spec["maxfail"] = 0;
  spec["fake_worker"] = Value(fake);
  std::string spec_path = (dir / "spec.json").string();
  std::ofstream(spec_path) << aurvane::json::ToCompact(Value(spec));

  // The progress stream is not what is measured here.
  FILE* devnull = freopen("/dev/null", "w", stdout);
  (void)devnull;
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  auto start = std::chrono::steady_clock::now();
  char* args[] = {argv[0], spec_path.data(), nullptr};
  int status = aurvane::RunController(2, args);
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  double cpu = CpuSeconds(after) - CpuSeconds(before);
  fprintf(stderr,
          "tests=%llu workers=%llu exit=%d wall=%.2fs controller_cpu=%.2fs cpu_per_test=%.1fus peak_rss=%.1fMiB\n",
          static_cast<unsigned long long>(tests), static_cast<unsigned long long>(workers), status, wall, cpu,
          cpu / static_cast<double>(tests) * 1e6, static_cast<double>(after.ru_maxrss) / 1024.0);
  return status;
}
