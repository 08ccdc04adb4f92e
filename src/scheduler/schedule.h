// The schedule: the queue of test groups from which workers take work.
//
// A group is the run of tests that one worker executes in order. The queue
// is ordered longest expected group first when built; recovery puts a failed
// worker's unfinished tests back at the front.
#ifndef AURVANE_SCHEDULER_SCHEDULE_H_
#define AURVANE_SCHEDULER_SCHEDULE_H_

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <vector>

#include "scheduler/history.h"
#include "protocol/item.h"
#include "scheduler/manifest_table.h"
#include "scheduler/test_state.h"

namespace aurvane {

// A first-in, first-out queue of test indices with constant-time push_back
// and pop_front. Unlike std::deque it costs nothing until the first push and
// one small allocation for a one-test group, which matters when every test
// of a million-test suite is a group of its own.
class TestGroup {
 public:
  TestGroup() = default;
  TestGroup(std::initializer_list<uint64_t> indices) : items_(indices) {}

  bool empty() const { return head_ == items_.size(); }
  size_t size() const { return items_.size() - head_; }
  uint64_t front() const {
    assert(!empty() && "front() of an empty TestGroup");
    return items_[head_];
  }
  void push_back(uint64_t index) { items_.push_back(index); }
  // Removes and returns the front index.
  uint64_t pop_front() {
    assert(!empty() && "pop_front() of an empty TestGroup");
    const uint64_t index = items_[head_++];
    if (head_ == items_.size()) {
      // Reuse the storage if the group is refilled (recovery appends to it).
      items_.clear();
      head_ = 0;
    }
    return index;
  }
  void clear() {
    items_.clear();
    head_ = 0;
  }

  std::vector<uint64_t>::const_iterator begin() const {
    return items_.begin() + static_cast<std::ptrdiff_t>(head_);
  }
  std::vector<uint64_t>::const_iterator end() const { return items_.end(); }
  // The waiting indices, front first.
  std::vector<uint64_t> ToVector() const { return {begin(), end()}; }

  friend bool operator==(const TestGroup& a, const TestGroup& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
  }

 private:
  std::vector<uint64_t> items_;
  size_t head_ = 0;  // items_[0, head_) were already taken
};

class Schedule {
 public:
  Schedule() = default;

  // Groups the manifest's tests by `group` when `mode` is exactly "file",
  // otherwise one test per group, keeping manifest order inside a group and
  // first appearance between groups; then stably sorts the groups by
  // descending expected cost (sum of the history's expected durations, from
  // -0.0, in queue order) under IEEE totalOrder, so a -0.0 group follows a
  // +0.0 one. Expects a manifest that passed the index and duplicate rules.
  static Schedule Build(const ManifestTable& manifest, std::string_view mode,
                        const DurationHistory& history);
  // The same, with each test's stored duration given by index (NaN where
  // there is none), as DurationHistory::TakeCollected returns them.
  static Schedule Build(const ManifestTable& manifest, std::string_view mode,
                        const std::vector<double>& durations);
  static Schedule Build(const Manifest& manifest, std::string_view mode,
                        const DurationHistory& history) {
    return Build(ManifestTable(manifest), mode, history);
  }

  // Removes and returns the front group, or nothing when none waits.
  std::optional<TestGroup> TakeNext();
  // Puts a non-empty group at the front, ahead of every waiting group
  // whatever its cost.
  void PutBack(TestGroup group);
  size_t groups_waiting() const { return put_back_.size() + (built_groups() - next_); }
  bool empty() const { return groups_waiting() == 0; }
  // The waiting groups, front first (a copy: for tests and diagnostics).
  std::vector<TestGroup> groups() const;

 private:
  size_t built_groups() const { return starts_.empty() ? 0 : starts_.size() - 1; }
  TestGroup BuiltGroup(size_t k) const;

  // The groups as built, in order, their tests one after another: group k
  // is order_[starts_[k], starts_[k + 1]). Four bytes a test and four a
  // group, where a group object per test cost some sixty in a suite run
  // test by test; a group becomes an object only when it is taken.
  std::vector<uint32_t> order_;
  std::vector<uint32_t> starts_;
  size_t next_ = 0;  // the first built group not taken yet
  std::deque<TestGroup> put_back_;  // ahead of the built ones, front first
};

// Reserves the next test for a worker whose current group is `current`: when
// that is empty the next group is taken from `schedule` and becomes current;
// then its front index is removed, marked kReserved in `states`, and
// returned. Nothing when both are empty.
std::optional<uint64_t> Reserve(TestGroup& current, Schedule& schedule,
                                std::vector<TestState>& states);

}  // namespace aurvane

#endif  // AURVANE_SCHEDULER_SCHEDULE_H_
