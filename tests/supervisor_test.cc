// The supervisor in memory: retries, restarts, the failure limit and the
// deadlines, with workers played by the test through a launcher that starts
// no process. Deadlines are judged at instants the test names, so nothing
// here waits or depends on timing; what only real processes show stays in
// program_supervisor_test.cc.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "scripted_launcher.h"
#include "supervisor/supervisor.h"
#include "test_support.h"

namespace aurvane::testing {
namespace {

using Traces = std::vector<std::string>;

// One supervisor and the workers it launched, driven message by message.
class InMemoryRun {
 public:
  explicit InMemoryRun(uint64_t workers) {
    spec_.protocol = 1;
    spec_.python = "python3";
    spec_.cwd = ".";
    spec_.workers = workers;
    spec_.startup_timeout = 3;
    spec_.phase_timeout = 2;
    spec_.shutdown_timeout = 4;
    spec_.max_restarts = 1;
    spec_.retries = 1;
    spec_.schedule = "load";  // one test per group
    spec_.run_dir = dir_.path();
    spec_.run_id = "r";
  }

  Spec& spec() { return spec_; }
  // The durations of earlier runs, by node id ("t.py::test_3"); before Start.
  DurationHistory& history() { return history_; }
  Supervisor& s() { return *s_; }
  ScriptedLauncher& launcher() { return *launcher_; }
  WorkerSession& session(size_t n) { return s_->sessions.at(n); }

  // Starts the configured workers, as the supervisor loop does first.
  void Start() {
    Create();
    for (uint64_t i = 0; i < spec_.workers; ++i) ASSERT_TRUE(StartWorker(*s_).ok());
    launcher_->Drain();
  }
  // The supervisor only, its workers not started.
  void Create() {
    auto launcher = std::make_unique<ScriptedLauncher>();
    launcher_ = launcher.get();
    Result<EventLog> log = EventLog::Create(dir_.path());
    ASSERT_TRUE(log.ok()) << log.message();
    log.value().set_echo([this](std::string_view line) {
      echoed_.push_back(TraceOf(line));
      return Status::Ok();
    });
    s_ = std::make_unique<Supervisor>(spec_, std::move(launcher), std::move(log).value(), std::move(history_),
                                      MakeCancelFlag());
    launcher_->cancel = s_->cancel;
  }

  // Worker `n` sends `line`.
  Status Send(size_t n, const std::string& line) {
    Result<WorkerMessage> message = DecodeWorkerLine(line);
    EXPECT_TRUE(message.ok()) << line;
    Status handled = HandleMessage(*s_, n, std::move(message).value());
    launcher_->Drain();
    return handled;
  }
  // A transport failure of worker `n` (a pipe closed, a bad line).
  Status Fail(size_t n, const std::string& reason) {
    Status handled = HandleFailure(*s_, n, reason);
    launcher_->Drain();
    return handled;
  }
  // The supervisor looks at deadlines `seconds` after worker `n`'s phase
  // clock was last set.
  Status Tick(size_t n, double seconds) { return TickAt(After(session(n).phase_clock, seconds)); }
  Status TickAt(Instant now) {
    Status checked = CheckDeadlines(*s_, now);
    launcher_->Drain();
    return checked;
  }

  Status Collect(size_t n, int tests) {
    std::string items;
    for (int i = 0; i < tests; ++i) {
      std::string id = std::to_string(i);
      items += (i ? "," : "") + std::string(R"({"index":)") + id + R"(,"nodeid":"t.py::test_)" + id +
               R"(","location":["t.py",)" + id + R"(,"test_)" + id + R"("],"group":"t.py"})";
    }
    return Send(n, R"({"event":"collected","failed":false,"items":[)" + items + "]}");
  }
  // Worker `n` finishes the test it runs.
  Status Finish(size_t n, bool failed = false) {
    std::string index = std::to_string(session(n).current_test.value_or(999));
    return Send(n, R"({"event":"finished","index":)" + index + R"(,"duration":0.1,"failed":)" +
                       (failed ? "true" : "false") + "}");
  }
  Status Exit(size_t n) { return Send(n, R"({"event":"exited","code":0})"); }
  // Worker `n` has written `line` (or, with `failure`, its output ended
  // so), and the supervisor has not taken it yet.
  void Queue(size_t n, const std::string& line, bool failure = false) {
    if (failure) {
      s_->event_sender.Send(WorkerEvent{n, line});
    } else {
      s_->event_sender.Send(WorkerEvent{n, DecodeWorkerLine(line).value()});
    }
  }

  // The progress stream so far, one short trace per record.
  const Traces& echoed() const { return echoed_; }
  // The event log so far, the same way; a worker's message as "event",
  // its worker and its kind.
  Traces Logged() const {
    Traces traces;
    std::istringstream lines(ReadText(dir_.path() / "events.jsonl"));
    for (std::string line; std::getline(lines, line);) traces.push_back(TraceOf(line));
    return traces;
  }
  // "state/attempts" of every test, in index order.
  Traces States() const {
    Traces states;
    for (size_t i = 0; i < s_->tables.test_count(); ++i) {
      states.push_back(std::string(StateName(s_->tables.states[i])) + "/" + std::to_string(s_->tables.attempts[i]));
    }
    return states;
  }

  static Instant After(Instant start, double seconds) {
    return start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  }

 private:
  std::string TraceOf(std::string_view line) const {
    json::Value record = json::Parse(line).value();
    auto text = [&](const char* key) {
      const json::Value* v = record.Find(key);
      if (v == nullptr) return std::string("-");
      return v->is_string() ? v->as_string() : json::ToCompact(*v);
    };
    std::string event = text("event");
    if (event == "start") return "start " + text("worker") + " #" + text("index") + " next " + text("next");
    if (event == "finish") return "finish " + text("worker") + " #" + text("index");
    if (event == "report") return "report " + text("worker") + " #" + text("index");
    if (event == "retry") return "retry #" + text("index");
    if (event == "interrupted") return "interrupted " + text("worker") + " " + text("nodeid") + " " + text("phase");
    if (event == "worker_event") {
      const json::Value* kind = record.Find("payload")->Find("event");
      return "event " + text("worker") + " " + (kind != nullptr ? kind->as_string() : "-");
    }
    if (event == "diagnostic") {
      std::string message = text("message");
      return "diagnostic " + message.substr(0, message.find(". Worker log: "));
    }
    if (event == "attempt_aborted") return "aborted " + text("worker") + " #" + text("index") + " " + text("phase");
    return event;
  }

  ScratchDir dir_;
  Spec spec_;
  DurationHistory history_;
  ScriptedLauncher* launcher_ = nullptr;
  std::unique_ptr<Supervisor> s_;
  Traces echoed_;
};

TEST(SupervisorInMemory, RetryOnAReplacementThenInterruptWithTheAttemptsReports) {
  InMemoryRun run(1);
  run.spec().max_restarts = 2;
  run.Start();
  ASSERT_TRUE(run.Collect(0, 2).ok());
  ASSERT_TRUE(run.Send(0, R"({"event":"report","index":0,"when":"setup"})").ok());
  ASSERT_TRUE(run.Fail(0, "Worker event pipe closed").ok());
  // The first attempt's report stays in the log only; a replacement is started.
  EXPECT_EQ(run.launcher().launches(), 2u);
  ASSERT_TRUE(run.Collect(1, 2).ok());
  ASSERT_TRUE(run.Send(1, R"({"event":"phase","index":0,"phase":"call"})").ok());
  ASSERT_TRUE(run.Send(1, R"({"event":"report","index":0,"when":"setup"})").ok());
  ASSERT_TRUE(run.Fail(1, "Worker event pipe closed").ok());
  ASSERT_TRUE(run.Collect(2, 2).ok());
  ASSERT_TRUE(run.Finish(2).ok());
  ASSERT_TRUE(run.Exit(2).ok());
  EXPECT_EQ(run.echoed(),
            (Traces{"collection", "start av0 #0 next 1", "diagnostic av0 dispatch: Worker event pipe closed",
                    "retry #0", "start av1 #0 next 1", "diagnostic av1 call: Worker event pipe closed",
                    "report av1 #0", "interrupted av1 t.py::test_0 call", "start av2 #1 next null", "finish av2 #1"}));
  EXPECT_EQ(run.States(), (Traces{"interrupted/2", "completed/1"}));
  EXPECT_EQ(run.s().failures, 1u);
  EXPECT_EQ(run.s().restarts, 2u);
  EXPECT_EQ(run.launcher().sent(2), (Traces{R"({"command":"init"})", R"({"command":"run","index":1,"next":null})",
                                            R"({"command":"shutdown"})"}));
}

TEST(SupervisorInMemory, TheRestartBudgetAndAFailedLaunchEndTheRun) {
  {
    InMemoryRun run(1);
    run.Start();
    ASSERT_TRUE(run.Collect(0, 2).ok());
    ASSERT_TRUE(run.Fail(0, "Worker event pipe closed").ok());
    ASSERT_TRUE(run.Collect(1, 2).ok());
    EXPECT_EQ(run.Fail(1, "Worker event pipe closed").message(),
              "Worker restart budget exhausted; remaining tests were not run");
    EXPECT_EQ(run.s().restarts, 1u);
    EXPECT_EQ(run.States(), (Traces{"interrupted/2", "pending/0"}));
  }
  {
    // A replacement that cannot be launched counts against the budget too.
    InMemoryRun run(1);
    run.Start();
    run.launcher().fail_from = 1;
    ASSERT_TRUE(run.Collect(0, 1).ok());
    EXPECT_EQ(run.Fail(0, "Worker event pipe closed").message(), "program not found");
    EXPECT_EQ(run.s().restarts, 1u);
  }
}

TEST(SupervisorInMemory, AWorkerHoldsTheTestAfterItsOwnAndStartsItWithItsFirstMessage) {
  InMemoryRun run(2);
  run.Start();
  for (size_t n = 0; n < 2; ++n) ASSERT_TRUE(run.Collect(n, 7).ok());
  // Each worker gets its first test, then the one after it ahead of time,
  // each "run" announcing the test of the next.
  EXPECT_EQ(run.launcher().sent(0), (Traces{R"({"command":"init"})", R"({"command":"run","index":0,"next":2})",
                                            R"({"command":"run","index":2,"next":4})"}));
  EXPECT_EQ(run.States(),
            (Traces{"running/1", "running/1", "reserved/0", "reserved/0", "reserved/0", "reserved/0", "pending/0"}));
  // Finishing 0, av0 takes 2 by itself: only its first message about 2
  // starts it, and 4 is sent ahead meanwhile.
  ASSERT_TRUE(run.Finish(0).ok());
  EXPECT_EQ(run.launcher().sent(0).back(), R"({"command":"run","index":4,"next":6})");
  EXPECT_EQ(run.session(0).phase, "dispatch");
  EXPECT_FALSE(run.session(0).current_test);
  ASSERT_TRUE(run.Send(0, R"({"event":"phase","index":2,"phase":"setup"})").ok());
  EXPECT_EQ(run.session(0).current_test, 2u);
  EXPECT_EQ(run.session(0).phase, "setup");
  // A message about a test it holds but has not reached is a fault.
  EXPECT_FALSE(run.Send(1, R"({"event":"phase","index":3,"phase":"setup"})").ok());
  EXPECT_EQ(run.echoed(), (Traces{"collection", "start av0 #0 next 2", "start av1 #1 next 3", "finish av0 #0",
                                  "start av0 #2 next 4"}));
}

TEST(SupervisorInMemory, TestsSentAheadGoBackUnstartedWhenTheWorkerFails) {
  {
    // av0 dies in test 0's call holding 2 and reserving 4: 0 is retried
    // first, then 2 and 4 in the order av0 would have run them, none of
    // them charged an attempt.
    InMemoryRun run(2);
    run.Start();
    for (size_t n = 0; n < 2; ++n) ASSERT_TRUE(run.Collect(n, 6).ok());
    ASSERT_TRUE(run.Send(0, R"({"event":"phase","index":0,"phase":"call"})").ok());
    ASSERT_TRUE(run.Fail(0, "Worker event pipe closed").ok());
    EXPECT_EQ(run.States(), (Traces{"pending/1", "running/1", "pending/0", "reserved/0", "pending/0", "reserved/0"}));
    ASSERT_TRUE(run.Collect(2, 6).ok());
    EXPECT_EQ(run.launcher().sent(2), (Traces{R"({"command":"init"})", R"({"command":"run","index":0,"next":2})",
                                              R"({"command":"run","index":2,"next":4})"}));
  }
  {
    // Between two tests, a worker that overruns its deadline before saying
    // anything about the next one has not started it: no retry, no
    // interruption, and the test goes to the replacement as a first attempt.
    InMemoryRun run(1);
    run.Start();
    ASSERT_TRUE(run.Collect(0, 3).ok());
    ASSERT_TRUE(run.Finish(0).ok());
    ASSERT_TRUE(run.Tick(0, 2.5).ok());
    EXPECT_EQ(run.States(), (Traces{"completed/1", "pending/0", "pending/0"}));
    ASSERT_TRUE(run.Collect(1, 3).ok());
    EXPECT_EQ(run.echoed(), (Traces{"collection", "start av0 #0 next 1", "finish av0 #0",
                                    "diagnostic av0 dispatch: exceeded 2.00s deadline", "start av1 #1 next 2"}));
  }
}

TEST(SupervisorInMemory, QuickTestsWaitSeveralToAWorkerAndGoBackUnstartedWhenItFails) {
  // Tests 0-13 took a millisecond last time, 14 a second, 15 and 16 are
  // new. Each worker holds its first test and one waiting; more wait only
  // while the waiting ones come to at most 10 ms, eight tests in all at
  // most.
  InMemoryRun run(2);
  for (int i = 0; i < 14; ++i) run.history().Record("t.py::test_" + std::to_string(i), 0.001);
  run.history().Record("t.py::test_14", 1.0);
  run.Start();
  for (size_t n = 0; n < 2; ++n) {
    Status collected = run.Collect(n, 17);
    ASSERT_TRUE(collected.ok()) << collected.message();
  }
  auto runs = [&](size_t n) {
    Traces indices;
    for (const std::string& line : run.launcher().sent(n)) {
      json::Value command = json::Parse(line).value();
      if (command.Find("index") != nullptr) indices.push_back(json::ToCompact(*command.Find("index")));
    }
    return indices;
  };
  // Longest first: 14, the new tests, then the quick ones. Behind 16, whose
  // length nobody knows, nothing more waits (1, reserved by av0, waits for
  // av0); behind 0 the quick ones do.
  EXPECT_EQ(runs(0), (Traces{"14", "16"}));
  EXPECT_EQ(runs(1), (Traces{"15", "0", "2", "3", "4", "5", "6", "7"}));
  // av1 finishes 15 and begins 0; one more is sent.
  ASSERT_TRUE(run.Finish(1).ok());
  ASSERT_TRUE(run.Send(1, R"({"event":"phase","index":0,"phase":"setup"})").ok());
  EXPECT_EQ(runs(1).back(), "8");
  // av1 dies in test 0: it is retried first, then the tests that waited,
  // in the order av1 would have run them, none charged an attempt.
  ASSERT_TRUE(run.Fail(1, "Worker event pipe closed").ok());
  ASSERT_TRUE(run.Collect(2, 17).ok());
  EXPECT_EQ(runs(2), (Traces{"0", "2", "3", "4", "5", "6", "7", "8"}));
  Traces states = run.States();
  EXPECT_EQ(states[0], "running/2");
  for (size_t i = 2; i <= 8; ++i) EXPECT_EQ(states[i], "reserved/0") << i;
  EXPECT_EQ(states[15], "completed/1");
}

TEST(SupervisorInMemory, TheFailureLimitStopsDispatchAndRetriesAndReplacements) {
  {
    // A failed test stops dispatch: the tests running elsewhere finish, and
    // every worker is then told to shut down.
    InMemoryRun run(3);
    run.spec().maxfail = 1;
    run.Start();
    for (size_t n = 0; n < 3; ++n) ASSERT_TRUE(run.Collect(n, 9).ok());
    ASSERT_TRUE(run.Finish(0, /*failed=*/true).ok());
    ASSERT_TRUE(run.Finish(1).ok());
    ASSERT_TRUE(run.Finish(2).ok());
    EXPECT_EQ(run.echoed(), (Traces{"collection", "start av0 #0 next 3", "start av1 #1 next 4", "start av2 #2 next 5",
                                    "finish av0 #0", "finish av1 #1", "finish av2 #2"}));
    for (size_t n = 0; n < 3; ++n) {
      EXPECT_EQ(run.launcher().sent(n).back(), R"({"command":"shutdown"})") << n;
      EXPECT_EQ(run.session(n).state(), SessionState::kShuttingDown) << n;
    }
    EXPECT_EQ(run.States(), (Traces{"completed/1", "completed/1", "completed/1", "reserved/0", "reserved/0",
                                    "reserved/0", "pending/0", "pending/0", "pending/0"}));
  }
  {
    // After the limit, a crash is not retried and no replacement starts.
    InMemoryRun run(2);
    run.spec().maxfail = 1;
    run.spec().retries = 2;
    run.Start();
    for (size_t n = 0; n < 2; ++n) ASSERT_TRUE(run.Collect(n, 4).ok());
    ASSERT_TRUE(run.Finish(0, /*failed=*/true).ok());
    ASSERT_TRUE(run.Fail(1, "Worker event pipe closed").ok());
    EXPECT_EQ(run.launcher().launches(), 2u);
    EXPECT_EQ(run.s().failures, 2u);
    EXPECT_EQ(run.echoed().back(), "interrupted av1 t.py::test_1 setup");
  }
  {
    // An interruption that reaches the limit starts no replacement either.
    InMemoryRun run(2);
    run.spec().maxfail = 1;
    run.spec().retries = 0;
    run.Start();
    for (size_t n = 0; n < 2; ++n) ASSERT_TRUE(run.Collect(n, 4).ok());
    ASSERT_TRUE(run.Fail(0, "Worker event pipe closed").ok());
    EXPECT_EQ(run.launcher().launches(), 2u);
    EXPECT_TRUE(run.s().stop);
    // av0's next test went back to the schedule; av1's stays reserved.
    EXPECT_EQ(run.States(), (Traces{"interrupted/1", "running/1", "pending/0", "reserved/0"}));
  }
}

TEST(SupervisorInMemory, EachStateIsHeldToItsDeadlineCountedFromTheLastPhase) {
  InMemoryRun run(2);
  run.spec().max_restarts = 0;
  run.spec().retries = 0;
  run.Start();
  const Supervisor& s = run.s();
  // Exactly at the limit is not an overrun; just past it is.
  EXPECT_FALSE(DeadlineOverrun(s, run.session(0), InMemoryRun::After(run.session(0).phase_clock, 3.0)));
  EXPECT_EQ(DeadlineOverrun(s, run.session(0), InMemoryRun::After(run.session(0).phase_clock, 3.01)),
            "exceeded 3.00s deadline");
  // A phase message during collection restarts the start-up clock.
  run.session(0).phase_clock -= std::chrono::hours(1);
  ASSERT_TRUE(run.Send(0, R"({"event":"phase","phase":"import"})").ok());
  EXPECT_FALSE(DeadlineOverrun(s, run.session(0), Clock::now()));

  // Waiting for the other manifest, a worker is held to the phase deadline.
  ASSERT_TRUE(run.Collect(0, 2).ok());
  EXPECT_EQ(DeadlineOverrun(s, run.session(0), InMemoryRun::After(run.session(0).phase_clock, 2.01)),
            "exceeded 2.00s deadline");
  ASSERT_TRUE(run.Collect(1, 2).ok());
  // Running: every phase message restarts the clock.
  run.session(0).phase_clock -= std::chrono::hours(1);
  ASSERT_TRUE(run.Send(0, R"({"event":"phase","index":0,"phase":"call"})").ok());
  EXPECT_FALSE(DeadlineOverrun(s, run.session(0), Clock::now()));
  ASSERT_TRUE(run.Finish(1).ok());  // nothing left for av1: it shuts down
  ASSERT_EQ(run.session(1).state(), SessionState::kShuttingDown);
  EXPECT_FALSE(DeadlineOverrun(s, run.session(1), InMemoryRun::After(run.session(1).phase_clock, 4.0)));

  // The supervisor recovers the overrun worker; a closed one has no deadline.
  ASSERT_TRUE(run.Tick(0, 2.5).ok());
  EXPECT_EQ(run.echoed().back(), "interrupted av0 t.py::test_0 call");
  EXPECT_EQ(run.echoed()[run.echoed().size() - 2], "diagnostic av0 call: exceeded 2.00s deadline");
  EXPECT_FALSE(DeadlineOverrun(s, run.session(0), InMemoryRun::After(run.session(0).phase_clock, 1e6)));
  // Overrunning the shutdown deadline ends the run.
  EXPECT_EQ(run.Tick(1, 4.5).message(), "av1 shutdown: exceeded 4.00s deadline. Worker log: " +
                                            WorkerLogPath(run.spec().run_dir, 1).string());
}

TEST(SupervisorInMemory, AnInternalErrorInATestCostsThatTestAndTheWorkerElsewhereTheRun) {
  InMemoryRun run(1);
  run.spec().retries = 0;
  run.Start();
  ASSERT_TRUE(run.Collect(0, 2).ok());
  ASSERT_TRUE(run.Send(0, R"({"event":"phase","index":0,"phase":"call"})").ok());
  ASSERT_TRUE(run.Send(0, R"({"event":"report","index":0,"when":"setup"})").ok());
  ASSERT_TRUE(run.Send(0, R"({"event":"internal_error","index":0,"message":"EOFError while running t.py::test_0"})").ok());
  ASSERT_TRUE(run.Collect(1, 2).ok());
  EXPECT_EQ(run.echoed(),
            (Traces{"collection", "start av0 #0 next 1",
                    R"(diagnostic av0 call: Worker internal error: "EOFError while running t.py::test_0")",
                    "report av0 #0", "interrupted av0 t.py::test_0 call", "start av1 #1 next null"}));
  EXPECT_EQ(run.States(), (Traces{"interrupted/1", "running/1"}));
  // Naming another test than the one running, or none, it ends the run.
  EXPECT_EQ(run.Send(1, R"({"event":"internal_error","index":0,"message":"x"})").message(), R"(Worker av1: "x")");
  InMemoryRun idle(1);
  idle.Start();
  ASSERT_TRUE(idle.Collect(0, 1).ok());
  ASSERT_TRUE(idle.Finish(0).ok());
  EXPECT_EQ(idle.Send(0, R"({"event":"internal_error","message":"y"})").message(), R"(Worker av0: "y")");
}

TEST(SupervisorInMemory, ACancelledRunWaitsForTeardownUntilEachEndsItsDeadlineOrASecondCancel) {
  auto push = [](InMemoryRun& run, size_t n, std::variant<WorkerMessage, std::string> payload) {
    ASSERT_TRUE(run.s().event_sender.Send(WorkerEvent{n, std::move(payload)}));
  };
  {
    // av0 says exited, av1's output ends, av2 lets its deadline pass, av3
    // is still collecting: nothing of its session to tear down.
    InMemoryRun run(4);
    run.spec().shutdown_timeout = 0.2;
    run.Start();
    for (size_t n = 0; n < 3; ++n) ASSERT_TRUE(run.Collect(n, 2).ok());
    run.s().cancel->store(kCancelInOrder);
    push(run, 0, DecodeWorkerMessage(json::Parse(R"({"event":"exited","code":2})").value()));
    push(run, 1, std::string("Worker event pipe closed"));
    ASSERT_TRUE(WaitForTeardown(run.s()).ok());
    run.launcher().Drain();
    for (size_t n = 0; n < 3; ++n) EXPECT_EQ(run.launcher().sent(n).back(), "interrupt") << n;
    EXPECT_EQ(run.launcher().sent(3), (Traces{R"({"command":"init"})"}));
    ASSERT_TRUE(run.s().log.Release().ok());
    EXPECT_EQ(run.echoed(), (Traces{"diagnostic Run cancelled; teardown cut short on av2 at its 0.20s shutdown deadline"}));
  }
  {
    // Cancelled again: the running av0 and the shutting-down av1 are only named.
    InMemoryRun run(2);
    run.Start();
    for (size_t n = 0; n < 2; ++n) ASSERT_TRUE(run.Collect(n, 1).ok());
    ASSERT_EQ(run.session(1).state(), SessionState::kShuttingDown);
    run.s().cancel->store(kCancelNow);
    ASSERT_TRUE(WaitForTeardown(run.s()).ok());
    for (size_t n = 0; n < 2; ++n) EXPECT_NE(run.launcher().sent(n).back(), "interrupt") << n;
    EXPECT_EQ(run.echoed().back(), "diagnostic Run cancelled again; teardown cut short on av0, av1");
  }
}

TEST(SupervisorInMemory, AnExitAndItsClosedPipesCountOnceInAnyOrder) {
  // The exit ends the worker; a failed write to it before or after, and the
  // end of its output, change nothing.
  for (bool exited_first : {true, false}) {
    InMemoryRun run(2);
    run.Start();
    for (size_t n = 0; n < 2; ++n) ASSERT_TRUE(run.Collect(n, 2).ok());
    if (exited_first) {
      ASSERT_TRUE(run.Exit(0).ok());
      ASSERT_TRUE(run.Fail(0, "Worker control pipe closed").ok());
    } else {
      ASSERT_TRUE(run.Fail(0, "Worker control pipe closed").ok());
      ASSERT_TRUE(run.Exit(0).ok());
    }
    ASSERT_TRUE(run.Fail(0, "Worker event pipe closed").ok());
    EXPECT_EQ(run.echoed(), (Traces{"collection", "start av0 #0 next null", "start av1 #1 next null",
                                    "diagnostic av0 dispatch: Worker session ended unexpectedly", "retry #0"}))
        << exited_first;
    EXPECT_EQ(run.s().restarts, 1u);
    EXPECT_EQ(run.session(0).state(), SessionState::kClosed);
  }
}

TEST(SupervisorInMemory, AFailedShutdownFailsTheRunOnceTheOtherWorkersTestsFinish) {
  // A plugin's pytest.exit(returncode=3) in sessionfinish: every test ran.
  InMemoryRun run(2);
  run.Start();
  for (size_t n = 0; n < 2; ++n) ASSERT_TRUE(run.Collect(n, 2).ok());
  ASSERT_TRUE(run.Finish(0).ok());
  ASSERT_TRUE(run.Send(0, R"({"event":"exited","code":3})").ok());
  EXPECT_EQ(run.session(0).state(), SessionState::kClosed);
  ASSERT_TRUE(run.Finish(1).ok());
  ASSERT_TRUE(run.Send(1, R"({"event":"exited","code":3})").ok());
  EXPECT_EQ(run.States(), (Traces{"completed/1", "completed/1"}));
  ASSERT_TRUE(run.s().shutdown_failure.has_value());
  EXPECT_EQ(run.s().shutdown_failure->message, "Worker av0 session shutdown failed with exit code 3");
}

TEST(SupervisorInMemory, AWorkerGivenUpOrExitedLetsGoOfItsInputAtOnce) {
  // Each closed session releases its command channel (and so its control
  // writer and its input pipe) then, not at the end of the run: a run of
  // many replacements holds them for the live workers only.
  InMemoryRun run(2);
  run.Start();
  for (size_t n = 0; n < 2; ++n) ASSERT_TRUE(run.Collect(n, 3).ok());
  ASSERT_TRUE(run.Fail(0, "Worker event pipe closed").ok());
  EXPECT_TRUE(run.launcher().released(0));
  EXPECT_FALSE(run.launcher().released(1));
  ASSERT_TRUE(run.Collect(2, 3).ok());
  for (int i = 0; i < 3 && run.session(1).state() == SessionState::kRunning; ++i) ASSERT_TRUE(run.Finish(1).ok());
  ASSERT_EQ(run.session(1).state(), SessionState::kShuttingDown);
  ASSERT_TRUE(run.Exit(1).ok());
  EXPECT_TRUE(run.launcher().released(1));
  EXPECT_FALSE(run.launcher().released(2));
}

TEST(SupervisorInMemory, TheEndOfARunTakesEachWorkersOutputBeforeAbandoningItsTest) {
  // Cancelled while av0's "finished" of test 0 and its first messages of
  // test 1, sent ahead, were still unread: 0 is completed and 1, which av0
  // had begun, is the test abandoned, in its own phase. av1's output has no
  // end in sight: what it had written is taken all the same, without a wait.
  InMemoryRun run(2);
  run.Start();
  for (size_t n = 0; n < 2; ++n) ASSERT_TRUE(run.Collect(n, 6).ok());
  for (const char* phase : {"setup", "call", "teardown"}) {
    ASSERT_TRUE(run.Send(0, std::string(R"({"event":"phase","index":0,"phase":")") + phase + "\"}").ok());
  }
  run.Queue(1, R"({"event":"phase","index":1,"phase":"call"})");
  run.Queue(0, R"({"event":"finished","index":0,"duration":0.1,"failed":false})");
  run.Queue(0, R"({"event":"phase","index":2,"phase":"setup"})");
  run.Queue(0, R"({"event":"report","index":2,"when":"setup"})");
  run.Queue(0, "Worker event pipe closed", true);
  run.Queue(0, R"({"event":"phase","index":2,"phase":"call"})");  // past its end: never read
  run.s().stop = true;
  run.s().exit_status = 2;
  ASSERT_TRUE(TakeOutputToItsEnd(run.s(), std::chrono::nanoseconds(0)).ok());
  ASSERT_TRUE(AbandonInFlight(run.s()).ok());
  const Traces logged = run.Logged();
  EXPECT_EQ(Traces(logged.end() - 8, logged.end()),
            (Traces{"event av1 phase", "event av0 finished", "finish av0 #0", "start av0 #2 next 4",
                    "event av0 phase", "event av0 report", "aborted av0 #2 setup", "aborted av1 #1 call"}));
  EXPECT_EQ(run.States(),
            (Traces{"completed/1", "interrupted/1", "interrupted/1", "reserved/0", "reserved/0", "reserved/0"}));
  // Nothing was sent once the run had ended.
  EXPECT_EQ(run.launcher().sent(0).back(), R"({"command":"run","index":2,"next":4})");
}

TEST(SupervisorInMemory, ACancellationWhileTheWorkersStartStartsNoOther) {
  InMemoryRun run(8);
  run.Create();
  run.launcher().cancel_at = 2;
  ASSERT_TRUE(RunSupervisor(run.s()).ok());
  EXPECT_EQ(run.s().exit_status, 2);
  EXPECT_EQ(run.launcher().launches(), 3u);
  EXPECT_EQ(run.Logged(), (Traces{"worker_spawned", "worker_spawned", "worker_spawned",
                                  "diagnostic Run cancelled; terminating owned workers"}));
  // Cancelled before the first start: none starts, and the run is still
  // cancelled, not ended as if every worker had finished.
  InMemoryRun early(2);
  early.Create();
  early.s().cancel->store(true);
  ASSERT_TRUE(RunSupervisor(early.s()).ok());
  EXPECT_EQ(early.s().exit_status, 2);
  EXPECT_EQ(early.launcher().launches(), 0u);
}

TEST(SupervisorInMemory, AFailedWriteWaitsForTheMessagesStillInTheWorkersOutput) {
  {
    // av0 dies in test 0's call while test 1's "run" is written to it, and
    // the failed write is seen first. Its last messages are still logged in
    // order, and test 0 is judged on them when its output ends; test 1 and
    // the reserved 2 go back unstarted.
    InMemoryRun run(1);
    run.spec().retries = 0;
    run.Start();
    ASSERT_TRUE(run.Collect(0, 3).ok());
    ASSERT_TRUE(run.Fail(0, "Worker control pipe closed").ok());
    EXPECT_EQ(run.echoed(), (Traces{"collection", "start av0 #0 next 1"}));
    ASSERT_TRUE(run.Send(0, R"({"event":"phase","index":0,"phase":"setup"})").ok());
    ASSERT_TRUE(run.Send(0, R"({"event":"report","index":0,"when":"setup"})").ok());
    ASSERT_TRUE(run.Send(0, R"({"event":"phase","index":0,"phase":"call"})").ok());
    ASSERT_TRUE(run.Fail(0, "Worker event pipe closed").ok());
    EXPECT_EQ(run.Logged(),
              (Traces{"worker_spawned", "event av0 collected", "collection", "start av0 #0 next 1", "event av0 phase",
                      "event av0 report", "event av0 phase", "diagnostic av0 call: Worker event pipe closed",
                      "report av0 #0", "interrupted av0 t.py::test_0 call", "worker_spawned"}));
    EXPECT_EQ(run.States(), (Traces{"interrupted/1", "pending/0", "pending/0"}));
    ASSERT_TRUE(run.Collect(1, 3).ok());
    EXPECT_EQ(run.launcher().sent(1), (Traces{R"({"command":"init"})", R"({"command":"run","index":1,"next":2})",
                                              R"({"command":"run","index":2,"next":null})"}));
  }
  {
    // av0 finishes test 0 after the failed write, and its output ends
    // before it says anything of test 1: 0 is completed, nothing more is
    // sent to av0, and 1 runs once, on the replacement, as a first attempt.
    InMemoryRun run(1);
    run.Start();
    ASSERT_TRUE(run.Collect(0, 4).ok());
    ASSERT_TRUE(run.Fail(0, "Worker control pipe closed").ok());
    ASSERT_TRUE(run.Finish(0).ok());
    EXPECT_EQ(run.launcher().sent(0).size(), 3u);
    ASSERT_TRUE(run.Fail(0, "Worker event pipe closed").ok());
    EXPECT_EQ(run.States(), (Traces{"completed/1", "pending/0", "pending/0", "pending/0"}));
    ASSERT_TRUE(run.Collect(1, 4).ok());
    ASSERT_TRUE(run.Finish(1).ok());
    EXPECT_EQ(run.echoed(),
              (Traces{"collection", "start av0 #0 next 1", "finish av0 #0",
                      "diagnostic av0 dispatch: Worker event pipe closed", "start av1 #1 next 2", "finish av1 #1"}));
    EXPECT_EQ(run.States(), (Traces{"completed/1", "completed/1", "reserved/0", "reserved/0"}));
  }
}

TEST(SupervisorInMemory, AWorkerThatClosedItsInputButLivesOnIsGivenUpAfterTheGrace) {
  InMemoryRun run(1);
  run.spec().phase_timeout = 10;
  run.Start();
  ASSERT_TRUE(run.Collect(0, 3).ok());
  ASSERT_TRUE(run.Fail(0, "Worker control pipe closed").ok());
  ASSERT_TRUE(run.session(0).control_lost);
  // Within its test only the phase deadline holds it: it may finish it.
  ASSERT_TRUE(run.TickAt(InMemoryRun::After(*run.session(0).control_lost, 5)).ok());
  ASSERT_TRUE(run.Finish(0).ok());
  // Between tests it has the grace, counted from the end of its test.
  ASSERT_TRUE(run.Tick(0, kControlLostGrace).ok());
  EXPECT_EQ(run.echoed().back(), "finish av0 #0");
  ASSERT_TRUE(run.Tick(0, kControlLostGrace + 0.01).ok());
  EXPECT_EQ(run.echoed(), (Traces{"collection", "start av0 #0 next 1", "finish av0 #0",
                                  "diagnostic av0 dispatch: Worker control pipe closed"}));
  EXPECT_EQ(run.States(), (Traces{"completed/1", "pending/0", "pending/0"}));
  EXPECT_EQ(run.launcher().launches(), 2u);
  // The end of its output, once it has been given up, changes nothing.
  ASSERT_TRUE(run.Fail(0, "Worker event pipe closed").ok());
  EXPECT_EQ(run.echoed().size(), 4u);
  EXPECT_EQ(run.s().restarts, 1u);
}

TEST(SupervisorInMemory, CommandsRefusedByAnEndedWriterKeepTheirTestsUnstarted) {
  {
    // The writer ended before the supervisor heard of it: the "run" sent
    // ahead after test 0 is refused, and its test waits unstarted with the
    // one already queued.
    InMemoryRun run(1);
    run.Start();
    ASSERT_TRUE(run.Collect(0, 4).ok());
    run.launcher().CloseControl(0);
    ASSERT_TRUE(run.Finish(0).ok());
    EXPECT_TRUE(run.session(0).control_lost);
    EXPECT_EQ(run.session(0).queued_tests, (std::deque<uint64_t>{1, 2}));
    EXPECT_EQ(run.States(), (Traces{"completed/1", "reserved/0", "reserved/0", "reserved/0"}));
    ASSERT_TRUE(run.Fail(0, "Worker event pipe closed").ok());
    EXPECT_EQ(run.States(), (Traces{"completed/1", "pending/0", "pending/0", "pending/0"}));
  }
  {
    // Handing out one test at a time (maxfail), the refused "run" is that
    // of an idle worker's next test: it is not started, and goes back.
    InMemoryRun run(1);
    run.spec().maxfail = 5;
    run.spec().phase_timeout = 10;
    run.Start();
    ASSERT_TRUE(run.Collect(0, 3).ok());
    run.launcher().CloseControl(0);
    ASSERT_TRUE(run.Finish(0).ok());
    EXPECT_EQ(run.States(), (Traces{"completed/1", "reserved/0", "reserved/0"}));
    ASSERT_TRUE(run.TickAt(InMemoryRun::After(*run.session(0).control_lost, kControlLostGrace + 0.01)).ok());
    EXPECT_EQ(run.echoed(), (Traces{"collection", "start av0 #0 next 1", "finish av0 #0",
                                    "diagnostic av0 dispatch: Worker control pipe closed"}));
    EXPECT_EQ(run.States(), (Traces{"completed/1", "pending/0", "pending/0"}));
  }
  {
    // A refused "shutdown" leaves the worker ready, not shutting down: the
    // end of its output then gives it up without ending the run.
    InMemoryRun run(1);
    run.Start();
    ASSERT_TRUE(run.Collect(0, 1).ok());
    run.launcher().CloseControl(0);
    ASSERT_TRUE(run.Finish(0).ok());
    EXPECT_EQ(run.session(0).state(), SessionState::kReady);
    ASSERT_TRUE(run.Fail(0, "Worker event pipe closed").ok());
    EXPECT_EQ(run.echoed().back(), "diagnostic av0 ready: Worker event pipe closed");
    EXPECT_EQ(run.States(), (Traces{"completed/1"}));
    EXPECT_EQ(run.launcher().launches(), 1u);
  }
}

}  // namespace
}  // namespace aurvane::testing
