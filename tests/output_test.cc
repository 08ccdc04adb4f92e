#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "json/json.h"
#include "output/event_log.h"
#include "output/summary.h"
#include "test_support.h"

namespace aurvane {
namespace {

TEST(EventLog, OneSortedLinePerRecordWithControllerElapsed) {
  testing::ScratchDir dir;
  testing::WriteText(dir / "events.jsonl", "old records\n");
  Result<EventLog> log = EventLog::Create(dir.path());
  ASSERT_TRUE(log.ok()) << log.message();
  json::Object nested;
  nested["z"] = 1;
  nested["a"] = 2;
  json::Object record;
  record["worker"] = "av0";
  record["event"] = "worker_event";
  record["elapsed"] = "from the worker";
  record["payload"] = json::Value(nested);
  log.value().set_echo([](std::string_view) { return Status::Ok(); });
  ASSERT_TRUE(log.value().LogWorkerRecord(record).ok());
  ASSERT_TRUE(log.value().LogSummary(RunSummary(0, [](size_t) { return TestOutcome{}; }, RunTotals{})).ok());
  std::string text = testing::ReadText(dir / "events.jsonl");
  size_t first_end = text.find('\n');
  ASSERT_NE(first_end, std::string::npos);
  std::string first = text.substr(0, first_end);
  EXPECT_EQ(first.find("{\"elapsed\":"), 0u) << first;
  EXPECT_NE(first.find(",\"event\":\"worker_event\",\"payload\":{\"a\":2,\"z\":1},\"worker\":\"av0\"}"),
            std::string::npos)
      << first;
  Result<json::Value> parsed = json::Parse(first);
  ASSERT_TRUE(parsed.ok());
  EXPECT_TRUE(parsed.value().Find("elapsed")->is_double());
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find("old records"), std::string::npos);
}

TEST(EventLog, CreateNeedsTheDirectory) {
  testing::ScratchDir dir;
  Result<EventLog> log = EventLog::Create(dir / "absent");
  ASSERT_FALSE(log.ok());
#ifdef _WIN32
  // Path not found; Wine's wording differs from Windows', so only the code.
  EXPECT_TRUE(log.message().ends_with(" (os error 3)")) << log.message();
#else
  EXPECT_EQ(log.message(),
            "Cannot create " + (dir / "absent" / "events.jsonl").string() + ": No such file or directory (os error 2)");
#endif
}

TEST(Summary, GoldenFile) {
  testing::ScratchDir dir;
  testing::WriteText(dir / "summary.json", std::string(10000, 'x'));
  const TestOutcome tests[] = {{"tests/test_a.py::test_one", "completed", 1},
                               {"tests/test_a.py::test_two", "pending", 0},
                               {"tests/test_a.py::test_three", "interrupted", 2},
                               {"tests/test_a.py::test_four", "reserved", 0}};
  RunSummary summary(4, [&](size_t i) { return tests[i]; }, RunTotals{3, 1, 2, 4.0});
  ASSERT_TRUE(WriteSummary(dir.path(), summary).ok());
  EXPECT_EQ(testing::ReadText(dir / "summary.json"),
            "{\n"
            "  \"collected\": 4,\n"
            "  \"completed\": 1,\n"
            "  \"event\": \"summary\",\n"
            "  \"exit_code\": 3,\n"
            "  \"failed\": 1,\n"
            "  \"interrupted\": 1,\n"
            "  \"not_run\": 2,\n"
            "  \"restarts\": 2,\n"
            "  \"tests\": [\n"
            "    {\n"
            "      \"attempts\": 1,\n"
            "      \"nodeid\": \"tests/test_a.py::test_one\",\n"
            "      \"state\": \"completed\"\n"
            "    },\n"
            "    {\n"
            "      \"attempts\": 0,\n"
            "      \"nodeid\": \"tests/test_a.py::test_two\",\n"
            "      \"state\": \"pending\"\n"
            "    },\n"
            "    {\n"
            "      \"attempts\": 2,\n"
            "      \"nodeid\": \"tests/test_a.py::test_three\",\n"
            "      \"state\": \"interrupted\"\n"
            "    },\n"
            "    {\n"
            "      \"attempts\": 0,\n"
            "      \"nodeid\": \"tests/test_a.py::test_four\",\n"
            "      \"state\": \"reserved\"\n"
            "    }\n"
            "  ],\n"
            "  \"wall_seconds\": 4.0\n"
            "}");
}

TEST(Summary, NothingCollected) {
  RunSummary summary(0, [](size_t) { return TestOutcome{}; }, RunTotals{5, 0, 0, 0.5});
  std::string text;
  ASSERT_TRUE(summary.WriteCompact(std::nullopt, [&](std::string_view piece) {
    text += piece;
    return Status::Ok();
  }).ok());
  EXPECT_EQ(text,
            "{\"collected\":0,\"completed\":0,\"event\":\"summary\",\"exit_code\":5,\"failed\":0,\"interrupted\":0,"
            "\"not_run\":0,\"restarts\":0,\"tests\":[],\"wall_seconds\":0.5}");
  ASSERT_TRUE(summary.WritePretty([&](std::string_view piece) {
    text = piece;
    return Status::Ok();
  }).ok());
  EXPECT_TRUE(text.ends_with(",\n  \"tests\": [],\n  \"wall_seconds\": 0.5\n}")) << text;
}

// The summary as a value tree, the way it used to be built, for comparing the
// streamed texts with the JSON layer's writers.
json::Value SummaryTree(const std::vector<TestOutcome>& tests, const RunTotals& totals) {
  uint64_t completed = 0;
  uint64_t interrupted = 0;
  json::Array entries;
  for (const TestOutcome& outcome : tests) {
    completed += outcome.state == "completed";
    interrupted += outcome.state == "interrupted";
    entries.emplace_back(json::Object{
        {"attempts", outcome.attempts}, {"nodeid", outcome.nodeid}, {"state", outcome.state}});
  }
  const uint64_t collected = tests.size();
  return json::Object{{"collected", collected},
                      {"completed", completed},
                      {"event", "summary"},
                      {"exit_code", totals.exit_code},
                      {"failed", totals.failed},
                      {"interrupted", interrupted},
                      {"not_run", collected - completed - interrupted},
                      {"restarts", totals.restarts},
                      {"tests", std::move(entries)},
                      {"wall_seconds", totals.wall_seconds}};
}

// Escapes, non-ASCII bytes, a negative exit status, a wall time needing all
// its digits, and enough tests that the text reaches the sink in several
// pieces: both forms must be the tree writers' bytes, and the event log's
// line the compact form with "elapsed" in its key order.
TEST(Summary, StreamedTextsAreTheTreeWritersBytes) {
  std::vector<std::string> ids = {"t.py::test[\"q\\b/s\"]", "t.py::c[\x01\x1f\t\n]",
                                  "t.py::\xc3\xa9\xe2\x82\xac[\xf0\x9f\x98\x80]", ""};
  const char* states[] = {"completed", "interrupted", "pending", "reserved", "running"};
  while (ids.size() < 9000) ids.push_back("pkg/sub/test_mod.py::TestClass::test_case[" + std::to_string(ids.size()) +
                                          std::string(100, 'p') + "]");
  std::vector<TestOutcome> tests;
  for (size_t i = 0; i < ids.size(); ++i) tests.push_back({ids[i], states[i % 5], static_cast<uint32_t>(i % 4)});
  const RunTotals totals{-7, 12, 3, 0.1 + 0.2};
  RunSummary summary(tests.size(), [&](size_t i) { return tests[i]; }, totals);
  const json::Value tree = SummaryTree(tests, totals);

  testing::ScratchDir dir;
  ASSERT_TRUE(WriteSummary(dir.path(), summary).ok());
  EXPECT_TRUE(testing::ReadText(dir / "summary.json") == json::ToPretty(tree));

  size_t pieces = 0;
  std::string compact;
  ASSERT_TRUE(summary.WriteCompact(std::nullopt, [&](std::string_view piece) {
    ++pieces;
    compact += piece;
    return Status::Ok();
  }).ok());
  EXPECT_GT(pieces, 1u);
  EXPECT_TRUE(compact == json::ToCompact(tree));

  Result<EventLog> log = EventLog::Create(dir.path());
  ASSERT_TRUE(log.ok()) << log.message();
  std::string echoed;
  log.value().set_echo([&](std::string_view piece) {
    echoed += piece;
    return Status::Ok();
  });
  log.value().Hold();
  ASSERT_TRUE(log.value().LogDiagnostic("before").ok());
  ASSERT_TRUE(log.value().LogSummary(summary).ok());
  const std::string text = testing::ReadText(dir / "events.jsonl");
  EXPECT_TRUE(echoed == text);
  const size_t line = text.find('\n') + 1;
  ASSERT_NE(text.find("\"message\":\"before\"}\n"), std::string::npos);
  Result<json::Value> record = json::Parse(text.substr(line));
  ASSERT_TRUE(record.ok()) << record.message();
  EXPECT_EQ(text.back(), '\n');
  ASSERT_TRUE(record.value().Find("elapsed") && record.value().Find("elapsed")->is_double());
  json::Value expected = tree;
  expected.as_object()["elapsed"] = *record.value().Find("elapsed");
  EXPECT_TRUE(text.substr(line) == json::ToCompact(expected) + "\n");
}

// A failing sink ends the text at once with its error.
TEST(Summary, SinkFailureStopsTheText) {
  const std::string id(200, 'x');
  RunSummary summary(20000, [&](size_t) { return TestOutcome{id, "completed", 1}; }, RunTotals{});
  size_t calls = 0;
  Status written = summary.WritePretty([&](std::string_view) {
    ++calls;
    return Status(Error{"disk full"});
  });
  EXPECT_EQ(written.message(), "disk full");
  EXPECT_EQ(calls, 1u);
}

}  // namespace
}  // namespace aurvane

namespace aurvane {
namespace {

TEST(EventLog, WorkerEventRecordMatchesTheGenericForm) {
  testing::ScratchDir dir;
  Result<EventLog> log = EventLog::Create(dir.path());
  ASSERT_TRUE(log.ok());
  log.value().set_echo([](std::string_view) { return Status::Ok(); });
  Result<json::Value> payload = json::Parse(R"({"z":[1,2.5,"\u0001\"é"],"event":"report","worker":"av3"})");
  ASSERT_TRUE(payload.ok());
  ASSERT_TRUE(log.value().LogWorkerEvent(payload.value(), "av3").ok());
  json::Object generic;
  generic["event"] = "worker_event";
  generic["payload"] = payload.value();
  generic["worker"] = "av3";
  ASSERT_TRUE(log.value().LogWorkerRecord(generic).ok());
  // A payload whose "items" come as text apart from the object (a manifest
  // read straight into its table) is written as the whole one.
  Result<json::Value> whole = json::Parse(R"({"event":"collected_items","items":[[0,"é\"",null,""]],"worker":"av3"})");
  ASSERT_TRUE(whole.ok());
  ASSERT_TRUE(log.value().LogWorkerEvent(whole.value(), "av3").ok());
  json::Object without = whole.value().as_object();
  const std::string items = json::ToCompact(without.at("items"));
  without.erase("items");
  ASSERT_TRUE(log.value().LogWorkerEvent(json::Value(std::move(without)), "av3", items).ok());
  std::string text = testing::ReadText(dir / "events.jsonl");
  std::vector<std::string> lines;
  for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
    // Equal but for "elapsed", the first key of each.
    const std::string line = text.substr(at, nl - at);
    lines.push_back(line.substr(line.find(",\"event\"")));
  }
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], lines[1]);
  EXPECT_EQ(lines[2], lines[3]);
}

// Every record kind as the front end reads it, and which of them reach the
// progress stream: the lines in the file and the echoed ones, "elapsed" cut.
TEST(EventLog, EachRecordKindAndItsEcho) {
  testing::ScratchDir dir;
  Result<EventLog> created = EventLog::Create(dir.path());
  ASSERT_TRUE(created.ok());
  EventLog& log = created.value();
  std::string echoed;
  log.set_echo([&](std::string_view line) {
    echoed += line;
    return Status::Ok();
  });
  const json::Value location(json::Array{"t.py", 3u, "test_a"});
  const json::Value failed(true);
  const RecordTest test{7, "t.py::test_a", &location};
  ASSERT_TRUE(log.LogCollection(12, 2).ok());
  ASSERT_TRUE(log.LogWorkerSpawned(4242, "av1").ok());
  ASSERT_TRUE(log.LogStart({test, 2, std::nullopt, "av1"}).ok());
  ASSERT_TRUE(log.LogFinish({test, 0.5, &failed, "av1"}).ok());
  ASSERT_TRUE(log.LogFinish({test, 0.5, nullptr, "av1"}).ok());
  ASSERT_TRUE(log.LogInterrupted({test, 1.5, "call", "av1 call: gone", "av1"}).ok());
  ASSERT_TRUE(log.LogRetry(7, "t.py::test_a", 1).ok());
  ASSERT_TRUE(log.LogAttemptAborted(7, 2, "setup", "av0").ok());
  ASSERT_TRUE(log.LogDiagnostic("Run cancelled").ok());
  const std::vector<std::string> expected = {
      R"({"count":12,"event":"collection","workers":2})",
      R"({"event":"worker_spawned","pid":4242,"worker":"av1"})",
      R"({"attempt":2,"event":"start","index":7,"location":["t.py",3,"test_a"],"next":null,)"
      R"("nodeid":"t.py::test_a","worker":"av1"})",
      R"({"duration":0.5,"event":"finish","failed":true,"index":7,"location":["t.py",3,"test_a"],)"
      R"("nodeid":"t.py::test_a","worker":"av1"})",
      R"({"duration":0.5,"event":"finish","failed":null,"index":7,"location":["t.py",3,"test_a"],)"
      R"("nodeid":"t.py::test_a","worker":"av1"})",
      R"({"duration":1.5,"event":"interrupted","location":["t.py",3,"test_a"],"nodeid":"t.py::test_a",)"
      R"("phase":"call","reason":"av1 call: gone","worker":"av1"})",
      R"({"event":"retry","index":7,"message":"Retrying interrupted test t.py::test_a (attempt 1); )"
      R"(prior attempt is retained in the event log"})",
      R"({"event":"attempt_aborted","exit_code":2,"index":7,"phase":"setup","worker":"av0"})",
      R"({"event":"diagnostic","message":"Run cancelled"})",
  };
  auto without_elapsed = [](const std::string& text) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
      size_t end = text.find('\n', at);
      std::string line = text.substr(at, end - at);
      size_t key = line.find("\"elapsed\":");
      EXPECT_NE(key, std::string::npos) << line;
      if (key != std::string::npos) line.erase(key, line.find(',', key) + 1 - key);
      lines.push_back(line);
      at = end + 1;
    }
    return lines;
  };
  EXPECT_EQ(without_elapsed(testing::ReadText(dir / "events.jsonl")), expected);
  std::vector<std::string> echoed_expected = expected;
  std::erase_if(echoed_expected, [](const std::string& line) {
    return line.find("worker_spawned") != std::string::npos || line.find("attempt_aborted") != std::string::npos;
  });
  EXPECT_EQ(without_elapsed(echoed), echoed_expected);
}


TEST(EventLog, HeldRecordsGoOutTogetherInOrder) {
  testing::ScratchDir dir;
  Result<EventLog> created = EventLog::Create(dir.path());
  ASSERT_TRUE(created.ok());
  EventLog& log = created.value();
  std::vector<std::string> echo_writes;
  log.set_echo([&](std::string_view text) {
    echo_writes.emplace_back(text);
    return Status::Ok();
  });
  auto file_lines = [&] {
    std::string text = testing::ReadText(dir / "events.jsonl");
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  };

  log.Hold();
  ASSERT_TRUE(log.LogWorkerSpawned(1, "av0").ok());
  ASSERT_TRUE(log.LogDiagnostic("first").ok());
  ASSERT_TRUE(log.LogWorkerEvent(json::Value(json::Object{{"event", json::Value("phase")}}), "av0").ok());
  ASSERT_TRUE(log.LogDiagnostic("second").ok());
  EXPECT_EQ(file_lines(), 0u);
  EXPECT_TRUE(echo_writes.empty());

  ASSERT_TRUE(log.Release().ok());
  const std::string text = testing::ReadText(dir / "events.jsonl");
  EXPECT_EQ(file_lines(), 4u);
  EXPECT_LT(text.find("worker_spawned"), text.find("first"));
  EXPECT_LT(text.find("first"), text.find("worker_event"));
  EXPECT_LT(text.find("worker_event"), text.find("second"));
  // One write of the echoed lines only, whole and in order.
  ASSERT_EQ(echo_writes.size(), 1u);
  EXPECT_EQ(std::count(echo_writes[0].begin(), echo_writes[0].end(), '\n'), 2);
  EXPECT_LT(echo_writes[0].find("first"), echo_writes[0].find("second"));
  EXPECT_EQ(echo_writes[0].find("worker_"), std::string::npos);

  // Released, every record is written as it comes; a batch past its limit
  // goes out without waiting for the release.
  ASSERT_TRUE(log.Release().ok());
  ASSERT_TRUE(log.LogDiagnostic("third").ok());
  EXPECT_EQ(file_lines(), 5u);
  log.Hold();
  ASSERT_TRUE(log.LogDiagnostic(std::string(size_t{1} << 20, 'x')).ok());
  EXPECT_EQ(file_lines(), 6u);
  EXPECT_EQ(echo_writes.size(), 3u);
}

}  // namespace
}  // namespace aurvane
