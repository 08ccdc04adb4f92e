// The duration history: node identifier -> seconds, read at start-up, kept by
// test index while the run goes on, and written back for the next run's
// ordering.
#ifndef AURVANE_SCHEDULER_HISTORY_H_
#define AURVANE_SCHEDULER_HISTORY_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/reader.h"
#include "scheduler/manifest_table.h"
#include "util/result.h"

namespace aurvane {

// A node id's 128-bit fingerprint. The history knows tests by it instead of
// keeping their names: two different node ids share one with a probability
// of about 2^-128 per pair.
struct NodeFingerprint {
  uint64_t a = 0;
  uint64_t b = 0;
  friend bool operator==(const NodeFingerprint&, const NodeFingerprint&) = default;
};
NodeFingerprint FingerprintOf(std::string_view nodeid);

// Node fingerprints with a value each, in one array and an open-addressing
// index of 32-bit positions: 24 bytes an entry and at most 8 bytes of index.
class FingerprintTable {
 public:
  // The value of `key` (inserted with `fallback` when it is new).
  double& At(NodeFingerprint key, double fallback);
  // Position of `key` in entry order, or nothing.
  std::optional<size_t> Find(NodeFingerprint key) const;
  double value(size_t position) const { return entries_[position].value; }
  size_t size() const { return entries_.size(); }
  void ShrinkToFit() { entries_.shrink_to_fit(); }

 private:
  struct Entry {
    NodeFingerprint key;
    double value = 0.0;
  };
  size_t Probe(NodeFingerprint key) const;
  void Grow();

  std::vector<Entry> entries_;
  std::vector<uint32_t> slots_;  // position + 1; 0 marks an empty slot
};

class DurationHistory {
 public:
  DurationHistory() = default;

  // Reads `path` when `enabled`, in pieces, keeping a fingerprint and a
  // value per node id. Never fails: a missing or unreadable file or any
  // text that is not exactly one JSON object of numbers (byte-order mark,
  // trailing text, a non-number value, a number too large for a double)
  // gives an empty history, because a lost history only costs the next run
  // its ordering. What was found is kept for the save (kept_because()).
  // When !enabled the path is not looked at.
  static DurationHistory Load(bool enabled, const std::filesystem::path& path);
  // The same from text already in memory.
  static DurationHistory Parse(std::string_view text);

  // Keeps `seconds` for `nodeid` when it is usable (zero of either sign, or
  // positive and finite), replacing any earlier value; otherwise nothing
  // changes.
  void Record(std::string_view nodeid, double seconds);

  // The stored value when it is usable, else 1.0 (no entry, or a negative
  // value loaded from the file).
  double Expected(std::string_view nodeid) const;

  // Returns the stored values of the tests of `tests` by test index (NaN
  // where there is none) and empties the history, noting whether it held
  // entries of tests that were not collected (has_others()). A run then
  // holds each collected node id once, in its manifest, and records its
  // durations by index, however large the history and the suite.
  std::vector<double> TakeCollected(const ManifestTable& tests);

  // Whether entries of node ids other than the collected tests' were loaded
  // (any entry at all before TakeCollected): the file must then be read again
  // when the history is written back, for WriteHistory to copy them.
  bool has_others() const { return others_ || table_.size() > 0; }

  size_t size() const { return table_.size(); }
  bool empty() const { return table_.size() == 0; }

  // Empty when the end of the run may replace what Load found at the path:
  // nothing, an empty file, or a history. Otherwise why not, naming the
  // path: a symbolic link (never written through, nor replaced), something
  // other than a regular file, a file that could not be read, or text that
  // is not a history (a file named by mistake, which a save would destroy).
  const std::string& kept_because() const { return kept_because_; }
  // The stored value, usable or not.
  std::optional<double> Lookup(std::string_view nodeid) const;

  static bool IsUsable(double seconds);

 private:
  FingerprintTable table_;
  bool others_ = false;
  std::string kept_because_;
};

// Why the path's current entry must not be replaced by a history, or
// nothing: a symbolic link, or something that is not a regular file. Each
// text names the path.
std::optional<std::string> NotReplaceableText(const std::filesystem::path& path);

// The expected duration of a test whose stored value is `seconds` (NaN for
// none): the value when it is usable, else 1.0, as Expected gives it.
inline double ExpectedDuration(double seconds) { return DurationHistory::IsUsable(seconds) ? seconds : 1.0; }

// Writes the history for the next run as one compact JSON object, handed to
// `sink` in pieces of about 1 MiB (a large suite's history is never held
// whole): first every entry of `previous` whose node id is not a test of
// `tests`, in its order, its value as it was read; then one entry for every
// test of `tests` with a value in `by_index` (NaN for none). `previous` is
// the history file as it is now, read again in pieces, or null for none.
// Returns the sink's error, else whether `previous` was read as Load reads
// it: when it was not, what was handed to the sink must be discarded and the
// history written again without it. `tests` may be null when `by_index` is
// empty.
using HistorySink = std::function<Status(std::string_view piece)>;
Result<bool> WriteHistory(const json::TextPieces* previous, const ManifestTable* tests,
                          const std::vector<double>& by_index, const HistorySink& sink);

// Where the history is written before it is renamed over `history_path`: the
// final component's extension (after its last dot; a dot that begins the
// component does not count) replaced by `run_id` + ".tmp", or "." + run_id +
// ".tmp" appended when there is none. durations.json and durations both give
// durations.r17.tmp for run r17; .hidden gives .hidden.r17.tmp.
std::filesystem::path HistoryTempPath(const std::filesystem::path& history_path,
                                      std::string_view run_id);

}  // namespace aurvane

#endif  // AURVANE_SCHEDULER_HISTORY_H_
