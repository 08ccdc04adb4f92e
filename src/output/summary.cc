#include "output/summary.h"

#include "util/file.h"

namespace aurvane {

json::Value BuildSummary(size_t test_count, const std::function<TestOutcome(size_t)>& test, const RunTotals& totals) {
  uint64_t completed = 0;
  uint64_t interrupted = 0;
  json::Array tests;
  tests.reserve(test_count);
  for (size_t i = 0; i < test_count; ++i) {
    TestOutcome outcome = test(i);
    if (outcome.state == "completed") {
      ++completed;
    } else if (outcome.state == "interrupted") {
      ++interrupted;
    }
    json::Object entry;
    entry.emplace("attempts", outcome.attempts);
    entry.emplace("nodeid", outcome.nodeid);
    entry.emplace("state", outcome.state);
    tests.emplace_back(std::move(entry));
  }
  json::Object summary;
  summary.emplace("collected", static_cast<uint64_t>(test_count));
  summary.emplace("completed", completed);
  summary.emplace("event", "summary");
  summary.emplace("exit_code", totals.exit_code);
  summary.emplace("failed", totals.failed);
  summary.emplace("interrupted", interrupted);
  summary.emplace("not_run", static_cast<uint64_t>(test_count) - completed - interrupted);
  summary.emplace("restarts", totals.restarts);
  summary.emplace("tests", std::move(tests));
  summary.emplace("wall_seconds", totals.wall_seconds);
  return json::Value(std::move(summary));
}

Status WriteSummary(const std::filesystem::path& run_dir, const json::Value& summary) {
  return WriteFile(run_dir / "summary.json", json::ToPretty(summary));
}

}  // namespace aurvane
