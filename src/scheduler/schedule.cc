#include "scheduler/schedule.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <optional>
#include <string>
#include <utility>

namespace aurvane {
namespace {

// Maps a double to an integer whose signed order is IEEE 754 totalOrder:
// -NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN. Positive values keep
// their bit pattern; negative ones have their magnitude bits inverted so a
// larger magnitude sorts lower.
int64_t TotalOrderKey(double d) {
  const auto bits = std::bit_cast<int64_t>(d);
  const auto flip = static_cast<int64_t>(static_cast<uint64_t>(bits >> 63) >> 1);
  return bits ^ flip;
}

}  // namespace

Schedule Schedule::Build(const ManifestTable& manifest, std::string_view mode,
                         const DurationHistory& history) {
  std::vector<double> durations(manifest.size());
  std::string nodeid;
  for (size_t i = 0; i < manifest.size(); ++i) {
    manifest.NodeIdInto(i, nodeid);
    durations[i] = history.Lookup(nodeid).value_or(std::numeric_limits<double>::quiet_NaN());
  }
  return Build(manifest, mode, durations);
}

Schedule Schedule::Build(const ManifestTable& manifest, std::string_view mode,
                         const std::vector<double>& durations) {
  assert(durations.size() == manifest.size() && "one duration slot per test");
  assert(manifest.size() < std::numeric_limits<uint32_t>::max() && "test indices fit 32 bits");
  const size_t tests = manifest.size();
  // Each cost is summed as its group is filled, which is the group's queue
  // order, from -0.0.
  std::vector<double> costs;
  std::vector<uint32_t> sizes;
  // Each test's group, numbered by first appearance; empty when every test
  // is a group of its own.
  std::vector<uint32_t> group_of;
  if (mode == "file") {
    group_of.resize(tests);
    // Groups by interned name; a test whose group is its own node id forms
    // one alone unless that name is also interned (another test's group).
    constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();
    std::vector<uint32_t> by_name(manifest.InternedCount(), kNone);
    std::string nodeid;
    for (size_t i = 0; i < tests; ++i) {
      std::optional<uint32_t> name = manifest.GroupKey(i);
      if (*name == ManifestTable::kOwnGroup) {
        manifest.NodeIdInto(i, nodeid);
        name = manifest.FindInterned(nodeid);
      }
      uint32_t group = name ? by_name[*name] : kNone;
      if (group == kNone) {
        group = static_cast<uint32_t>(costs.size());
        if (name) by_name[*name] = group;
        costs.push_back(-0.0);
        sizes.push_back(0);
      }
      group_of[i] = group;
      costs[group] += ExpectedDuration(durations[i]);
      ++sizes[group];
    }
  } else {
    // Node identifiers are unique in an accepted manifest, so keying by them
    // makes every test a group of its own; no map is needed to see that.
    costs.reserve(tests);
    for (size_t i = 0; i < tests; ++i) costs.push_back(-0.0 + ExpectedDuration(durations[i]));
  }

  // Descending cost, ties by first appearance: exactly the order a stable
  // sort gives, with a plain sort over (key, position).
  std::vector<std::pair<int64_t, uint32_t>> order;
  order.reserve(costs.size());
  for (size_t g = 0; g < costs.size(); ++g) order.emplace_back(TotalOrderKey(costs[g]), static_cast<uint32_t>(g));
  costs = std::vector<double>();
  std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first > b.first : a.second < b.second;
  });

  Schedule schedule;
  schedule.order_.resize(tests);
  schedule.starts_.reserve(order.size() + 1);
  if (group_of.empty()) {
    for (size_t k = 0; k < order.size(); ++k) {
      schedule.starts_.push_back(static_cast<uint32_t>(k));
      schedule.order_[k] = order[k].second;
    }
  } else {
    // Where each group's next test goes: the groups' places in the sorted
    // order, then the tests in manifest order into them.
    std::vector<uint32_t> place(sizes.size());
    uint32_t at = 0;
    for (const auto& entry : order) {
      schedule.starts_.push_back(at);
      place[entry.second] = at;
      at += sizes[entry.second];
    }
    for (size_t i = 0; i < tests; ++i) schedule.order_[place[group_of[i]]++] = static_cast<uint32_t>(i);
  }
  if (!order.empty()) schedule.starts_.push_back(static_cast<uint32_t>(tests));
  return schedule;
}

TestGroup Schedule::BuiltGroup(size_t k) const {
  TestGroup group;
  for (uint32_t at = starts_[k]; at < starts_[k + 1]; ++at) group.push_back(order_[at]);
  return group;
}

std::optional<TestGroup> Schedule::TakeNext() {
  if (!put_back_.empty()) {
    TestGroup group = std::move(put_back_.front());
    put_back_.pop_front();
    return group;
  }
  if (next_ == built_groups()) {
    // Everything built is handed out: the tables are released.
    order_ = std::vector<uint32_t>();
    starts_ = std::vector<uint32_t>();
    next_ = 0;
    return std::nullopt;
  }
  return BuiltGroup(next_++);
}

void Schedule::PutBack(TestGroup group) {
  assert(!group.empty() && "only a non-empty group is put back");
  put_back_.push_front(std::move(group));
}

std::vector<TestGroup> Schedule::groups() const {
  std::vector<TestGroup> out(put_back_.begin(), put_back_.end());
  for (size_t k = next_; k < built_groups(); ++k) out.push_back(BuiltGroup(k));
  return out;
}

std::optional<uint64_t> Reserve(TestGroup& current, Schedule& schedule,
                                std::vector<TestState>& states) {
  if (current.empty()) {
    std::optional<TestGroup> next = schedule.TakeNext();
    if (!next) return std::nullopt;
    current = std::move(*next);
  }
  if (current.empty()) return std::nullopt;
  const uint64_t index = current.pop_front();
  assert(index < states.size() && "reserved index outside the status table");
  states[static_cast<size_t>(index)] = TestState::kReserved;
  return index;
}

}  // namespace aurvane
