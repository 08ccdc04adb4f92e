// Loading, recording and writing the duration history, and its temporary
// file name.
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
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

// `text` handed out `size` bytes at a time, as a file is read.
json::TextPieces PiecesOf(const std::string& text, size_t size) {
  return [&text, size, at = size_t{0}]() mutable -> Result<std::string_view> {
    std::string_view piece = std::string_view(text).substr(std::min(at, text.size()), size);
    at += piece.size();
    return piece;
  };
}

ManifestTable TableOf(const std::vector<std::string>& nodeids) {
  ManifestTable tests;
  for (const std::string& id : nodeids) tests.Append(Item{tests.size(), id, json::Value(), "g"});
  return tests;
}

// What WriteHistory hands its sink, whole; `previous_read` gets its result.
std::string Written(const std::string* previous, const ManifestTable* tests, const std::vector<double>& durations,
                    bool* previous_read = nullptr) {
  std::string out;
  const json::TextPieces pieces = previous ? PiecesOf(*previous, 7) : json::TextPieces();
  Result<bool> written = WriteHistory(previous ? &pieces : nullptr, tests, durations, [&](std::string_view piece) {
    out += piece;
    return Status::Ok();
  });
  EXPECT_TRUE(written.ok());
  if (previous_read != nullptr) *previous_read = written.ok() && written.value();
  return out;
}

// Read in pieces of any size, the history is what the whole text gives, and
// a malformed one fails with the same message, position included.
TEST(HistoryLoad, PiecesOfAnySizeReadAsTheWholeText) {
  const std::string texts[] = {
      "{\"a\":1,\n \"b\\u00e9\":-0.5e1,\n\"c\":2}",
      "{\"a\":1,\n\"b\":[1]}",
      "{\"a\":1,\n\"b\":1.}",
      "{\"a\":1}\n\n  x",
      "{\"a\":1\n",
      "\n{\"a\":\"\xff\"}",
      "{\"a\":1}  \n\t",
  };
  for (const std::string& text : texts) {
    std::vector<std::pair<std::string, double>> whole;
    Status expected = json::ReadNumberObject(std::string_view(text), [&](std::string_view k, double v) {
      whole.emplace_back(std::string(k), v);
    });
    // Syntax errors are placed as the tree parser places them.
    Result<json::Value> tree = json::Parse(text);
    if (!tree.ok() && !expected.ok() && expected.message().find("invalid type") == std::string::npos) {
      EXPECT_EQ(expected.message(), tree.message()) << text;
    }
    for (size_t size : {size_t{1}, size_t{2}, size_t{5}, text.size()}) {
      std::vector<std::pair<std::string, double>> pieces;
      Status read = json::ReadNumberObject(PiecesOf(text, size), [&](std::string_view k, double v) {
        pieces.emplace_back(std::string(k), v);
      });
      EXPECT_EQ(read.ok(), expected.ok()) << text;
      if (expected.ok()) {
        EXPECT_EQ(pieces, whole) << text;
      } else {
        EXPECT_EQ(read.message(), expected.message()) << text << " in pieces of " << size;
      }
    }
  }
  // A reading error ends the reading with that error.
  int calls = 0;
  Status failed = json::ReadNumberObject(
      [&calls]() -> Result<std::string_view> {
        if (calls++ == 0) return std::string_view("{\"a\":1,");
        return Error{"Input/output error"};
      },
      [](std::string_view, double) {});
  EXPECT_EQ(failed.message(), "Input/output error");
}

TEST(HistoryLoad, DuplicateNamesKeepTheLastValueAndCountOnce) {
  DurationHistory h = DurationHistory::Parse(R"({"a":1,"b":2,"a":-3,"a":4,"b":0})");
  EXPECT_EQ(h.size(), 2u);
  EXPECT_EQ(h.Lookup("a"), 4.0);
  EXPECT_EQ(h.Lookup("b"), 0.0);
  EXPECT_FALSE(h.Lookup("c").has_value());
  EXPECT_FALSE(h.Lookup("").has_value());
}

// Values go out as they came in, to the bit, and in compact form.
TEST(HistoryWrite, RoundTripsEveryValueExactly) {
  const std::vector<std::string> names = {"old", "kept", "a \"quoted\"\n name", "z", "neg zero", "ünïcode"};
  const ManifestTable tests = TableOf(names);
  const std::vector<double> durations = {-3.0, 7.0, 0.1 + 0.2, 1e-300, -0.0, 3.0};
  const std::string text = Written(nullptr, &tests, durations);
  DurationHistory back = DurationHistory::Parse(text);
  ASSERT_EQ(back.size(), names.size()) << text;
  for (size_t i = 0; i < names.size(); ++i) {
    ASSERT_TRUE(back.Lookup(names[i]).has_value()) << names[i];
    EXPECT_EQ(std::bit_cast<uint64_t>(*back.Lookup(names[i])), std::bit_cast<uint64_t>(durations[i])) << names[i];
  }
  EXPECT_EQ(Written(nullptr, nullptr, {}), "{}");
  const ManifestTable x = TableOf({"x", "y"});
  const double none = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(Written(nullptr, &x, {2.0, none}), R"({"x":2.0})") << "no value, no entry";
  const std::string spaced = R"({ "x" : 2, "w" : 1 })";
  EXPECT_EQ(Written(&spaced, &x, {none, none}), R"({"w":1.0})") << "compact, integers as doubles";
}

TEST(HistoryRecord, ManyEntriesSurviveGrowth) {
  DurationHistory h;
  for (int i = 0; i < 20000; ++i) h.Record("t::" + std::to_string(i), i * 0.5);
  for (int i = 0; i < 20000; i += 3) h.Record("t::" + std::to_string(i), 7.0);
  ASSERT_EQ(h.size(), 20000u);
  for (int i = 0; i < 20000; ++i) {
    const std::string name = "t::" + std::to_string(i);
    EXPECT_EQ(h.Expected(name), i % 3 == 0 ? 7.0 : i * 0.5) << name;
  }
  EXPECT_FALSE(h.Lookup("t::20000").has_value());
  EXPECT_FALSE(h.Lookup("t::").has_value());
}

// Collected tests' entries move to durations by index and are written back
// from them; every other entry of the file is copied through as it stands
// when the history is written, in its order, in pieces.
TEST(HistoryByIndex, CollectedEntriesMoveOutAndOthersAreCopiedThrough) {
  std::string text = R"({"gone":4,"a":2,"b":-3,"dup":1,"dup":5)";
  std::vector<std::string> names = {"a", "b", "c"};
  // Enough long names for several 1 MiB pieces.
  const std::string padding(200, 'x');
  for (int i = 0; i < 12000; ++i) {
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "t" + ...
    std::string name = "t";
    name += std::to_string(i);
    name += padding;
    names.push_back(name);
    if (i % 2 == 0) text.append(",\"").append(name).append("\":1.5");
  }
  text += R"(,"also gone":0.5})";
  const ManifestTable tests = TableOf(names);
  DurationHistory history = DurationHistory::Parse(text);
  ASSERT_EQ(history.size(), 6005u);
  EXPECT_TRUE(history.has_others());
  std::vector<double> durations = history.TakeCollected(tests);
  ASSERT_EQ(durations.size(), tests.size());
  EXPECT_EQ(durations[0], 2.0);
  EXPECT_EQ(durations[1], -3.0) << "a negative value is kept as it was";
  EXPECT_TRUE(std::isnan(durations[2]));
  EXPECT_EQ(durations[3], 1.5);
  EXPECT_TRUE(std::isnan(durations[4]));
  EXPECT_TRUE(history.empty()) << "nothing is kept by name";
  EXPECT_TRUE(history.has_others()) << "gone, dup and also gone were not collected";

  durations[2] = 0.25;
  durations[4] = -0.0;
  size_t pieces = 0;
  std::string written;
  const json::TextPieces previous = PiecesOf(text, 4096);
  ASSERT_TRUE(WriteHistory(&previous, &tests, durations, [&](std::string_view piece) {
                ++pieces;
                written += piece;
                return Status::Ok();
              }).value());
  EXPECT_GE(pieces, 2u);
  EXPECT_TRUE(written.starts_with(R"({"gone":4.0,"dup":1.0,"dup":5.0,"also gone":0.5,"a":2.0,"b":-3.0,"c":0.25,)"))
      << written.substr(0, 200);
  DurationHistory back = DurationHistory::Parse(written);
  EXPECT_EQ(back.size(), 6007u);
  EXPECT_EQ(back.Lookup("dup"), 5.0) << "a repeated name is copied as it was: the last value still counts";
  EXPECT_EQ(back.Lookup("t0" + padding), 1.5);
  ASSERT_TRUE(back.Lookup("t1" + padding).has_value());
  EXPECT_TRUE(std::signbit(*back.Lookup("t1" + padding)));
  EXPECT_FALSE(back.Lookup("t3" + padding).has_value());
  // A sink that fails stops the writing with its error.
  const json::TextPieces again = PiecesOf(text, 4096);
  EXPECT_EQ(WriteHistory(&again, &tests, durations, [](std::string_view) { return Status(Error{"disk full"}); })
                .message(),
            "disk full");
}

// The file is read again when written: entries another run wrote meanwhile
// survive, and one that is no longer a history is reported, to be left out.
TEST(HistoryByIndex, WritesAgainstTheFileAsItIsNow) {
  const ManifestTable tests = TableOf({"a", "b"});
  const double none = std::numeric_limits<double>::quiet_NaN();
  const std::string now = R"({"b":9,"new":3,"a":8})";
  bool read = false;
  EXPECT_EQ(Written(&now, &tests, {1.0, none}, &read), R"({"new":3.0,"a":1.0})")
      << "a collected test's entry comes from this run's durations alone";
  EXPECT_TRUE(read);
  for (const std::string& bad : {std::string(R"({"x":1,"y":"2"})"), std::string("{\"x\":1"), std::string("")}) {
    Written(&bad, &tests, {1.0, none}, &read);
    EXPECT_FALSE(read) << bad;
  }
}

// Only the entries of tests that were not collected send the writer back to
// the file.
TEST(HistoryByIndex, OthersOnlyWhenSomeEntryWasNotCollected) {
  const ManifestTable tests = TableOf({"a", "b"});
  DurationHistory all = DurationHistory::Parse(R"({"a":1,"b":2,"a":3})");
  all.TakeCollected(tests);
  EXPECT_FALSE(all.has_others()) << "a repeated name is one entry";
  DurationHistory some = DurationHistory::Parse(R"({"a":1,"z":2})");
  EXPECT_EQ(some.TakeCollected(tests)[0], 1.0);
  EXPECT_TRUE(some.has_others());
  EXPECT_FALSE(DurationHistory().has_others());
  EXPECT_TRUE(DurationHistory::Parse(R"({"a":1})").has_others()) << "before any manifest, every entry counts";
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
