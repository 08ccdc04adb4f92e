// The run summary: "summary.json" in the run directory and the last record of
// the event log.
#ifndef AURVANE_OUTPUT_SUMMARY_H_
#define AURVANE_OUTPUT_SUMMARY_H_

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

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

// The summary of `test_count` tests, `test(i)` giving test i in manifest
// order; an outcome is used before the next is asked for. The text is
// written straight from the run's tables, never held as a value tree: with
// hundreds of thousands of tests the tree and its texts were most of the
// controller's peak memory.
class RunSummary {
 public:
  using TestSource = std::function<TestOutcome(size_t)>;
  // Receives the text in order, in pieces of about kPieceBytes.
  using Sink = std::function<Status(std::string_view piece)>;
  static constexpr size_t kPieceBytes = size_t{1} << 20;

  RunSummary(size_t test_count, TestSource test, const RunTotals& totals);

  // The object's text, keys in byte order, to `sink`: pretty (two-space
  // indentation, no final line feed) or compact. `elapsed` adds the event
  // log's "elapsed" member. Stops at the first failure of the sink.
  Status WritePretty(const Sink& sink) const { return Write(true, std::nullopt, sink); }
  Status WriteCompact(std::optional<double> elapsed, const Sink& sink) const {
    return Write(false, elapsed, sink);
  }

 private:
  Status Write(bool pretty, std::optional<double> elapsed, const Sink& sink) const;

  size_t test_count_;
  TestSource test_;
  RunTotals totals_;
  uint64_t completed_ = 0;
  uint64_t interrupted_ = 0;
};

// Writes "summary.json" in `run_dir`, pretty-printed, replacing what was there.
Status WriteSummary(const std::filesystem::path& run_dir, const RunSummary& summary);

}  // namespace aurvane

#endif  // AURVANE_OUTPUT_SUMMARY_H_
