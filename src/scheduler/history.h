// The duration history: node identifier -> seconds, read at start-up, updated
// as tests finish, and written back for the next run's ordering.
#ifndef AURVANE_SCHEDULER_HISTORY_H_
#define AURVANE_SCHEDULER_HISTORY_H_

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

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
  // not collected, in hash-map order (which is no particular order).
  std::string Serialize() const;

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  // The stored value, usable or not.
  std::optional<double> Lookup(std::string_view nodeid) const;

  static bool IsUsable(double seconds);

 private:
  // Transparent hashing lets lookups take a string_view without a copy.
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::unordered_map<std::string, double, Hash, std::equal_to<>> entries_;
};

// Where the history is written before it is renamed over `history_path`: the
// final component's extension (after its last dot; a dot that begins the
// component does not count) replaced by `run_id` + ".tmp", or "." + run_id +
// ".tmp" appended when there is none. durations.json and durations both give
// durations.r17.tmp for run r17; .hidden gives .hidden.r17.tmp.
std::filesystem::path HistoryTempPath(const std::filesystem::path& history_path,
                                      std::string_view run_id);

}  // namespace aurvane

#endif  // AURVANE_SCHEDULER_HISTORY_H_
