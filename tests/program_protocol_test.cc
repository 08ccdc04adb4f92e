// The worker protocol seen from outside: every message that ends the run
// ends it with its own text, and the lenient cases are really accepted.
#include <gtest/gtest.h>

#include "program_support.h"

namespace aurvane::testing {
namespace {

struct Case {
  const char* name;
  const char* scenario;  // JSON text of the fake worker's default scenario
  std::string message;   // the run's error text
};

// Each case runs one worker on its scenario and must end with status 3,
// the text as the last diagnostic, and a summary that says so.
void ExpectRunEndsWith(const Case& c, int workers = 1, const char* av1 = nullptr) {
  SCOPED_TRACE(c.name);
  ControllerRun run(workers);
  run.scenario() = ParseLine(c.scenario).as_object();
  if (av1 != nullptr) run.scenario("av1") = ParseLine(av1).as_object();
  ProgramResult r = run.Run();
  EXPECT_EQ(r.exit_code, 3) << r.err;
  EXPECT_EQ(r.err, "");
  std::vector<std::string> diagnostics = run.Diagnostics();
  ASSERT_FALSE(diagnostics.empty());
  EXPECT_EQ(diagnostics.back(), c.message);
  // The run's error is echoed, and the summary follows it, after the records
  // of what the workers still wrote before their end (a test sent ahead).
  std::vector<std::string> out = Only(TraceLines(r.out_lines), {"diagnostic", "summary"});
  ASSERT_GE(out.size(), 2u);
  EXPECT_EQ(out[out.size() - 2], "diagnostic " + c.message);
  EXPECT_EQ(out.back(), "summary 3");
  EXPECT_EQ(Member(run.Summary(), "exit_code").as_uint(), 3u);
  for (int pid : WorkerPids(run)) EXPECT_FALSE(ProcessAlive(pid)) << pid;
}

TEST(ProgramProtocol, RunEndingTexts) {
  const Case cases[] = {
      {"protocol 2", R"({"protocol":2})", "Worker protocol mismatch"},
      {"protocol 1.0", R"({"protocol":1.0})", "Worker protocol mismatch"},
      {"protocol string", R"({"protocol":"1"})", "Worker protocol mismatch"},
      {"capital Hello", R"({"hello":false,"on_init":[{"send":{"event":"Hello","protocol":1}}]})",
       "Unknown worker event: Hello"},
      {"no event", R"({"on_init":[{"send":{"protocol":1}}]})", "Unknown worker event: "},
      {"event not a string", R"({"on_init":[{"send":{"event":7}}]})", "Unknown worker event: "},
      {"array line", R"({"on_init":[{"send":["hello"]}]})", "Unknown worker event: "},
      {"string line", R"({"on_init":[{"send":"hello"}]})", "Unknown worker event: "},
      {"number line", R"({"on_init":[{"send":5}]})", "Unknown worker event: "},
      {"null line", R"({"on_init":[{"send":null}]})", "Unknown worker event: "},
      {"internal error string", R"({"on_init":[{"internal_error":"bad \"x\"\n"}]})",
       R"(Worker av0: "bad \"x\"\n")"},
      {"internal error without message", R"({"on_init":[{"send":{"event":"internal_error"}}]})",
       "Worker av0: null"},
      {"internal error object", R"({"on_init":[{"internal_error":{"b":1,"a":[]}}]})",
       R"(Worker av0: {"a":[],"b":1})"},
      {"phase of another test", R"({"tests":{"0":{"index_offset":1}}})", "Phase event does not match assigned test"},
      {"phase without index while running",
       R"({"tests":{"0":{"before":[{"send":{"event":"phase","phase":"setup"}}]}}})",
       "Phase event does not match assigned test"},
      {"phase not a string", R"({"tests":{"0":{"phases":[5]}}})", "Missing phase"},
      {"report of another test", R"({"tests":{"0":{"before":[{"send":{"event":"report","index":1}}]}}})",
       "Report does not match assigned test"},
      {"report index as float", R"({"tests":{"0":{"before":[{"send":{"event":"report","index":0.0}}]}}})",
       "Report does not match assigned test"},
      {"finished while idle", R"({"on_init":[{"send":{"event":"finished","index":0,"duration":1.0}}]})",
       "Unexpected finish event"},
      {"finished another test",
       R"({"tests":{"0":{"finish":false,"after":[{"send":{"event":"finished","index":1,"duration":1.0}}]}}})",
       "Finished wrong test"},
      {"finished index 3.0",
       R"({"items":4,"tests":{"3":{"finish":false,
           "after":[{"send":{"event":"finished","index":3.0,"duration":1.0}}]}}})",
       "Finished wrong test"},
      {"finished without index",
       R"({"tests":{"0":{"finish":false,"after":[{"send":{"event":"finished","duration":1.0}}]}}})",
       "Finished wrong test"},
      {"duration as string", R"({"tests":{"0":{"duration":"0.5"}}})", "Missing duration"},
      {"duration missing", R"({"tests":{"0":{"duration":null}}})", "Missing duration"},
      {"exited without code", R"({"exit_code":null})", "Worker av0 session shutdown failed with exit code 3"},
      {"exited code 2", R"({"exit_code":2})", "Worker av0 session shutdown failed with exit code 2"},
      {"exited negative code", R"({"exit_code":-9})", "Worker av0 session shutdown failed with exit code -9"},
      {"exited code 0.0", R"({"exit_code":0.0})", "Worker av0 session shutdown failed with exit code 3"},
      {"collection failed", R"({"collect_failed":true})", "Collection failed in av0"},
      {"item without group", R"({"items":[{"index":0,"nodeid":"a::t","location":null}]})",
       "missing field `group`"},
      {"item of the wrong type", R"({"items":[5]})", "invalid type: integer `5`, expected struct Item"},
      {"indices out of order", R"({"items":[{"index":1,"nodeid":"a::t","location":null,"group":"a"}]})",
       "Invalid collection indices"},
      {"duplicate node ids", R"({"items":["a::t","a::t"]})", "Duplicate node IDs are unsupported in this prototype"},
  };
  for (const Case& c : cases) ExpectRunEndsWith(c);
}

TEST(ProgramProtocol, NonObjectLinesAreLoggedBeforeTheRunEnds) {
  ControllerRun run;
  run.scenario() = ParseLine(R"({"on_init":[{"send":null}]})").as_object();
  ASSERT_EQ(run.Run().exit_code, 3);
  // null is tagged as an object of its own (it comes before "hello"). What
  // the worker sent after it and had queued at the end is logged after it.
  std::vector<json::Value> events = run.Events("worker_event");
  ASSERT_GE(events.size(), 1u);
  EXPECT_EQ(Member(events[0], "payload"), ParseLine(R"({"worker":"av0"})"));

  run.scenario() = ParseLine(R"({"on_init":[{"send":[1,{"b":0,"a":0}]}]})").as_object();
  ASSERT_EQ(run.Run().exit_code, 3);
  events = run.Events("worker_event");
  ASSERT_GE(events.size(), 1u);
  EXPECT_EQ(json::ToCompact(Member(events[0], "payload")), R"([1,{"a":0,"b":0}])");
}

TEST(ProgramProtocol, ManifestMismatchNamesTheLaterWorker) {
  // av1 collects later, so its manifest is the one compared.
  ExpectRunEndsWith({"mismatch", R"({"items":2})", "Collection mismatch in av1; worker manifests differ"}, 2,
                    R"({"items":3,"collect_delay":0.3})");
  ExpectRunEndsWith({"location differs", R"({"items":["a::t"]})", "Collection mismatch in av1; worker manifests differ"},
                    2, R"({"items":[{"index":0,"nodeid":"a::t","location":[],"group":"a"}],"collect_delay":0.3})");
}

TEST(ProgramProtocol, LenientMessagesAreAccepted) {
  const char* scenarios[] = {
      // "hello" with extra members; a phase while collecting; a repeated hello.
      R"({"hello":false,"on_init":[{"send":{"event":"hello","protocol":1,"extra":[1]}},
          {"send":{"event":"phase","phase":"collect"}},{"send":{"event":"hello","protocol":1}}]})",
      // Integer durations, and "failed" values other than true do not count.
      R"({"items":3,"tests":{"0":{"duration":2},"1":{"failed":"yes"},"2":{"failed":1}}})",
      // Clean exit codes 1 and 5 after "shutdown".
      R"({"exit_code":5})",
      R"({"exit_code":1})",
      // Anything sent while shutting down as a phase is ignored.
      R"({"on_shutdown":[{"send":{"event":"phase","index":99}},{"send":{"event":"phase"}}]})",
      // Phase and report without index from a worker that has collected
      // and waits for av1.
      R"({"after_collect":[{"send":{"event":"phase","phase":"idle"}},{"send":{"event":"report"}}]})",
  };
  for (const char* scenario : scenarios) {
    SCOPED_TRACE(scenario);
    ControllerRun run(2);
    run.scenario("av0") = ParseLine(scenario).as_object();
    // av1 behaves alike but collects later, and is dispatched to at once.
    run.scenario("av1") = run.scenario("av0");
    run.scenario("av1").erase("after_collect");
    run.scenario("av1")["collect_delay"] = 0.3;
    ProgramResult r = run.Run();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(run.Diagnostics().empty());
  }
}

TEST(ProgramProtocol, FinishRecordCopiesDurationAndFailed) {
  ControllerRun run;
  run.scenario() = ParseLine(R"({"items":3,"tests":{"0":{"duration":2},"1":{"failed":"yes","duration":-1.5},
      "2":{"failed":null}}})")
                       .as_object();
  ProgramResult r = run.Run();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<json::Value> finishes = run.Events("finish");
  ASSERT_EQ(finishes.size(), 3u);
  EXPECT_TRUE(Member(finishes[0], "duration").is_double());
  EXPECT_EQ(Member(finishes[0], "duration").as_double(), 2.0);
  EXPECT_EQ(Member(finishes[1], "failed"), json::Value("yes"));
  EXPECT_EQ(Member(finishes[1], "duration").as_double(), -1.5);
  EXPECT_TRUE(Member(finishes[2], "failed").is_null());
  // A negative duration is not kept for the next run.
  EXPECT_EQ(ParseLine(ReadText(run.history_path())), ParseLine(R"({"test_fake.py::test_0":2.0,"test_fake.py::test_2":0.01})"));
}

TEST(ProgramProtocol, MissingDurationStillCompletesTheTest) {
  ControllerRun run;
  run.scenario() = ParseLine(R"({"items":2,"tests":{"0":{"duration":"1"}}})").as_object();
  ProgramResult r = run.Run();
  EXPECT_EQ(r.exit_code, 3);
  // The reports went out before the run ended; the test counts as completed.
  // (Test 1, sent ahead, counts as what av0 had done of it when it ended.)
  std::vector<std::string> out =
      Only(TraceLines(r.out_lines), {"report av0 #0", "finish av0 #0", "diagnostic", "summary"});
  EXPECT_EQ(out, (std::vector<std::string>{"report av0 #0 setup", "report av0 #0 call", "report av0 #0 teardown",
                                           "diagnostic Missing duration", "summary 3"}));
  json::Value summary = run.Summary();
  EXPECT_EQ(Member(Member(summary, "tests").as_array().at(0), "state").as_string(), "completed");
}

}  // namespace
TEST(ProgramProtocol, ManifestByDigestIsSentOnceAndComparedWhenDigestsDiffer) {
  // av0 reports first and sends its items in chunks; av1's equal digest is
  // enough; av2's differs, so its items are asked for and compared.
  ControllerRun run(3);
  run.scenario() = ParseLine(R"({"items":5,"digest":true,"chunk":2})").as_object();
  run.scenario("av1") = ParseLine(R"({"items":5,"digest":true,"collect_delay":0.2})").as_object();
  run.scenario("av2") = ParseLine(R"({"items":5,"digest":"other","chunk":3,"collect_delay":0.4})").as_object();
  ProgramResult r = run.Run();
  EXPECT_EQ(r.exit_code, 0) << r.err;
  std::vector<std::string> chunks;
  for (const json::Value& record : run.Events("worker_event")) {
    const json::Value& payload = Member(record, "payload");
    if (EventOf(payload) != "collected_items") continue;
    chunks.push_back(Member(payload, "worker").as_string() + " " +
                     std::to_string(Member(payload, "items").as_array().size()));
  }
  EXPECT_EQ(chunks, (std::vector<std::string>{"av0 2", "av0 2", "av0 1", "av2 3", "av2 2"}));
  EXPECT_EQ(Member(run.Summary(), "completed").as_uint(), 5u);

  ExpectRunEndsWith({"items differ", R"({"items":2,"digest":true})", "Collection mismatch in av1; worker manifests differ"},
                    2, R"({"items":3,"digest":"x","collect_delay":0.3})");
  ExpectRunEndsWith({"count differs", R"({"items":2,"digest":true})", "Worker av1 reported 2 collected items and sent 3"},
                    2, R"({"items":3,"digest":true,"chunk":1,"collect_delay":0.3,
                          "on_init":[{"send":{"event":"collected","failed":false,"count":2,"digest":"x"}}]})");
  ExpectRunEndsWith({"unasked items", R"({"on_init":[{"send":{"event":"collected_items","items":[]}}]})",
                     "Unexpected collected items from av0"});
  ExpectRunEndsWith({"no count", R"({"on_init":[{"send":{"event":"collected","digest":"x"}}]})",
                     "Missing collected item count"});
}

TEST(ProgramProtocol, ManifestLargerThanTheLineLimitRunsInChunks) {
  // About 10 MB of items, more than one line may hold.
  ControllerRun run(2);
  run.scenario() = ParseLine(R"({"items":90000,"digest":true,"chunk":20000})").as_object();
  // Sanitizer builds of the fake worker take a while to make that many items.
  run.set("startup_timeout", 600.0);
  ProgramOptions options;
  options.on_line = OnTrace("collection ", [](ControllerHandle& c) { c.WriteStdin("stop\n"); });
  options.timeout = std::chrono::seconds(600);
  ProgramResult r = run.Run(options);
  EXPECT_EQ(r.exit_code, 2) << r.err;
  std::vector<json::Value> collection = run.Events("collection");
  ASSERT_EQ(collection.size(), 1u);
  EXPECT_EQ(Member(collection[0], "count").as_uint(), 90000u);
}

}  // namespace aurvane::testing
