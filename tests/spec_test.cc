#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>

#include "json/json.h"
#include "spec/spec.h"
#include "test_support.h"

namespace aurvane {
namespace {

// The fifteen keys with valid values, in declaration order.
const std::vector<std::pair<std::string, std::string>> kValid = {
    {"protocol", "1"},
    {"python", "\"/usr/bin/python3\""},
    {"cwd", "\"/work/project\""},
    {"workers", "4"},
    {"phase_timeout", "300"},
    {"startup_timeout", "120.5"},
    {"shutdown_timeout", "30"},
    {"max_restarts", "2"},
    {"retries", "1"},
    {"schedule", "\"file\""},
    {"history", "true"},
    {"history_path", "\"/work/runs/durations.json\""},
    {"run_dir", "\"/work/runs/run-7\""},
    {"run_id", "\"run-7\""},
    {"maxfail", "0"},
};

// A pretty-printed object form with `overrides` replacing values (an empty
// value drops the key) and `extra` lines appended.
std::string SpecText(const std::map<std::string, std::string>& overrides = {}, const std::string& extra = "") {
  std::string text = "{\n";
  bool first = true;
  for (const auto& [key, value] : kValid) {
    auto it = overrides.find(key);
    std::string v = it == overrides.end() ? value : it->second;
    if (v.empty()) continue;
    if (!first) text += ",\n";
    first = false;
    text += "  \"" + key + "\": " + v;
  }
  text += extra + "\n}";
  return text;
}

std::string Failure(const std::string& text) {
  Result<Spec> spec = ParseSpec(text);
  if (!spec.ok()) return spec.message();
  Status valid = ValidateSpec(spec.value());
  return valid.ok() ? "ok" : valid.message();
}

TEST(Spec, ObjectFormLoads) {
  Result<Spec> spec = ParseSpec(SpecText());
  ASSERT_TRUE(spec.ok()) << spec.message();
  const Spec& s = spec.value();
  EXPECT_EQ(s.protocol, 1u);
  EXPECT_EQ(s.python, "/usr/bin/python3");
  EXPECT_EQ(s.cwd, "/work/project");
  EXPECT_EQ(s.workers, 4u);
  EXPECT_EQ(s.phase_timeout, 300.0);
  EXPECT_EQ(s.startup_timeout, 120.5);
  EXPECT_EQ(s.retries, 1u);
  EXPECT_TRUE(s.history);
  EXPECT_EQ(s.run_dir, "/work/runs/run-7");
  EXPECT_TRUE(ValidateSpec(s).ok());
}

TEST(Spec, ArrayFormLoadsLikeTheObject) {
  std::string array = "[";
  for (size_t i = 0; i < kValid.size(); ++i) array += (i ? "," : "") + kValid[i].second;
  array += "]";
  Result<Spec> a = ParseSpec(array);
  Result<Spec> o = ParseSpec(SpecText());
  ASSERT_TRUE(a.ok()) << a.message();
  EXPECT_EQ(a.value().python, o.value().python);
  EXPECT_EQ(a.value().maxfail, o.value().maxfail);
  EXPECT_EQ(a.value().history_path, o.value().history_path);
  EXPECT_EQ(Failure("[1,\"p\"]"), "invalid length 2, expected struct Spec with 15 elements at line 1 column 7");
  EXPECT_EQ(Failure(array.substr(0, array.size() - 1) + ",0]").substr(0, 19), "trailing characters");
}

TEST(Spec, MissingAndDuplicateFields) {
  EXPECT_EQ(Failure(SpecText({{"maxfail", ""}})), "missing field `maxfail` at line 16 column 1");
  // The earliest absent key in declaration order is named.
  EXPECT_EQ(Failure(SpecText({{"run_id", ""}, {"python", ""}})), "missing field `python` at line 15 column 1");
  EXPECT_EQ(Failure(SpecText({}, ",\n  \"workers\": 4")), "duplicate field `workers` at line 17 column 11");
  // history false still needs history_path.
  EXPECT_EQ(Failure(SpecText({{"history", "false"}, {"history_path", ""}})),
            "missing field `history_path` at line 16 column 1");
}

TEST(Spec, TypesAndRanges) {
  EXPECT_EQ(Failure(SpecText({{"workers", "4.0"}})),
            "invalid type: floating point `4.0`, expected an unsigned integer at line 5 column 16");
  EXPECT_EQ(Failure(SpecText({{"workers", "-1"}})),
            "invalid value: integer `-1`, expected an unsigned integer at line 5 column 15");
  EXPECT_EQ(Failure(SpecText({{"retries", "4294967296"}})),
            "invalid value: integer `4294967296`, expected an unsigned 32-bit integer at line 10 column 23");
  EXPECT_EQ(Failure(SpecText({{"python", "null"}})), "invalid type: null, expected a string at line 3 column 16");
  EXPECT_EQ(Failure(SpecText({{"history", "1"}})), "invalid type: integer `1`, expected a boolean at line 12 column 14");
  EXPECT_EQ(Failure(SpecText({{"phase_timeout", "\"5\""}})),
            "invalid type: string \"5\", expected a number at line 6 column 22");
  EXPECT_EQ(Failure(SpecText({{"protocol", "4294967295"}})),
            "Invalid protocol version or worker count (supported: 1..256)");
  Result<Spec> integer_timeout = ParseSpec(SpecText({{"phase_timeout", "5"}}));
  ASSERT_TRUE(integer_timeout.ok());
  EXPECT_EQ(integer_timeout.value().phase_timeout, 5.0);
}

TEST(Spec, Validation) {
  const std::string kCount = "Invalid protocol version or worker count (supported: 1..256)";
  const std::string kDeadline = "Deadlines must be finite and positive";
  EXPECT_EQ(Failure(SpecText({{"workers", "256"}})), "ok");
  EXPECT_EQ(Failure(SpecText({{"workers", "257"}})), kCount);
  EXPECT_EQ(Failure(SpecText({{"workers", "0"}})), kCount);
  EXPECT_EQ(Failure(SpecText({{"protocol", "2"}})), kCount);
  // The protocol check runs first.
  EXPECT_EQ(Failure(SpecText({{"protocol", "2"}, {"phase_timeout", "0"}})), kCount);
  for (const char* bad : {"0", "-0.0", "-1", "0.0"}) {
    EXPECT_EQ(Failure(SpecText({{"startup_timeout", bad}})), kDeadline) << bad;
    EXPECT_EQ(Failure(SpecText({{"shutdown_timeout", bad}})), kDeadline) << bad;
  }
  EXPECT_EQ(Failure(SpecText({{"phase_timeout", "5e-324"}})), "ok");
  Spec spec = ParseSpec(SpecText()).value();
  spec.phase_timeout = INFINITY;
  EXPECT_EQ(ValidateSpec(spec).message(), kDeadline);
  spec.phase_timeout = NAN;
  EXPECT_EQ(ValidateSpec(spec).message(), kDeadline);
  // A path with a NUL byte, which the system would cut there, is refused.
  for (const char* key : {"python", "cwd", "history_path", "run_dir"}) {
    EXPECT_EQ(Failure(SpecText({{key, R"("/work/runs\u0000/x")"}})), std::string(key) + " contains a NUL byte");
  }
  // Nothing else is checked.
  EXPECT_EQ(Failure(SpecText({{"python", "\"\""}, {"schedule", "\"\""}, {"retries", "0"}, {"max_restarts", "0"}})),
            "ok");
}

TEST(Spec, UnknownKeysAreSkippedWhateverTheyHold) {
  std::string nested = std::string(125, '[') + "{\"a\":null}" + std::string(125, ']');
  EXPECT_EQ(Failure(SpecText({}, ",\n  \"extra\": " + nested + ",\n  \"Workers\": \"x\"")), "ok");
  std::string too_deep = std::string(127, '[') + std::string(127, ']');
  EXPECT_NE(Failure(SpecText({}, ",\n  \"extra\": " + too_deep)).find("recursion limit exceeded"), std::string::npos);
}

TEST(Spec, RejectsWhatIsNotOneObject) {
  EXPECT_EQ(Failure(SpecText() + "{}").substr(0, 19), "trailing characters");
  EXPECT_EQ(Failure("\xEF\xBB\xBF" + SpecText()).find("at line 1 column 1") != std::string::npos, true);
  EXPECT_EQ(Failure("null"), "invalid type: null, expected struct Spec at line 1 column 4");
  EXPECT_EQ(Failure(SpecText() + "\n\t \r\n"), "ok");
}

TEST(Spec, LoadReportsTheOsError) {
  testing::ScratchDir dir;
  Result<Spec> missing = LoadSpec(dir / "absent.json");
  ASSERT_FALSE(missing.ok());
#ifdef _WIN32
  // File not found, access denied; Wine's wording differs, so only codes.
  EXPECT_TRUE(missing.message().ends_with(" (os error 2)")) << missing.message();
  Result<Spec> directory = LoadSpec(dir.path());
  ASSERT_FALSE(directory.ok());
  EXPECT_TRUE(directory.message().ends_with(" (os error 5)")) << directory.message();
#else
  EXPECT_EQ(missing.message(),
            "Cannot read run specification " + (dir / "absent.json").string() + ": No such file or directory (os error 2)");
  Result<Spec> directory = LoadSpec(dir.path());
  ASSERT_FALSE(directory.ok());
  EXPECT_EQ(directory.message(), "Not a regular file: " + dir.path().string());
#endif
}

}  // namespace
}  // namespace aurvane
