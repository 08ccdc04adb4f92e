// Cancelling a run from outside: signals, a line on standard input and the
// end of standard input all stop the run in order, with status 2, a summary
// and no saved history.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "program_support.h"

namespace aurvane::testing {
namespace {

using Traces = std::vector<std::string>;
const std::string kCancelled = "diagnostic Run cancelled; terminating owned workers";

json::Object Obj(const std::string& text) { return ParseLine(text).as_object(); }

// Windows has no signals to send. A Ctrl-Break by GenerateConsoleCtrlEvent
// would stand for one, but Wine 8 delivers none (error 12 without a console,
// error 6 with one), so the Windows build's Ctrl-C is tested from the Linux
// side (windows/program_windows_test.py), where a SIGINT to the Wine process
// reaches the console handler.
constexpr const char* kNoSignals = "no signals on Windows; Ctrl-C is tested from the Linux side under Wine";

// What every cancelled run shares: status 2, the cancellation diagnostic
// echoed just before the summary, nothing on standard error, and no worker
// left alive.
void ExpectCancelled(const ControllerRun& run, const ProgramResult& r) {
  EXPECT_EQ(r.exit_code, 2) << r.err;
  EXPECT_EQ(r.err, "");
  // Where workers cannot be interrupted one by one (Windows) a second
  // diagnostic names the workers whose teardown was skipped.
  const std::string skipped = "Run cancelled; workers cannot be interrupted here";
  Traces out;
  for (const std::string& line : TraceLines(r.out_lines)) {
    if (!line.starts_with("diagnostic " + skipped)) out.push_back(line);
  }
  ASSERT_GE(out.size(), 2u);
  EXPECT_EQ(out[out.size() - 2], kCancelled);
  EXPECT_EQ(out.back(), "summary 2");
  Traces diagnostics;
  for (const std::string& d : run.Diagnostics()) {
    if (!d.starts_with(skipped)) diagnostics.push_back(d);
  }
  EXPECT_EQ(diagnostics, (Traces{"Run cancelled; terminating owned workers"}));
  EXPECT_EQ(Member(run.Summary(), "exit_code").as_uint(), 2u);
  for (int pid : WorkerPids(run)) EXPECT_FALSE(ProcessAlive(pid)) << pid;
}

TEST(ProgramCancel, InterruptDuringCollection) {
  if (!kPosixProcesses) GTEST_SKIP() << kNoSignals;
  ControllerRun run(2);
  run.scenario() = Obj(R"({"collection_reports":[{}],"collect_delay":30})");
  ProgramOptions options;
  options.on_line = OnTrace("collection_report", [](ControllerHandle& c) { c.Signal(SIGINT); });
  ProgramResult r = run.Run(options);
  ExpectCancelled(run, r);
  json::Value summary = run.Summary();
  EXPECT_EQ(Member(summary, "collected").as_uint(), 0u);
  EXPECT_TRUE(Member(summary, "tests").as_array().empty());
  EXPECT_TRUE(run.Events("attempt_aborted").empty());
  EXPECT_FALSE(std::filesystem::exists(run.history_path()));
}

TEST(ProgramCancel, InterruptDuringTestsAbandonsThoseInFlight) {
  if (!kPosixProcesses) GTEST_SKIP() << kNoSignals;
  ControllerRun run(2);
  run.set("schedule", "load");
  WriteText(run.history_path(), R"({"old":2.0})");
  // Test 0 fails at once; 1 (av1's) and 2 (av0's next) never end by themselves.
  run.scenario() = Obj(R"({"items":4,"tests":{"default":{"delay":{"call":60}},"0":{"failed":true}}})");
  ProgramOptions options;
  options.on_line = OnTrace("start av0 #2", [](ControllerHandle& c) { c.Signal(SIGINT); });
  ProgramResult r = run.Run(options);
  ExpectCancelled(run, r);

  std::vector<json::Value> aborted = run.Events("attempt_aborted");
  ASSERT_EQ(aborted.size(), 2u);
  EXPECT_EQ(Trace(aborted[0]).rfind("aborted av0 #2 ", 0), 0u) << Trace(aborted[0]);
  EXPECT_EQ(Trace(aborted[1]).rfind("aborted av1 #1 ", 0), 0u) << Trace(aborted[1]);
  Traces keys;
  for (const auto& [key, value] : aborted[0].as_object()) keys.push_back(key);
  EXPECT_EQ(keys, (Traces{"elapsed", "event", "exit_code", "index", "phase", "worker"}));
  EXPECT_EQ(Member(aborted[1], "exit_code").as_uint(), 2u);
  // Not echoed.
  EXPECT_TRUE(Only(TraceLines(r.out_lines), {"aborted"}).empty());
  // Cancelled after the last aborted record, with the summary last.
  Traces log = Trace(run.Events());
  EXPECT_EQ(Only(log, {"diagnostic", "aborted", "summary"}).front(), kCancelled);

  json::Value summary = run.Summary();
  Traces states;
  for (const json::Value& test : Member(summary, "tests").as_array()) states.push_back(Member(test, "state").as_string());
  EXPECT_EQ(states, (Traces{"completed", "interrupted", "interrupted", "reserved"}));
  EXPECT_EQ(Member(summary, "failed").as_uint(), 1u);
  EXPECT_EQ(Member(summary, "interrupted").as_uint(), 2u);
  // Status 2 despite the failure, so the history is left alone.
  EXPECT_EQ(ReadText(run.history_path()), R"({"old":2.0})");
}

// The messages a worker sent before the run was cancelled are logged, and the
// aborted attempt names the phase they reached, though the supervisor was
// held up and saw the cancellation before it got to them.
TEST(ProgramCancel, MessagesQueuedBeforeTheCancellationAreLogged) {
  ControllerRun run(2);
  // av0's quick test 0 has a 200 KB report: its echo holds the supervisor
  // while the reader of standard output sleeps. av1 meanwhile enters "call"
  // of test 1, which never ends; its phase messages wait in the queue.
  run.scenario() = Obj(R"({"items":["a.py::t0","b.py::t1"],"tests":{"1":{"delay":{"setup":0.3,"call":60}}}})");
  json::Object report = Obj(R"({"when":"call","outcome":"passed"})");
  report.emplace("text", std::string(200 * 1024, 'x'));
  run.scenario()["tests"].as_object()["0"] =
      json::Object{{"reports", json::Array{json::Value(std::move(report))}}};
  ProgramOptions options;
  options.on_line = OnTrace("start", [](ControllerHandle& c) {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    c.CloseStdin();
    // Cancelled for sure before the supervisor can move on.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  });
  ProgramResult r = run.Run(options);
  ExpectCancelled(run, r);
  Traces phases;
  for (const json::Value& record : run.Events("worker_event")) {
    const json::Value& payload = Member(record, "payload");
    if (Member(payload, "worker") == json::Value("av1") && Member(payload, "event") == json::Value("phase")) {
      phases.push_back(Member(payload, "phase").as_string());
    }
  }
  EXPECT_EQ(phases, (Traces{"setup", "call"}));
  std::vector<json::Value> aborted = run.Events("attempt_aborted");
  ASSERT_EQ(aborted.size(), 1u);
  EXPECT_EQ(Trace(aborted[0]).rfind("aborted av1 #1 call ", 0), 0u) << Trace(aborted[0]);
}

// av0 has finished test 0 and begun test 1, sent ahead, but the supervisor,
// held up by a slow reader, sees the cancellation first: the end of the run
// reads av0's output to its end, so test 0 counts as completed and the
// attempt aborted is test 1's, in the phase it reached.
TEST(ProgramCancel, ATestFinishedJustBeforeTheCancellationCountsAsCompleted) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ControllerRun run(1);
    const std::filesystem::path began = run.dir() / "test-1-began";
    // Test 0's 1 MB collection report is echoed before it finishes: it
    // holds the supervisor while the reader of standard output waits for
    // av0 to begin test 1.
    json::Object big = Obj(R"({"event":"collection_report"})");
    big.emplace("text", std::string(size_t{1024} * 1024, 'x'));
    run.scenario() = Obj(R"({"items":3,"tests":{"1":{"delay":{"call":60}}}})");
    json::Object& tests = run.scenario()["tests"].as_object();
    tests["0"] = Obj(R"({"during":{"call":[{"sleep":0.3}]}})");
    json::Array& call = tests["0"].as_object()["during"].as_object()["call"].as_array();
    call.insert(call.begin(), json::Value(json::Object{{"send", json::Value(std::move(big))}}));
    tests["1"].as_object()["during"] = Obj(R"({"setup":[{"touch":""}]})");
    tests["1"].as_object()["during"].as_object()["setup"].as_array()[0].as_object()["touch"] = began.string();
    ProgramOptions options;
    options.on_line = OnTrace("start av0 #0", [&began](ControllerHandle& c) {
      const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (!std::filesystem::exists(began) && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      c.CloseStdin();
      // Cancelled before the supervisor can move on.
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    });
    ProgramResult r = run.Run(options);
    EXPECT_EQ(r.exit_code, 2) << r.err;
    json::Value summary = run.Summary();
    const json::Array& outcomes = Member(summary, "tests").as_array();
    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_EQ(Member(outcomes[0], "state").as_string(), "completed");
    EXPECT_EQ(Member(outcomes[1], "state").as_string(), "interrupted");
    std::vector<json::Value> aborted = run.Events("attempt_aborted");
    ASSERT_EQ(aborted.size(), 1u);
    EXPECT_EQ(Trace(aborted[0]).rfind("aborted av0 #1 ", 0), 0u) << Trace(aborted[0]);
    EXPECT_EQ(Only(TraceLines(r.out_lines), {"finish", "start"}),
              (Traces{"start av0 #0 next 1 attempt 1", "finish av0 #0", "start av0 #1 next 2 attempt 1"}));
  }
}

TEST(ProgramCancel, RepeatedInterruptsStillEndInOrder) {
  if (!kPosixProcesses) GTEST_SKIP() << kNoSignals;
  ControllerRun run;
  run.scenario() = Obj(R"({"items":2,"tests":{"default":{"delay":{"call":60}}}})");
  ProgramOptions options;
  options.on_line = OnTrace("start", [](ControllerHandle& c) {
    c.Signal(SIGINT);
    c.Signal(SIGINT);
    c.Signal(SIGINT);
  });
  ProgramResult r = run.Run(options);
  ExpectCancelled(run, r);
  EXPECT_EQ(run.Events("attempt_aborted").size(), 1u);
}

TEST(ProgramCancel, OtherTerminationSignalsCancel) {
#ifdef _WIN32
  GTEST_SKIP() << kNoSignals;
#else
  for (int signal : {SIGTERM, SIGHUP, SIGQUIT}) {
    SCOPED_TRACE(signal);
    ControllerRun run;
    run.scenario() = Obj(R"({"items":1,"tests":{"default":{"delay":{"call":60}}}})");
    ProgramOptions options;
    options.on_line = OnTrace("start", [signal](ControllerHandle& c) { c.Signal(signal); });
    ExpectCancelled(run, run.Run(options));
  }
#endif
}

TEST(ProgramCancel, StandardInputCancels) {
  struct Case {
    const char* name;
    std::function<void(ControllerHandle&)> act;
  } cases[] = {
      {"empty line", [](ControllerHandle& c) { c.WriteStdin("\n"); }},
      {"a line", [](ControllerHandle& c) { c.WriteStdin("stop please\n"); }},
      {"end of input", [](ControllerHandle& c) { c.CloseStdin(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ControllerRun run;
    run.scenario() = Obj(R"({"items":1,"tests":{"default":{"delay":{"call":60}}}})");
    ProgramOptions options;
    options.on_line = OnTrace("start", c.act);
    ProgramResult r = run.Run(options);
    ExpectCancelled(run, r);
    EXPECT_EQ(run.Events("attempt_aborted").size(), 1u);
  }
}

TEST(ProgramCancel, NoStandardInputCancelsAtOnce) {
  ControllerRun run;
  ProgramOptions options;
  options.on_start = [](ControllerHandle& c) { c.CloseStdin(); };
  run.scenario() = Obj(R"({"collect_delay":30})");
  ExpectCancelled(run, run.Run(options));
}

}  // namespace
}  // namespace aurvane::testing
