#include "scheduler/schedule.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <unordered_map>
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

struct StringViewHash {
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

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
  std::vector<TestGroup> groups;
  // Each cost is summed as its group is filled, which is the group's queue
  // order, so every item costs one history lookup.
  std::vector<double> costs;
  if (mode == "file") {
    std::unordered_map<std::string_view, size_t, StringViewHash> by_key;
    for (size_t i = 0; i < manifest.size(); ++i) {
      auto [it, inserted] = by_key.try_emplace(manifest.Group(i), groups.size());
      if (inserted) {
        groups.emplace_back();
        costs.push_back(-0.0);
      }
      groups[it->second].push_back(i);
      costs[it->second] += ExpectedDuration(durations[i]);
    }
  } else {
    // Node identifiers are unique in an accepted manifest, so keying by them
    // makes every test a group of its own; no map is needed to see that.
    groups.reserve(manifest.size());
    costs.reserve(manifest.size());
    for (size_t i = 0; i < manifest.size(); ++i) {
      groups.push_back(TestGroup{i});
      costs.push_back(-0.0 + ExpectedDuration(durations[i]));
    }
  }

  // Descending cost, ties by first appearance: exactly the order a stable
  // sort gives, with a plain sort over (key, position).
  std::vector<std::pair<int64_t, size_t>> order;
  order.reserve(groups.size());
  for (size_t i = 0; i < groups.size(); ++i) order.emplace_back(TotalOrderKey(costs[i]), i);
  std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first > b.first : a.second < b.second;
  });

  Schedule schedule;
  for (const auto& entry : order) schedule.groups_.push_back(std::move(groups[entry.second]));
  return schedule;
}

std::optional<TestGroup> Schedule::TakeNext() {
  if (groups_.empty()) return std::nullopt;
  TestGroup group = std::move(groups_.front());
  groups_.pop_front();
  return group;
}

void Schedule::PutBack(TestGroup group) {
  assert(!group.empty() && "only a non-empty group is put back");
  groups_.push_front(std::move(group));
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
