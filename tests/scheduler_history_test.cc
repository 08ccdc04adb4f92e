// Loading, recording and writing the duration history, and its temporary
// file name.
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "json/json.h"
#include "scheduler/history.h"
#include "scheduler/manifest_table.h"
#include "test_support.h"

namespace aurvane {
namespace {

TEST(HistoryLoad, ReadsNumbersOfEveryForm) {
  testing::ScratchDir dir;
  testing::WriteText(dir / "d.json", " \r\n\t{\"a\":2,\"b\":0.5,\"c\":1e1,\"d\":-3,\"a\":4}\n ");
  DurationHistory h = DurationHistory::Load(true, dir / "d.json");
  EXPECT_EQ(h.size(), 4u);
  EXPECT_EQ(h.Lookup("a"), 4.0) << "a repeated name keeps its last value";
  EXPECT_EQ(h.Lookup("b"), 0.5);
  EXPECT_EQ(h.Lookup("c"), 10.0);
  // A negative loaded value is kept (and written back) but not used.
  EXPECT_EQ(h.Lookup("d"), -3.0);
  EXPECT_EQ(h.Expected("d"), 1.0);
  EXPECT_EQ(h.Expected("missing"), 1.0);
}

TEST(HistoryLoad, AnythingMalformedGivesAnEmptyHistory) {
  testing::ScratchDir dir;
  const char* bad[] = {
      "[1,2]",
      R"({"a":1,"b":null})",
      R"({"a":1,"b":"2"})",
      R"({"a":1} x)",
      R"({"a":1}{})",
      "\xEF\xBB\xBF{\"a\":1}",
      R"({"a":1e400})",
      R"({"a":1,})",
      "",
      "3",
  };
  for (const char* text : bad) {
    testing::WriteText(dir / "h.json", text);
    EXPECT_TRUE(DurationHistory::Load(true, dir / "h.json").empty()) << text;
  }
  EXPECT_TRUE(DurationHistory::Load(true, dir / "missing.json").empty());
  EXPECT_TRUE(DurationHistory::Load(true, dir.path()).empty()) << "a directory";
  // Disabled: the file is not even looked at.
  testing::WriteText(dir / "good.json", R"({"a":1})");
  EXPECT_TRUE(DurationHistory::Load(false, dir / "good.json").empty());
  EXPECT_EQ(DurationHistory::Load(true, dir / "good.json").size(), 1u);
}

// The history is read without a value tree; what it accepts must be exactly
// what the tree parser accepts as an object of numbers, with the same values.
TEST(HistoryLoad, AcceptsExactlyWhatTheTreeParserAccepts) {
  const char* texts[] = {
      R"({"a":1,"b":-0,"c":-2.5e-3,"d":18446744073709551615,"e":18446744073709551616,"f":1e-400})",
      R"({"a\u00e9\"\n":1,"a":2,"\ud83d\ude00":3})",
      R"({})",
      R"({"a":[1]})",
      R"({"a":{}})",
      R"({"a":1,"b":{"c":1}})",
      R"({"a":true})",
      R"([])",
      R"("x")",
      R"({"\udc00":1})",
      R"({"a":1}])",
      R"({"a":01})",
      R"({"a":1)",
      "{\"\xff\":1}",
  };
  for (const char* text : texts) {
    Result<json::Value> tree = json::Parse(text);
    bool numbers = tree.ok() && tree.value().is_object();
    if (numbers) {
      for (const auto& [name, value] : tree.value().as_object()) numbers = numbers && value.is_number();
    }
    DurationHistory h = DurationHistory::Parse(text);
    if (!numbers) {
      EXPECT_TRUE(h.empty()) << text;
      continue;
    }
    EXPECT_EQ(h.size(), tree.value().as_object().size()) << text;
    for (const auto& [name, value] : tree.value().as_object()) {
      ASSERT_TRUE(h.Lookup(name).has_value()) << name;
      EXPECT_EQ(std::bit_cast<uint64_t>(*h.Lookup(name)), std::bit_cast<uint64_t>(value.number())) << name;
    }
  }
}

TEST(HistoryRecord, KeepsOnlyUsableDurations) {
  DurationHistory h = DurationHistory::Parse(R"({"t":5})");
  h.Record("t", 2.0);
  EXPECT_EQ(h.Lookup("t"), 2.0) << "recorded value replaces the loaded one";
  h.Record("t", -1.0);
  h.Record("t", std::numeric_limits<double>::quiet_NaN());
  h.Record("t", std::numeric_limits<double>::infinity());
  EXPECT_EQ(h.Lookup("t"), 2.0);
  h.Record("t", 0.0);
  EXPECT_EQ(h.Expected("t"), 0.0);
  h.Record("u", -0.0);
  ASSERT_TRUE(h.Lookup("u").has_value());
  EXPECT_TRUE(std::signbit(*h.Lookup("u")));
  EXPECT_TRUE(std::signbit(h.Expected("u")));
  h.Record("v", -2.0);
  EXPECT_FALSE(h.Lookup("v").has_value());
  h.Record("big", std::numeric_limits<double>::max());
  EXPECT_EQ(h.Expected("big"), std::numeric_limits<double>::max());
}

TEST(HistorySerialize, RoundTripsEveryEntryExactly) {
  DurationHistory h = DurationHistory::Parse(R"({"old":-3,"kept":7})");
  h.Record("a \"quoted\"\n name", 0.1 + 0.2);
  h.Record("z", 1e-300);
  h.Record("neg zero", -0.0);
  h.Record("kept", 7.0);
  h.Record("ünïcode", 3.0);
  const std::string text = h.Serialize();
  DurationHistory back = DurationHistory::Parse(text);
  ASSERT_EQ(back.size(), h.size()) << text;
  for (const char* name : {"old", "kept", "a \"quoted\"\n name", "z", "neg zero", "ünïcode"}) {
    ASSERT_TRUE(back.Lookup(name).has_value()) << name;
    EXPECT_EQ(std::bit_cast<uint64_t>(*back.Lookup(name)), std::bit_cast<uint64_t>(*h.Lookup(name)))
        << name << " in " << text;
  }
  EXPECT_EQ(DurationHistory().Serialize(), "{}");
  // Compact: no whitespace, integers loaded from the file written as doubles.
  EXPECT_EQ(DurationHistory::Parse(R"({ "x" : 2 })").Serialize(), R"({"x":2.0})");
}

TEST(HistoryRecord, ManyEntriesSurviveGrowthAndRoundTrip) {
  DurationHistory h;
  for (int i = 0; i < 20000; ++i) h.Record("t::" + std::to_string(i), i * 0.5);
  for (int i = 0; i < 20000; i += 3) h.Record("t::" + std::to_string(i), 7.0);
  ASSERT_EQ(h.size(), 20000u);
  DurationHistory back = DurationHistory::Parse(h.Serialize());
  ASSERT_EQ(back.size(), 20000u);
  for (int i = 0; i < 20000; ++i) {
    const std::string name = "t::" + std::to_string(i);
    EXPECT_EQ(back.Expected(name), i % 3 == 0 ? 7.0 : i * 0.5) << name;
  }
  EXPECT_FALSE(back.Lookup("t::20000").has_value());
  EXPECT_FALSE(back.Lookup("t::").has_value());
}

// Collected tests' entries move to durations by index and are written back
// from them after the entries of tests not collected, in pieces.
TEST(HistoryByIndex, CollectedEntriesMoveOutAndAreWrittenBack) {
  std::string text = R"({"gone":4,"a":2,"b":-3)";
  ManifestTable tests;
  for (const char* id : {"a", "b", "c"}) tests.Append(Item{0, id, json::Value(), "g"});
  // Enough long names for several 1 MiB pieces.
  const std::string padding(200, 'x');
  for (int i = 0; i < 12000; ++i) {
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "t" + ...
    std::string name = "t";
    name += std::to_string(i);
    name += padding;
    tests.Append(Item{0, name, json::Value(), "g"});
    if (i % 2 == 0) text.append(",\"").append(name).append("\":1.5");
  }
  text += "}";
  DurationHistory history = DurationHistory::Parse(text);
  ASSERT_EQ(history.size(), 6003u);
  std::vector<double> durations = history.TakeCollected(tests);
  ASSERT_EQ(durations.size(), tests.size());
  EXPECT_EQ(durations[0], 2.0);
  EXPECT_EQ(durations[1], -3.0) << "a negative value is kept as it was";
  EXPECT_TRUE(std::isnan(durations[2]));
  EXPECT_EQ(durations[3], 1.5);
  EXPECT_TRUE(std::isnan(durations[4]));
  EXPECT_EQ(history.size(), 1u);
  EXPECT_EQ(history.Lookup("gone"), 4.0);
  EXPECT_FALSE(history.Lookup("a").has_value());

  durations[2] = 0.25;
  durations[4] = -0.0;
  std::string written;
  size_t pieces = 0;
  ASSERT_TRUE(WriteHistory(history, &tests, durations, [&](std::string_view piece) {
                ++pieces;
                written += piece;
                return Status::Ok();
              }).ok());
  EXPECT_GE(pieces, 2u);
  DurationHistory back = DurationHistory::Parse(written);
  EXPECT_EQ(back.size(), 6005u);
  EXPECT_EQ(back.Lookup("gone"), 4.0);
  EXPECT_EQ(back.Lookup("a"), 2.0);
  EXPECT_EQ(back.Lookup("b"), -3.0);
  EXPECT_EQ(back.Lookup("c"), 0.25);
  EXPECT_EQ(back.Lookup("t0" + padding), 1.5);
  ASSERT_TRUE(back.Lookup("t1" + padding).has_value());
  EXPECT_TRUE(std::signbit(*back.Lookup("t1" + padding)));
  EXPECT_FALSE(back.Lookup("t3" + padding).has_value());
  // A sink that fails stops the writing with its error.
  EXPECT_EQ(WriteHistory(history, &tests, durations, [](std::string_view) { return Status(Error{"disk full"}); })
                .message(),
            "disk full");
}

TEST(HistoryTempPath, ReplacesTheExtensionOfTheLastComponent) {
  using std::filesystem::path;
  EXPECT_EQ(HistoryTempPath("durations.json", "r17"), path("durations.r17.tmp"));
  EXPECT_EQ(HistoryTempPath("durations", "r17"), path("durations.r17.tmp"));
  EXPECT_EQ(HistoryTempPath("cache/.hidden", "r17"), path("cache/.hidden.r17.tmp"));
  EXPECT_EQ(HistoryTempPath("/a.b/c.d.json", "r1"), path("/a.b/c.d.r1.tmp"));
  EXPECT_EQ(HistoryTempPath("/a.b/durations", "r1"), path("/a.b/durations.r1.tmp"));
  EXPECT_EQ(HistoryTempPath(".hidden.json", "x"), path(".hidden.x.tmp"));
  EXPECT_EQ(HistoryTempPath("trailing.", "x"), path("trailing.x.tmp"));
}

}  // namespace
}  // namespace aurvane
