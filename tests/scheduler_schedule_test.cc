// Schedule order, putting groups back and reserving tests.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "json/json.h"
#include "scheduler/history.h"
#include "scheduler/schedule.h"

namespace aurvane {
namespace {

// Items 0..n-1 named t0, t1, ... with the given groups.
Manifest MakeManifest(const std::vector<std::string>& groups) {
  Manifest manifest;
  for (size_t i = 0; i < groups.size(); ++i) {
    manifest.push_back(Item{i, "t" + std::to_string(i), json::Value(), groups[i]});
  }
  return manifest;
}

std::vector<std::vector<uint64_t>> Groups(const Schedule& schedule) {
  std::vector<std::vector<uint64_t>> out;
  for (const TestGroup& group : schedule.groups()) out.push_back(group.ToVector());
  return out;
}

using G = std::vector<std::vector<uint64_t>>;

TEST(ScheduleBuild, FileModeGroupsByGroupLargestFirst) {
  const Manifest m = MakeManifest({"a", "b", "a", "c", "b"});
  EXPECT_EQ(Groups(Schedule::Build(m, "file", DurationHistory())), (G{{0, 2}, {1, 4}, {3}}));
  // Only the exact four bytes select grouping by file.
  for (const char* mode : {"File", "load", "", "file "}) {
    EXPECT_EQ(Groups(Schedule::Build(m, mode, DurationHistory())), (G{{0}, {1}, {2}, {3}, {4}}))
        << "mode '" << mode << "'";
  }
}

TEST(ScheduleBuild, HistoryOrdersTestsAndUnknownOnesCostOne) {
  const Manifest m = MakeManifest({"", "", "", "", ""});
  DurationHistory history;
  history.Record("t3", 30.0);
  history.Record("t1", 0.5);
  history.Record("unrelated", 99.0);
  EXPECT_EQ(Groups(Schedule::Build(m, "load", history)), (G{{3}, {0}, {2}, {4}, {1}}));
}

TEST(ScheduleBuild, ZeroCostsNothingAndNegativeCountsAsOne) {
  const Manifest m = MakeManifest({"x", "z", "y", "y", "w"});
  DurationHistory history = DurationHistory::Parse(R"({"t0":0,"t1":-5,"t2":0.0,"t3":0})");
  // Group x (t0) costs 0 and y (t2, t3) costs 0; z (t1, negative) and w
  // (no entry) cost 1 each and come first in order of appearance.
  EXPECT_EQ(Groups(Schedule::Build(m, "file", history)), (G{{1}, {4}, {0}, {2, 3}}));
}

TEST(ScheduleBuild, NegativeZeroGroupFollowsPositiveZeroGroup) {
  const Manifest m = MakeManifest({"neg", "pos", "neg", "mixed", "mixed"});
  // The JSON reader takes a literal -0 as the double -0.0.
  DurationHistory history = DurationHistory::Parse(R"({"t0":-0,"t1":0,"t2":-0.0,"t3":-0.0,"t4":0.0})");
  // neg sums -0.0 + -0.0 + -0.0 = -0.0; pos and mixed sum to +0.0 and keep
  // their order of appearance.
  EXPECT_EQ(Groups(Schedule::Build(m, "file", history)), (G{{1}, {3, 4}, {0, 2}}));

  DurationHistory recorded;
  recorded.Record("t0", -0.0);
  recorded.Record("t1", 0.0);
  EXPECT_EQ(Groups(Schedule::Build(MakeManifest({"", ""}), "", recorded)), (G{{1}, {0}}));
}

TEST(ScheduleBuild, AGroupNamedByANodeIdIsOneGroupWhereverTheNameComesFrom) {
  // Test t1's group is its own node id, which t3 names as its group too;
  // t0's own group is named by no one else.
  const Manifest m = MakeManifest({"t0", "t1", "x", "t1", "x"});
  EXPECT_EQ(Groups(Schedule::Build(m, "file", DurationHistory())), (G{{1, 3}, {2, 4}, {0}}));
}

TEST(ScheduleBuild, ScatteredGroupKeepsManifestOrderAndSumsCosts) {
  const Manifest m = MakeManifest({"a", "b", "a", "b", "a"});
  DurationHistory history;
  history.Record("t1", 2.5);
  history.Record("t3", 0.25);
  // a = 3 x 1.0, b = 2.5 + 0.25: a first despite b holding the longest test.
  EXPECT_EQ(Groups(Schedule::Build(m, "file", history)), (G{{0, 2, 4}, {1, 3}}));
  history.Record("t3", 0.5);
  EXPECT_EQ(Groups(Schedule::Build(m, "file", history)), (G{{0, 2, 4}, {1, 3}}))
      << "equal costs keep first appearance";
  history.Record("t3", 0.75);
  EXPECT_EQ(Groups(Schedule::Build(m, "file", history)), (G{{1, 3}, {0, 2, 4}}));
}

TEST(ScheduleBuild, EmptyManifestGivesEmptySchedule) {
  Schedule schedule = Schedule::Build(Manifest(), "file", DurationHistory());
  EXPECT_EQ(schedule.groups_waiting(), 0u);
  EXPECT_FALSE(schedule.TakeNext().has_value());
  std::vector<TestState> states;
  TestGroup current;
  EXPECT_FALSE(Reserve(current, schedule, states).has_value());
}

TEST(Reserve, WorkerKeepsItsGroupUntilUsedUp) {
  const Manifest m = MakeManifest({"a", "a", "a", "b"});
  Schedule schedule = Schedule::Build(m, "file", DurationHistory());
  std::vector<TestState> states(4, TestState::kPending);
  TestGroup av0;
  TestGroup av1;
  EXPECT_EQ(Reserve(av0, schedule, states), 0u);
  EXPECT_EQ(Reserve(av0, schedule, states), 1u);
  EXPECT_EQ(Reserve(av1, schedule, states), 3u);
  EXPECT_EQ(schedule.groups_waiting(), 0u);
  EXPECT_FALSE(Reserve(av1, schedule, states).has_value());
  EXPECT_EQ(Reserve(av0, schedule, states), 2u);
  EXPECT_FALSE(Reserve(av0, schedule, states).has_value());
  EXPECT_EQ(states, std::vector<TestState>(4, TestState::kReserved));
}

TEST(Reserve, GroupPutBackGoesAheadOfEverythingWaiting) {
  DurationHistory history;
  history.Record("t3", 1.5);
  Schedule schedule = Schedule::Build(MakeManifest({"a", "a", "a", "b", "b"}), "file", history);
  ASSERT_EQ(Groups(schedule), (G{{0, 1, 2}, {3, 4}}));
  std::vector<TestState> states(5, TestState::kPending);
  TestGroup av0;
  ASSERT_EQ(Reserve(av0, schedule, states), 0u);
  ASSERT_EQ(Reserve(av0, schedule, states), 1u);
  ASSERT_EQ(Reserve(av0, schedule, states), 2u);
  // av0 fails running 1 with 2 announced: what it owed (cost 2) goes back
  // ahead of the waiting group that costs 2.5.
  schedule.PutBack(TestGroup{1, 2});
  EXPECT_EQ(Groups(schedule), (G{{1, 2}, {3, 4}}));
  TestGroup av1;
  EXPECT_EQ(Reserve(av1, schedule, states), 1u);
  EXPECT_EQ(Reserve(av1, schedule, states), 2u);
  EXPECT_EQ(Reserve(av1, schedule, states), 3u);
  EXPECT_EQ(schedule.groups_waiting(), 0u);
}

TEST(TestGroup, IsFifoAndReusableAfterDraining) {
  TestGroup group{5, 6};
  EXPECT_EQ(group.pop_front(), 5u);
  group.push_back(7);
  EXPECT_EQ(group.ToVector(), (std::vector<uint64_t>{6, 7}));
  EXPECT_EQ(group.pop_front(), 6u);
  EXPECT_EQ(group.pop_front(), 7u);
  EXPECT_TRUE(group.empty());
  group.push_back(8);
  EXPECT_EQ(group.size(), 1u);
  EXPECT_EQ(group.front(), 8u);
  EXPECT_EQ(group, (TestGroup{8}));
}

}  // namespace
}  // namespace aurvane
