// The run summary: "summary.json" in the run directory and the last record of
// the event log.
#ifndef AURVANE_OUTPUT_SUMMARY_H_
#define AURVANE_OUTPUT_SUMMARY_H_

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string_view>

#include "json/json.h"
#include "util/result.h"

namespace aurvane {

struct TestOutcome {
  std::string_view nodeid;
  std::string_view state;  // "pending", "reserved", "running", "completed", "interrupted"
  uint32_t attempts = 0;
};

struct RunTotals {
  int exit_code = 0;
  uint64_t failed = 0;
  uint64_t restarts = 0;
  double wall_seconds = 0;
};

// The summary object for `test_count` tests, `test(i)` giving test i in
// manifest order.
json::Value BuildSummary(size_t test_count, const std::function<TestOutcome(size_t)>& test, const RunTotals& totals);

// Writes "summary.json" in `run_dir`, pretty-printed, in one write.
Status WriteSummary(const std::filesystem::path& run_dir, const json::Value& summary);

}  // namespace aurvane

#endif  // AURVANE_OUTPUT_SUMMARY_H_
