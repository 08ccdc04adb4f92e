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

#include <atomic>
#include <chrono>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "json/json.h"
#include "main/controller.h"

namespace {

// Resident memory now, from /proc/self/status, in MiB.
double ResidentMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0;
}

double CpuSeconds(const rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A positive decimal count, or 0 when `text` is not one.
uint64_t ParseCount(const char* text) {
  uint64_t value = 0;
  const char* end = text + std::strlen(text);
  auto [ptr, ec] = std::from_chars(text, end, value);
  return ec == std::errc() && ptr == end ? value : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t tests = argc >= 3 ? ParseCount(argv[1]) : 0;
  const uint64_t workers = argc >= 3 ? ParseCount(argv[2]) : 0;
  if (tests == 0 || workers == 0) {
    fprintf(stderr, "usage: %s TESTS WORKERS [RUN_DIR]  (TESTS and WORKERS positive numbers)\n", argv[0]);
    return 2;
  }
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
  // Resident memory sampled through the run: after collection it must stay
  // flat however many tests have finished.
  std::vector<double> samples;
  std::atomic<bool> done{false};
  std::thread sampler([&] {
    while (!done.load()) {
      samples.push_back(ResidentMiB());
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  int status = aurvane::RunController({std::filesystem::path(argv[0]), std::filesystem::path(spec_path)});
  done.store(true);
  sampler.join();
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  double cpu = CpuSeconds(after) - CpuSeconds(before);
  auto at = [&](double fraction) {
    return samples.empty() ? 0.0 : samples[static_cast<size_t>(fraction * static_cast<double>(samples.size() - 1))];
  };
  fprintf(stderr, "resident MiB at 25%%/50%%/75%%/100%% of the run: %.1f %.1f %.1f %.1f\n", at(0.25), at(0.5),
          at(0.75), at(1.0));
  fprintf(stderr,
          "tests=%llu workers=%llu exit=%d wall=%.2fs controller_cpu=%.2fs cpu_per_test=%.1fus peak_rss=%.1fMiB\n",
          static_cast<unsigned long long>(tests), static_cast<unsigned long long>(workers), status, wall, cpu,
          cpu / static_cast<double>(tests) * 1e6, static_cast<double>(after.ru_maxrss) / 1024.0);
  return status;
}
