// Whole runs of the supervisor against the fake worker: dispatch order, the
// failure limit, retries, restarts, deadlines and the end of a run, checked
// through the event log, standard output, summary.json, the history file and
// the exit status. The supervisor's own logic in cases that need no process
// (the order of messages, the clock) is tested in memory in
// supervisor_test.cc.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "program_support.h"

namespace aurvane::testing {
namespace {

using Traces = std::vector<std::string>;

json::Object Obj(const std::string& text) { return ParseLine(text).as_object(); }

std::string LogOf(const ControllerRun& run, int n) {
  return (run.run_dir() / ("worker-" + std::to_string(n) + ".log")).string();
}

// The failure text of worker `n` in `phase`.
std::string Failure(const ControllerRun& run, int n, const std::string& phase, const std::string& reason) {
  return "av" + std::to_string(n) + " " + phase + ": " + reason + ". Worker log: " + LogOf(run, n);
}

// "state/attempts" of every test of the summary, in index order.
Traces States(const json::Value& summary) {
  Traces states;
  for (const json::Value& test : Member(summary, "tests").as_array()) {
    states.push_back(Member(test, "state").as_string() + "/" + std::to_string(Member(test, "attempts").as_uint()));
  }
  return states;
}

uint64_t Count(const json::Value& summary, const std::string& key) { return Member(summary, key).as_uint(); }

TEST(ProgramSupervisor, GroupsAreRunWholeAndNextIsAnnounced) {
  ControllerRun run(2);
  run.scenario()["items"] = ParseLine(R"(["a.py::t0","a.py::t1","a.py::t2","b.py::t3"])");
  ProgramResult r = run.Run();
  ASSERT_EQ(r.exit_code, 0) << r.err;

  // av0 takes the larger group and keeps it: after 0 comes 1, announced
  // with its successor, without a trip to the schedule; av1, with its group
  // used up and nothing left, is told to shut down.
  Traces order = Only(TraceLines(r.out_lines), {"start", "collection", "finish", "summary"});
  Traces av0 = Only(order, {"start av0", "finish av0"});
  EXPECT_EQ(av0, (Traces{"start av0 #0 next 1 attempt 1", "finish av0 #0", "start av0 #1 next 2 attempt 1",
                         "finish av0 #1", "start av0 #2 next null attempt 1", "finish av0 #2"}));
  EXPECT_EQ(Only(order, {"start av1", "finish av1"}), (Traces{"start av1 #3 next null attempt 1", "finish av1 #3"}));
  // Nothing is dispatched before both manifests are in.
  EXPECT_EQ(order[0], "collection 4 2");
  EXPECT_EQ(Only(order, {"start"})[1], "start av1 #3 next null attempt 1");
  EXPECT_EQ(order.back(), "summary 0");

  // Each test's reports come right before its "finish", in arrival order.
  Traces out = Only(TraceLines(r.out_lines), {"report av0", "finish av0"});
  for (std::string t : {"#0", "#1", "#2"}) {
    const size_t i = static_cast<size_t>(t[1] - '0');
    Traces expected = {"report av0 " + t + " setup", "report av0 " + t + " call", "report av0 " + t + " teardown",
                       "finish av0 " + t};
    ASSERT_GE(out.size(), 4 * i + 4);
    EXPECT_EQ(Traces(out.begin() + static_cast<long>(4 * i), out.begin() + static_cast<long>(4 * i + 4)), expected);
  }
  // av1's whole life in the log: every message is logged as it arrives,
  // the reports are held until "finished", and then av1 is shut down.
  EXPECT_EQ(Only(Trace(run.Events()), {"spawned av1", "event av1", "start av1", "report av1", "finish av1"}),
            (Traces{"spawned av1", "event av1 hello", "event av1 collected", "start av1 #3 next null attempt 1",
                    "event av1 phase", "event av1 report", "event av1 phase", "event av1 report", "event av1 phase",
                    "event av1 report", "event av1 finished", "report av1 #3 setup", "report av1 #3 call",
                    "report av1 #3 teardown", "finish av1 #3", "event av1 exited"}));

  json::Value summary = run.Summary();
  EXPECT_EQ(States(summary), (Traces{"completed/1", "completed/1", "completed/1", "completed/1"}));
  EXPECT_EQ(Count(summary, "restarts"), 0u);
  Result<json::Value> history = json::Parse(ReadText(run.history_path()));
  ASSERT_TRUE(history.ok());
  EXPECT_EQ(history.value(), ParseLine(R"({"a.py::t0":0.01,"a.py::t1":0.01,"a.py::t2":0.01,"b.py::t3":0.01})"));
}

// The history of a suite that changed since: entries of tests this run did
// not collect go back as they were (a repeated name too, in order), the
// run's own tests get this run's durations, and the longest known test runs
// first.
TEST(ProgramSupervisor, HistoryOfOtherTestsIsWrittenBackUnchanged) {
  ControllerRun run;
  WriteText(run.history_path(), R"({"gone":4,"test_fake.py::test_2":30,"gone":5,)"
                                R"("test_fake.py::test_0":-1,"renamed::t":0.5,"test_fake.py::test_2":3})");
  run.set("schedule", "load");
  run.scenario() = Obj(R"({"items":3,"tests":{"1":{"duration":0.25}}})");
  ProgramResult r = run.Run();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<json::Value> starts = run.Events("start");
  ASSERT_EQ(starts.size(), 3u);
  EXPECT_EQ(Member(starts[0], "index").as_uint(), 2u) << "3 s, the last of its two values";
  EXPECT_EQ(ReadText(run.history_path()),
            R"({"gone":4.0,"gone":5.0,"renamed::t":0.5,"test_fake.py::test_0":0.01,)"
            R"("test_fake.py::test_1":0.25,"test_fake.py::test_2":0.01})");
}

TEST(ProgramSupervisor, WorkerWithoutWorkIsShutDownAtOnce) {
  ControllerRun run(2);
  run.scenario()["items"] = 1;
  ProgramResult r = run.Run();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  Traces log = Only(Trace(run.Events()), {"start", "collection", "event av1"});
  // av1 gets nothing: its next message after collecting is its exit.
  EXPECT_EQ(Only(log, {"start"}), (Traces{"start av0 #0 next null attempt 1"}));
  Traces av1 = Only(log, {"event av1"});
  EXPECT_EQ(Traces(av1.end() - 2, av1.end()), (Traces{"event av1 collected", "event av1 exited"}));
}

TEST(ProgramSupervisor, NothingCollectedIsStatus5) {
  ControllerRun run(2);
  run.scenario()["items"] = 0;
  ProgramResult r = run.Run();
  EXPECT_EQ(r.exit_code, 5) << r.err;
  EXPECT_EQ(TraceLines(r.out_lines), (Traces{"collection 0 2", "summary 5"}));
  json::Value summary = run.Summary();
  EXPECT_EQ(Count(summary, "collected"), 0u);
  EXPECT_TRUE(Member(summary, "tests").as_array().empty());
  EXPECT_FALSE(std::filesystem::exists(run.history_path()));
}

TEST(ProgramSupervisor, DispatchWaitsForTheLastManifest) {
  ControllerRun run(3);
  run.scenario()["items"] = 6;
  run.scenario("av2") = Obj(R"({"items":6,"collect_delay":0.3})");
  ProgramResult r = run.Run();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  Traces log = Only(Trace(run.Events()), {"start", "collection", "event"});
  auto last_collected = std::find(log.begin(), log.end(), "event av2 collected");
  auto first_start = std::find_if(log.begin(), log.end(), [](const std::string& t) { return t.rfind("start", 0) == 0; });
  ASSERT_NE(last_collected, log.end());
  EXPECT_EQ(last_collected + 1, std::find(log.begin(), log.end(), "collection 6 3"));
  EXPECT_LT(last_collected, first_start);
}

TEST(ProgramSupervisor, WorkerNameReplacedInForwardedMessages) {
  ControllerRun run;
  run.scenario() = Obj(R"({"items":1,
      "collection_reports":[{"worker":"gw9","z":{"b":1,"a":2}}],
      "tests":{"default":{"reports":[{"worker":"gw9","elapsed":-1}]}}})");
  ProgramResult r = run.Run();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  Traces out = TraceLines(r.out_lines);
  EXPECT_EQ(out, (Traces{"collection_report av0", "collection 1 1", "start av0 #0 next null attempt 1",
                         "report av0 #0 null", "finish av0 #0", "summary 0"}));
  // Keys sorted at every depth, the controller's name and elapsed value.
  EXPECT_EQ(r.out_lines[0].rfind(R"({"elapsed":)", 0), 0u) << r.out_lines[0];
  EXPECT_NE(r.out_lines[0].find(R"("event":"collection_report","worker":"av0","z":{"a":2,"b":1}})"),
            std::string::npos)
      << r.out_lines[0];
  EXPECT_TRUE(Member(ParseLine(r.out_lines[3]), "elapsed").as_double() >= 0.0);
  for (const json::Value& record : run.Events("worker_event")) {
    EXPECT_EQ(Member(Member(record, "payload"), "worker").as_string(), "av0") << json::ToCompact(record);
  }
}

TEST(ProgramSupervisor, MaxfailStopsDispatchButLetsRunningTestsFinish) {
  ControllerRun run(3);
  run.set("schedule", "load");  // one test per group
  run.set("maxfail", 1);
  // Tests 1 and 2 (on av1 and av2) are still running when test 0 fails.
  run.scenario() = Obj(R"({"items":9,"tests":{"0":{"failed":true},
      "1":{"delay":{"call":0.8}},"2":{"delay":{"call":0.8}}}})");
  ProgramResult r = run.Run();
  EXPECT_EQ(r.exit_code, 1) << r.err;
  Traces order = Only(TraceLines(r.out_lines), {"start", "finish"});
  // Every worker gets a first test before any gets a test to follow: the
  // schedule's front tests (the longest, with a history) run side by side.
  EXPECT_EQ(Only(order, {"start"}), (Traces{"start av0 #0 next 3 attempt 1", "start av1 #1 next 4 attempt 1",
                                            "start av2 #2 next 5 attempt 1"}));
  ASSERT_EQ(Only(order, {"finish"}).size(), 3u);
  EXPECT_EQ(Only(order, {"finish"})[0], "finish av0 #0");
  json::Value summary = run.Summary();
  EXPECT_EQ(States(summary), (Traces{"completed/1", "completed/1", "completed/1", "reserved/0", "reserved/0",
                                     "reserved/0", "pending/0", "pending/0", "pending/0"}));
  EXPECT_EQ(Count(summary, "failed"), 1u);
  EXPECT_EQ(Count(summary, "not_run"), 6u);
  EXPECT_EQ(Count(summary, "exit_code"), 1u);
  EXPECT_TRUE(run.Diagnostics().empty());
  // Failures still save the history.
  EXPECT_TRUE(std::filesystem::exists(run.history_path()));
}

TEST(ProgramSupervisor, RepeatedCollectedDuringATestKeepsTheTest) {
  ControllerRun run;
  run.scenario() = Obj(R"({"items":2,"tests":{"0":{"before":[{"send":{"event":"collected","failed":false,"items":[
      {"index":0,"nodeid":"test_fake.py::test_0","location":["test_fake.py",0,"test_0"],"group":"test_fake.py"},
      {"index":1,"nodeid":"test_fake.py::test_1","location":["test_fake.py",1,"test_1"],"group":"test_fake.py"}]}}]}}})");
  ProgramResult r = run.Run();
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Only(TraceLines(r.out_lines), {"start", "finish"}),
            (Traces{"start av0 #0 next 1 attempt 1", "finish av0 #0", "start av0 #1 next null attempt 1",
                    "finish av0 #1"}));
}

TEST(ProgramSupervisor, MessagesAfterACleanExitAreDropped) {
  ControllerRun run;
  run.scenario() = Obj(R"({"items":1,"on_shutdown":[{"send":{"event":"exited","code":0}},
      {"send":{"event":"bogus"}}]})");
  ProgramResult r = run.Run();
  EXPECT_EQ(r.exit_code, 0) << r.err;
  Traces events = Only(Trace(run.Events()), {"event av0"});
  EXPECT_EQ(events.back(), "event av0 exited");
  EXPECT_EQ(std::count(events.begin(), events.end(), "event av0 exited"), 1);
}

TEST(ProgramSupervisor, NoRetriesInterruptsAndReplacesTheWorker) {
  ControllerRun run;
  run.set("retries", 0);
  run.scenario() = Obj(R"({"items":2,"tests":{"0":{"during":{"call":[{"exit":9}]}}}})");
  ProgramResult r = run.Run();
  EXPECT_EQ(r.exit_code, 1) << r.err;
  std::string m = Failure(run, 0, "call", "Worker event pipe closed");
  // The attempt's held report (setup) goes out before "interrupted"; the
  // reserved next test moves to the replacement.
  EXPECT_EQ(Only(TraceLines(r.out_lines), {"start", "report", "finish", "interrupted", "diagnostic", "retry"}),
            (Traces{"start av0 #0 next 1 attempt 1", "diagnostic " + m, "report av0 #0 setup",
                    "interrupted av0 test_fake.py::test_0 call", "start av1 #1 next null attempt 1",
                    "report av1 #1 setup", "report av1 #1 call", "report av1 #1 teardown", "finish av1 #1"}));
  json::Value interrupted = run.Events("interrupted").at(0);
  Traces keys;
  for (const auto& [key, value] : interrupted.as_object()) keys.push_back(key);
  EXPECT_EQ(keys, (Traces{"duration", "elapsed", "event", "location", "nodeid", "phase", "reason", "worker"}));
  EXPECT_EQ(Member(interrupted, "reason").as_string(), m);
  EXPECT_EQ(Member(interrupted, "location"), ParseLine(R"(["test_fake.py",0,"test_0"])"));
  EXPECT_TRUE(Member(interrupted, "duration").is_double());
  json::Value summary = run.Summary();
  EXPECT_EQ(States(summary), (Traces{"interrupted/1", "completed/1"}));
  EXPECT_EQ(Count(summary, "failed"), 1u);
  EXPECT_EQ(Count(summary, "interrupted"), 1u);
  EXPECT_EQ(Count(summary, "restarts"), 1u);
}

TEST(ProgramSupervisor, AWorkerEndedByASignalSaysWhichOne) {
  // The guard tells the signal the worker died of (SIGKILL with no deadline
  // passed being often the out-of-memory killer's); an exit says nothing more.
  // SIGTERM, not SIGSEGV: a fake worker built with a sanitizer handles that.
  if (!kPosixProcesses) GTEST_SKIP() << "no signals on Windows";
  ControllerRun run;
  run.set("retries", 0);
  run.set("max_restarts", 3);
  run.scenario() =
      Obj(R"({"items":3,"tests":{"0":{"during":{"call":[{"signal":9}]}},"1":{"during":{"setup":[{"signal":15}]}},
              "2":{"during":{"call":[{"exit":9}]}}}})");
  ProgramResult r = run.Run();
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_EQ(run.Diagnostics(),
            (Traces{Failure(run, 0, "call",
                            "Worker event pipe closed; the worker was killed by signal 9 (SIGKILL), which with no "
                            "deadline passed is often the out-of-memory killer"),
                    Failure(run, 1, "setup", "Worker event pipe closed; the worker was killed by signal 15 (SIGTERM)"),
                    Failure(run, 2, "call", "Worker event pipe closed")}));
}

TEST(ProgramSupervisor, TestsSentAheadOfAWorkerThatFailsGoBackUnstarted) {
  // av0 gets test 1 in its pipe while it runs test 0, and dies as it reads
  // it; then its replacement hangs before saying anything about test 2. A
  // test the worker never began goes back to the front of the queue without
  // an attempt, and runs once.
  ControllerRun run;
  run.set("phase_timeout", 1.0);
  std::filesystem::create_directory(run.dir() / "state");
  run.scenario() = Obj(R"({"items":4,"tests":{"1":{"attempts":[{"before":[{"exit":9}]},{}]},
                                               "2":{"attempts":[{"before":[{"hang":true}]},{}]}}})");
  run.scenario()["state_dir"] = (run.dir() / "state").string();
  ProgramResult r = run.Run();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // av0 may be found dead through a failed write of test 2's "run" first;
  // its failure is still named by the end of its output.
  EXPECT_EQ(run.Diagnostics(), (Traces{Failure(run, 0, "dispatch", "Worker event pipe closed"),
                                       Failure(run, 1, "dispatch", "exceeded 1.00s deadline")}));
  Traces log = Trace(run.Events());
  EXPECT_EQ(Only(log, {"start", "finish", "retry", "interrupted"}),
            (Traces{"start av0 #0 next 1 attempt 1", "finish av0 #0", "start av1 #1 next 2 attempt 1", "finish av1 #1",
                    "start av2 #2 next 3 attempt 1", "finish av2 #2", "start av2 #3 next null attempt 1",
                    "finish av2 #3"}));
  // Each worker's records read start, its messages, finish, then the next
  // start: a test sent ahead starts with the worker's first message about it.
  EXPECT_EQ(Only(log, {"start av2", "event av2 phase", "finish av2"}),
            (Traces{"start av2 #2 next 3 attempt 1", "event av2 phase", "event av2 phase", "event av2 phase",
                    "finish av2 #2", "start av2 #3 next null attempt 1", "event av2 phase", "event av2 phase",
                    "event av2 phase", "finish av2 #3"}));
  json::Value summary = run.Summary();
  EXPECT_EQ(States(summary), (Traces{"completed/1", "completed/1", "completed/1", "completed/1"}));
  EXPECT_EQ(Count(summary, "restarts"), 2u);
}

TEST(ProgramSupervisor, QuickTestsWaitingForAWorkerThatDiesRunOnceElsewhere) {
  // The history says the ten tests are quick, so several wait in av0's
  // pipe at once. av0 dies in test 2's call: 2 is retried, and the tests
  // that waited go back unstarted and run on the replacement, each once.
  ControllerRun run;
  run.WriteHistory(10, 0.001);
  std::filesystem::create_directory(run.dir() / "state");
  run.scenario() = Obj(R"({"items":10,"tests":{"2":{"attempts":[{"during":{"call":[{"exit":9}]}},{}]}}})");
  run.scenario()["state_dir"] = (run.dir() / "state").string();
  ProgramResult r = run.Run();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(run.Diagnostics(), (Traces{Failure(run, 0, "call", "Worker event pipe closed")}));
  Traces log = Trace(run.Events());
  Traces expected{"start av0 #0 next 1 attempt 1", "finish av0 #0", "start av0 #1 next 2 attempt 1", "finish av0 #1",
                  "start av0 #2 next 3 attempt 1", "retry #2"};
  for (int i = 2; i < 10; ++i) {
    const std::string index = std::to_string(i);
    const std::string next = i < 9 ? std::to_string(i + 1) : "null";
    expected.push_back("start av1 #" + index + " next " + next + " attempt " + (i == 2 ? "2" : "1"));
    expected.push_back("finish av1 #" + index);
  }
  EXPECT_EQ(Only(log, {"start", "finish", "retry", "interrupted"}), expected);
  json::Value summary = run.Summary();
  EXPECT_EQ(States(summary), (Traces{"completed/1", "completed/1", "completed/2", "completed/1", "completed/1",
                                     "completed/1", "completed/1", "completed/1", "completed/1", "completed/1"}));
  EXPECT_EQ(Count(summary, "restarts"), 1u);
}

TEST(ProgramSupervisor, AWorkerThatClosedItsInputIsGivenUpAfterAGrace) {
  // av0 closes its input in test 0, finishes it and says one thing more,
  // then waits for ever instead of reading: the "run" sent ahead after
  // test 0 cannot be written. Everything it said is logged, test 0 counts,
  // and after the grace the tests it held run on the replacement, once.
  if (!kPosixProcesses) {
    // Seen under Wine: writes to a worker that closed its input keep
    // succeeding, so the worker is given up by its phase deadline instead.
    GTEST_SKIP() << "a closed input does not fail the controller's writes under Wine";
  }
  ControllerRun run;
  run.scenario("av0") = Obj(R"({"items":3,"tests":{"0":{"before":[{"close_stdin":true}],"finish":false,
      "after":[{"send":{"event":"finished","index":0,"duration":0.01,"failed":false}},
               {"send":{"event":"collection_report","late":true}},{"hang":true}]}}})");
  run.scenario("default") = Obj(R"({"items":3})");
  ProgramResult r = run.Run();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(
      Only(TraceLines(r.out_lines), {"start", "finish", "collection_report", "diagnostic", "retry"}),
      (Traces{"start av0 #0 next 1 attempt 1", "finish av0 #0", "collection_report av0",
              "diagnostic " + Failure(run, 0, "dispatch", "Worker control pipe closed"),
              "start av1 #1 next 2 attempt 1", "finish av1 #1", "start av1 #2 next null attempt 1", "finish av1 #2"}));
  json::Value summary = run.Summary();
  EXPECT_EQ(States(summary), (Traces{"completed/1", "completed/1", "completed/1"}));
  EXPECT_EQ(Count(summary, "restarts"), 1u);
  for (int pid : WorkerPids(run)) EXPECT_FALSE(ProcessAlive(pid)) << pid;
}

TEST(ProgramSupervisor, DeathBeforeAnyPhaseIsReportedAsSetup) {
  ControllerRun run;
  run.set("retries", 0);
  run.scenario() = Obj(R"({"items":1,"tests":{"0":{"before":[{"exit":9}]}}})");
  ProgramResult r = run.Run();
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_EQ(run.Diagnostics(), (Traces{Failure(run, 0, "dispatch", "Worker event pipe closed")}));
  EXPECT_EQ(Only(Trace(run.Events()), {"interrupted"}), (Traces{"interrupted av0 test_fake.py::test_0 setup"}));
  // Nothing was left over, so no replacement was started.
  EXPECT_EQ(Count(run.Summary(), "restarts"), 0u);
}

TEST(ProgramSupervisor, TwoRetriesThenInterrupted) {
  ControllerRun run;
  run.set("retries", 2);
  run.set("max_restarts", 5);
  run.scenario() = Obj(R"({"items":2,"tests":{"0":{"during":{"setup":[{"exit":9}]}}}})");
  ProgramResult r = run.Run();
  EXPECT_EQ(r.exit_code, 1) << r.err;
  Traces out = Only(TraceLines(r.out_lines), {"start", "retry", "interrupted", "finish"});
  EXPECT_EQ(out, (Traces{"start av0 #0 next 1 attempt 1", "retry #0", "start av1 #0 next 1 attempt 2", "retry #0",
                         "start av2 #0 next 1 attempt 3", "interrupted av2 test_fake.py::test_0 setup",
                         "start av3 #1 next null attempt 1", "finish av3 #1"}));
  std::vector<json::Value> retries = run.Events("retry");
  ASSERT_EQ(retries.size(), 2u);
  for (int k = 1; k <= 2; ++k) {
    EXPECT_EQ(Member(retries[static_cast<size_t>(k - 1)], "message").as_string(),
              "Retrying interrupted test test_fake.py::test_0 (attempt " + std::to_string(k) +
                  "); prior attempt is retained in the event log");
  }
  json::Value summary = run.Summary();
  EXPECT_EQ(States(summary), (Traces{"interrupted/3", "completed/1"}));
  EXPECT_EQ(Count(summary, "restarts"), 3u);
  EXPECT_EQ(Count(summary, "failed"), 1u);
}

TEST(ProgramSupervisor, RetriedTestPassesOnReplacementAndOldReportsAreDropped) {
  ControllerRun run;
  std::filesystem::create_directory(run.dir() / "state");
  run.scenario() = Obj(R"({"items":1,"tests":{"0":{"attempts":[{"during":{"call":[{"exit":9}]}},{}]}}})");
  // Set apart from the JSON text: a Windows path holds backslashes.
  run.scenario()["state_dir"] = (run.dir() / "state").string();
  ProgramResult r = run.Run();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // The first attempt's setup and call messages reached the log as
  // worker_event records, but no "report" of it is forwarded.
  Traces out = Only(TraceLines(r.out_lines), {"start", "retry", "report", "finish", "diagnostic"});
  EXPECT_EQ(out, (Traces{"start av0 #0 next null attempt 1", "diagnostic " + Failure(run, 0, "call", "Worker event pipe closed"),
                         "retry #0", "start av1 #0 next null attempt 2", "report av1 #0 setup", "report av1 #0 call",
                         "report av1 #0 teardown", "finish av1 #0"}));
  Traces log = Trace(run.Events());
  auto retry = std::find(log.begin(), log.end(), "retry #0");
  auto spawned = std::find(log.begin(), log.end(), "spawned av1");
  EXPECT_LT(retry, spawned);
  EXPECT_EQ(Only(Traces(log.begin(), retry), {"event av0 report"}).size(), 1u);
  json::Value summary = run.Summary();
  EXPECT_EQ(States(summary), (Traces{"completed/2"}));
  EXPECT_EQ(Count(summary, "restarts"), 1u);
  EXPECT_EQ(Count(summary, "failed"), 0u);
}

TEST(ProgramSupervisor, RestartBudgetExhaustedLeavesTestsPending) {
  ControllerRun run;
  run.set("max_restarts", 0);
  WriteText(run.history_path(), R"({"kept":1.5})");
  run.scenario() = Obj(R"({"items":3,"tests":{"0":{"during":{"setup":[{"exit":9}]}}}})");
  ProgramResult r = run.Run();
  EXPECT_EQ(r.exit_code, 3) << r.err;
  EXPECT_EQ(r.err, "");
  Traces diagnostics = run.Diagnostics();
  ASSERT_EQ(diagnostics.size(), 2u);
  EXPECT_EQ(diagnostics[0], Failure(run, 0, "setup", "Worker event pipe closed"));
  EXPECT_EQ(diagnostics[1], "Worker restart budget exhausted; remaining tests were not run");
  json::Value summary = run.Summary();
  EXPECT_EQ(States(summary), (Traces{"pending/1", "pending/0", "pending/0"}));
  EXPECT_EQ(Count(summary, "not_run"), 3u);
  EXPECT_EQ(Count(summary, "exit_code"), 3u);
  EXPECT_EQ(ReadText(run.history_path()), R"({"kept":1.5})");
}

TEST(ProgramSupervisor, FailedReplacementStartEndsTheRunAndCountsAsARestart) {
  ControllerRun run;
  // worker-1.log cannot be created, so the replacement cannot start.
  std::filesystem::create_directory(run.run_dir() / "worker-1.log");
  run.scenario() = Obj(R"({"items":2,"tests":{"0":{"during":{"call":[{"exit":9}]}}}})");
  ProgramResult r = run.Run();
  EXPECT_EQ(r.exit_code, 3) << r.err;
  Traces diagnostics = run.Diagnostics();
  ASSERT_EQ(diagnostics.size(), 2u);
  EXPECT_EQ(diagnostics[0], Failure(run, 0, "call", "Worker event pipe closed"));
  // The worker and the step are named. Windows refuses to open a directory
  // as a file: "access denied".
  EXPECT_TRUE(IsOsError(diagnostics[1],
                        "Cannot start worker av1: creating its log " + (run.run_dir() / "worker-1.log").string() + ": ",
                        "Is a directory (os error 21)", 5));
  json::Value summary = run.Summary();
  EXPECT_EQ(Count(summary, "restarts"), 1u);
  EXPECT_EQ(States(summary), (Traces{"pending/1", "pending/0"}));
  EXPECT_EQ(Only(Trace(run.Events()), {"spawned"}), (Traces{"spawned av0"}));
}

TEST(ProgramSupervisor, FailureDuringCollectionEndsTheRun) {
  ControllerRun run(2);
  run.set("max_restarts", 10);
  run.scenario("av1") = Obj(R"({"on_init":[{"exit":4}]})");
  ProgramResult r = run.Run();
  EXPECT_EQ(r.exit_code, 3) << r.err;
  std::string m = Failure(run, 1, "startup/collection", "Worker event pipe closed");
  // Recovery's diagnostic, then the same text as the run's error.
  EXPECT_EQ(run.Diagnostics(), (Traces{m, m}));
  EXPECT_TRUE(run.Events("start").empty());
  json::Value summary = run.Summary();
  EXPECT_EQ(Count(summary, "restarts"), 0u);
  EXPECT_EQ(Count(summary, "exit_code"), 3u);
  for (int pid : WorkerPids(run)) EXPECT_FALSE(ProcessAlive(pid)) << pid;
}

TEST(ProgramSupervisor, InvalidLineAndExitGiveOneDiagnostic) {
  ControllerRun run;
  run.scenario("av0") = Obj(R"({"items":1,"tests":{"0":{"during":{"call":[{"raw":"{oops\n"},{"exit":3}]}}}})");
  run.scenario("default") = Obj(R"({"items":1})");
  ProgramResult r = run.Run();
  EXPECT_EQ(r.exit_code, 0) << r.err;
  Traces diagnostics = run.Diagnostics();
  ASSERT_EQ(diagnostics.size(), 1u);
  EXPECT_EQ(diagnostics[0].rfind("av0 call: Invalid worker event: ", 0), 0u) << diagnostics[0];
  EXPECT_NE(diagnostics[0].find(" at line 1 column "), std::string::npos) << diagnostics[0];
  EXPECT_EQ(States(run.Summary()), (Traces{"completed/2"}));
}

TEST(ProgramSupervisor, OversizedLineGoesToRecovery) {
  ControllerRun run;
  run.scenario("av0") = Obj(R"({"items":1,"tests":{"0":{"during":{"call":[{"line_bytes":8400000},{"hang":true}]}}}})");
  run.scenario("default") = Obj(R"({"items":1})");
  ProgramResult r = run.Run();
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(run.Diagnostics(), (Traces{Failure(run, 0, "call", "Worker event exceeded 8 MiB protocol limit")}));
  EXPECT_EQ(States(run.Summary()), (Traces{"completed/2"}));
  for (int pid : WorkerPids(run)) EXPECT_FALSE(ProcessAlive(pid)) << pid;
}

// The process id of the grandchild that worker 0 started, from its log.
int GrandchildOf(const ControllerRun& run) {
  std::string log = ReadText(run.run_dir() / "worker-0.log");
  size_t at = log.find("fake-worker: grandchild ");
  EXPECT_NE(at, std::string::npos) << log;
  return at == std::string::npos ? -1 : std::stoi(log.substr(at + 24));
}

TEST(ProgramSupervisor, GrandchildOfACrashedWorkerIsGone) {
  ControllerRun run;
  run.set("retries", 0);
  run.scenario() = Obj(R"({"items":1,"tests":{"0":{"during":{"call":[{"grandchild":600},{"exit":9}]}}}})");
  ProgramResult r = run.Run();
  EXPECT_EQ(r.exit_code, 1) << r.err;
  // The worker's death is seen at once: the grandchild holds no end of the
  // event pipe (or it would stay open until the phase deadline).
  EXPECT_EQ(run.Diagnostics(), (Traces{Failure(run, 0, "call", "Worker event pipe closed")}));
  int pid = GrandchildOf(run);
  EXPECT_FALSE(ProcessAlive(pid)) << pid;
}

// Tests that start daemons put them in a session of their own; the worker's
// job must still own them, though setsid takes them out of its process group.
TEST(ProgramSupervisor, GrandchildInASessionOfItsOwnIsGone) {
  if (!kPosixProcesses) GTEST_SKIP() << "sessions are POSIX; a Windows job holds every descendant alike";
  ControllerRun run;
  run.set("retries", 0);
  run.scenario() = Obj(R"({"items":1,"tests":{"0":{"during":{"call":[
      {"grandchild":600,"new_session":true},{"exit":9}]}}}})");
  ProgramResult r = run.Run();
  EXPECT_EQ(r.exit_code, 1) << r.err;
  int pid = GrandchildOf(run);
  EXPECT_FALSE(ProcessAlive(pid)) << pid;
#ifndef _WIN32
  if (pid > 0) ::kill(pid, SIGKILL);
#endif
}

TEST(ProgramSupervisor, ReadyWorkerThatDiesIsReplaced) {
  ControllerRun run(2);
  // av0 dies after collecting, while av1 is still collecting: it held no
  // test, but the schedule has work, so a replacement takes its place.
  run.scenario("av0") = Obj(R"({"items":4,"after_collect":[{"exit":0}]})");
  run.scenario("default") = Obj(R"({"items":4,"collect_delay":0.3})");
  ProgramResult r = run.Run();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(run.Diagnostics(), (Traces{Failure(run, 0, "ready", "Worker event pipe closed")}));
  Traces log = Trace(run.Events());
  EXPECT_TRUE(Only(log, {"start av0", "retry", "interrupted"}).empty());
  EXPECT_EQ(Only(log, {"spawned"}), (Traces{"spawned av0", "spawned av1", "spawned av2"}));
  json::Value summary = run.Summary();
  EXPECT_EQ(Count(summary, "restarts"), 1u);
  EXPECT_EQ(Count(summary, "completed"), 4u);
}

TEST(ProgramSupervisor, StartupDeadline) {
  ControllerRun run;
  run.set("startup_timeout", 0.5);
  run.scenario() = Obj(R"({"on_init":[{"hang":true}]})");
  ProgramResult r = run.Run();
  EXPECT_EQ(r.exit_code, 3) << r.err;
  std::string m = Failure(run, 0, "startup/collection", "exceeded 0.50s deadline");
  EXPECT_EQ(run.Diagnostics(), (Traces{m, m}));
  EXPECT_EQ(Count(run.Summary(), "collected"), 0u);
}

TEST(ProgramSupervisor, PhaseDeadlineInterruptsASlowTest) {
  ControllerRun run;
  run.set("phase_timeout", 0.5);
  run.set("retries", 0);
  run.scenario() = Obj(R"({"items":2,"tests":{"0":{"delay":{"call":30}}}})");
  ProgramResult r = run.Run();
  EXPECT_EQ(r.exit_code, 1) << r.err;
  std::string m = Failure(run, 0, "call", "exceeded 0.50s deadline");
  EXPECT_EQ(run.Diagnostics(), (Traces{m}));
  EXPECT_EQ(Only(Trace(run.Events()), {"interrupted"}), (Traces{"interrupted av0 test_fake.py::test_0 call"}));
  EXPECT_EQ(States(run.Summary()), (Traces{"interrupted/1", "completed/1"}));
}

TEST(ProgramSupervisor, MessagesQueuedWhileOutputIsBlockedAreTakenBeforeDeadlines) {
  // Whoever reads standard output stops for 3 s at the first "start". The
  // 200 KB report of the quick test 0 then holds the supervisor in its echo
  // while the other worker finishes a 0.2 s test and waits, its "finished"
  // queued: that worker has not overrun the 1 s deadline.
  ControllerRun run(2);
  run.set("phase_timeout", 1.0);
  run.set("schedule", "test");
  run.scenario() = Obj(R"({"items":8})");
  json::Object report = Obj(R"({"when":"call","outcome":"passed"})");
  report.emplace("text", std::string(200 * 1024, 'x'));
  json::Object first;
  first.emplace("reports", json::Array{json::Value(std::move(report))});
  json::Object tests;
  tests.emplace("0", std::move(first));
  tests.emplace("default", Obj(R"({"delay":{"call":0.2}})"));
  run.scenario()["tests"] = json::Value(std::move(tests));
  ProgramOptions options;
  options.on_line = OnTrace("start", [](ControllerHandle&) { std::this_thread::sleep_for(std::chrono::seconds(3)); });
  ProgramResult r = run.Run(options);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(run.Diagnostics(), Traces{});
  EXPECT_EQ(States(run.Summary()), Traces(8, "completed/1"));
}

TEST(ProgramSupervisor, ShutdownDeadline) {
  ControllerRun run;
  run.set("shutdown_timeout", 0.5);
  run.scenario() = Obj(R"({"items":1,"shutdown":"hang"})");
  ProgramResult r = run.Run();
  EXPECT_EQ(r.exit_code, 3) << r.err;
  std::string m = Failure(run, 0, "shutdown", "exceeded 0.50s deadline");
  EXPECT_EQ(run.Diagnostics(), (Traces{m, m}));
  // The test itself completed; the run still fails, and keeps no history.
  EXPECT_EQ(States(run.Summary()), (Traces{"completed/1"}));
  EXPECT_FALSE(std::filesystem::exists(run.history_path()));
}

}  // namespace
}  // namespace aurvane::testing
