// The duration history: node identifier -> seconds, read at start-up, updated
// as tests finish, and written back for the next run's ordering.
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

#include "scheduler/manifest_table.h"
#include "util/result.h"

namespace aurvane {

class DurationHistory {
 public:
  DurationHistory() = default;

  // Reads `path` when `enabled`. Never fails: a missing or unreadable file or
  // any text that is not exactly one JSON object of numbers (byte-order mark,
  // trailing text, a non-number value, a number too large for a double) gives
  // an empty history without a word, because a lost history only costs the
  // next run its ordering. When !enabled the path is not looked at.
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

  // Compact JSON object of every entry, including those of tests that were
  // not collected, in hash-table order (which is no particular order).
  std::string Serialize() const;

  // Moves the entries of the tests of `tests` out: returns their stored
  // values by test index (NaN where there is none) and keeps only the
  // entries of tests that were not collected. A run then holds each
  // collected node id once, in its manifest, and records its durations by
  // index, however large the history and the suite.
  std::vector<double> TakeCollected(const ManifestTable& tests);

  // Calls `each(nodeid, seconds)` for every entry, in table order.
  void ForEach(const std::function<void(std::string_view nodeid, double seconds)>& each) const;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // The stored value, usable or not.
  std::optional<double> Lookup(std::string_view nodeid) const;

  static bool IsUsable(double seconds);

 private:
  // Open addressing with linear probing over slots that carry the hash and
  // the value, names packed one after another in one buffer: a lookup in a
  // million-entry history touches a slot and the name's bytes, where a
  // node-based map chases three or four pointers. Entries are never removed.
  struct Slot {
    uint64_t hash = 0;
    uint64_t name_offset = 0;
    uint32_t name_size = 0;
    bool used = false;
    bool taken = false;  // by TakeCollected, while it runs
    double seconds = 0.0;
  };
  std::string_view NameAt(const Slot& slot) const {
    return std::string_view(names_).substr(slot.name_offset, slot.name_size);
  }
  // The slot of `nodeid`, or the empty slot where it would go.
  size_t Probe(std::string_view nodeid, uint64_t hash) const;
  void Grow();
  void Set(std::string_view nodeid, double seconds);

  std::vector<Slot> slots_;
  std::string names_;
  size_t size_ = 0;
};

// The expected duration of a test whose stored value is `seconds` (NaN for
// none): the value when it is usable, else 1.0, as Expected gives it.
inline double ExpectedDuration(double seconds) { return DurationHistory::IsUsable(seconds) ? seconds : 1.0; }

// The text Serialize gives for `history` with one entry added for every
// test of `tests` that has a value in `by_index` (NaN for none), handed to
// `sink` in pieces of about 1 MiB: a large suite's history is never held
// whole. `tests` may be null when `by_index` is empty.
using HistorySink = std::function<Status(std::string_view piece)>;
Status WriteHistory(const DurationHistory& history, const ManifestTable* tests, const std::vector<double>& by_index,
                    const HistorySink& sink);

// Where the history is written before it is renamed over `history_path`: the
// final component's extension (after its last dot; a dot that begins the
// component does not count) replaced by `run_id` + ".tmp", or "." + run_id +
// ".tmp" appended when there is none. durations.json and durations both give
// durations.r17.tmp for run r17; .hidden gives .hidden.r17.tmp.
std::filesystem::path HistoryTempPath(const std::filesystem::path& history_path,
                                      std::string_view run_id);

}  // namespace aurvane

#endif  // AURVANE_SCHEDULER_HISTORY_H_
