// Handing tests to workers and recording what comes back.
#include <limits>
#include <vector>

#include "process/launch.h"
#include "supervisor/internal.h"
#include "supervisor/supervisor.h"

namespace aurvane {

namespace {

// A worker told to shut down is held to the shutdown deadline. One that
// cannot be told stays as it is, and the end of its output, or the grace,
// ends it as a ready worker.
Status ShutDown(Supervisor& s, size_t n) {
  WorkerSession& session = s.sessions[n];
  json::Object command;
  command.emplace("command", "shutdown");
  Result<bool> sent = SendToWorker(session, n, json::Value(std::move(command)));
  if (!sent.ok() || !sent.value()) return sent.status();
  session.MoveTo(SessionState::kShuttingDown);
  session.phase = "shutdown";
  session.phase_clock = Clock::now();
  return Status::Ok();
}

// A session that can be given a test now: nothing handed out is unfinished,
// and its input is open.
bool TakesWork(const WorkerSession& session) {
  return session.state() == SessionState::kReady && session.queued_tests.empty() && !session.control_lost;
}

// How many unfinished tests a worker holds at most: the one it runs and
// those waiting in its pipe. One waiting test spares it the round trip
// between two tests. A few more spare it the wait for the controller
// itself, which on a busy machine gets a core only when a worker waits or
// at the scheduler's next tick (its threads do not preempt workers): with
// only one test waiting, a worker of quick tests waited for it about once a
// test, and each wait cost it its caches as well as the wait. With maxfail,
// one: a test already sent would still run after the run has stopped
// dispatching.
constexpr size_t kMostTestsHandedOut = 8;
// A worker's commands wait for its writer only while its pipe is full (or,
// on Windows, until the writer takes them): every test handed out, and one
// more command, must fit in its queue.
static_assert(kMostTestsHandedOut + 1 <= kCommandQueueCapacity);
size_t HandOutDepth(const Supervisor& s) { return s.spec.maxfail > 0 ? 1 : kMostTestsHandedOut; }

// Tests beyond the first waiting one are sent only while the history says
// that all the waiting tests together take at most this long: it bounds
// the work a worker holds that another, idle at the end of the run, could
// have done. A test without a history never waits behind another.
constexpr double kAheadBudgetSeconds = 0.01;

size_t HandedOut(const WorkerSession& session) {
  return (session.current_test ? 1 : 0) + session.queued_tests.size();
}

// The duration the history gave `test` (a test still to be sent has not
// run in this run); NaN when it has none.
double ExpectedSeconds(const Supervisor& s, uint64_t test) {
  const std::vector<double>& durations = s.tables.durations;
  if (test < durations.size() && DurationHistory::IsUsable(durations[test])) return durations[test];
  return std::numeric_limits<double>::quiet_NaN();
}

// Whether `test` may be sent to wait in the worker's pipe behind the tests
// already there.
bool MaySendAhead(const Supervisor& s, const WorkerSession& session, uint64_t test, size_t most) {
  const size_t held = HandedOut(session);
  if (held == 0 || held >= most) return false;
  if (held < 2) return true;
  double waiting = ExpectedSeconds(s, test);
  for (uint64_t queued : session.queued_tests) waiting += ExpectedSeconds(s, queued);
  // NaN (a test without a history) fails the comparison.
  return waiting <= kAheadBudgetSeconds;
}

// True when the "run" was queued for the worker (see SendToWorker).
Result<bool> SendRun(WorkerSession& session, size_t n, uint64_t test, std::optional<uint64_t> next) {
  json::Object command;
  command.emplace("command", "run");
  command.emplace("index", test);
  command.emplace("next", next ? json::Value(*next) : json::Value());
  return SendToWorker(session, n, json::Value(std::move(command)));
}

// Makes `test` the session's running test and writes its "start" record;
// `next` is the test its "run" announced.
Status BeginTest(Supervisor& s, size_t n, uint64_t test, std::optional<uint64_t> next) {
  WorkerSession& session = s.sessions[n];
  session.current_test = test;
  session.MoveTo(SessionState::kRunning);
  session.pending_reports.clear();
  s.tables.states[test] = TestState::kRunning;
  uint32_t attempt = ++s.tables.attempts[test];
  const std::string worker = WorkerName(n);
  return s.log.LogStart({RecordFor(s, test), attempt, next, worker});
}

// An idle worker gets a test (or shutdown), its successor reserved. It
// begins the test as soon as the command reaches it.
Status DispatchIdle(Supervisor& s, size_t n) {
  WorkerSession& session = s.sessions[n];
  // A worker with a test in flight takes no other: a repeated "collected"
  // must not make the supervisor lose track of the running test.
  if (!TakesWork(session)) return Status::Ok();
  if (s.stop) return ShutDown(s, n);

  std::optional<uint64_t> test = session.next_test;
  session.next_test.reset();
  if (!test) test = Reserve(session.current_group, s.tables.schedule, s.tables.states);
  if (!test) return ShutDown(s, n);
  session.next_test = Reserve(session.current_group, s.tables.schedule, s.tables.states);
  session.phase = "dispatch";
  session.phase_clock = session.attempt_clock = Clock::now();
  Result<bool> sent = SendRun(session, n, *test, session.next_test);
  if (!sent.ok()) return sent.status();
  if (!sent.value()) {
    // It never reached the worker, whose input is closed: held like a test
    // sent ahead, it goes back unstarted with the worker's other tests.
    session.queued_tests.push_back(*test);
    return Status::Ok();
  }
  return BeginTest(s, n, *test, session.next_test);
}

// The reserved next test is sent ahead, announcing the one after it, while
// the worker holds fewer than `most` tests. It stays reserved, not running,
// until the worker's first message about it.
Status SendAhead(Supervisor& s, size_t n, size_t most) {
  WorkerSession& session = s.sessions[n];
  const SessionState state = session.state();
  if (state != SessionState::kReady && state != SessionState::kRunning) return Status::Ok();
  // A "run" that finds the worker's input closed leaves its test queued,
  // unstarted, and ends this.
  while (!s.stop && !session.control_lost && session.next_test &&
         MaySendAhead(s, session, *session.next_test, most)) {
    const uint64_t test = *session.next_test;
    session.next_test = Reserve(session.current_group, s.tables.schedule, s.tables.states);
    session.queued_tests.push_back(test);
    if (Result<bool> sent = SendRun(session, n, test, session.next_test); !sent.ok()) return sent.status();
  }
  return Status::Ok();
}

}  // namespace

RecordSource RecordFor(const Supervisor& s, uint64_t test) { return RecordSource{(*s.tables.reference)[test]}; }

Status BeginDispatching(Supervisor& s) {
  s.dispatch_started = true;
  if (Status logged = s.log.LogCollection(s.tables.test_count(), s.spec.workers); !logged.ok()) return logged;
  // Every worker takes its first test before any worker reserves the test
  // to follow it. The schedule puts the longest tests first; dispatching
  // worker by worker would give worker 0 the two longest back to back,
  // which then sets the length of the run, while the others start on
  // shorter ones. Each worker runs the test held here and reserves the
  // next; then, round by round again, each sends a test ahead, and as many
  // more rounds as a worker may hold tests.
  if (!s.stop) {
    for (WorkerSession& session : s.sessions) {
      if (TakesWork(session) && !session.next_test) {
        session.next_test = Reserve(session.current_group, s.tables.schedule, s.tables.states);
      }
    }
  }
  for (size_t i = 0; i < s.sessions.size(); ++i) {
    if (Status dispatched = DispatchIdle(s, i); !dispatched.ok()) return dispatched;
  }
  for (size_t most = 2; most <= HandOutDepth(s); ++most) {
    for (size_t i = 0; i < s.sessions.size(); ++i) {
      if (Status sent = SendAhead(s, i, most); !sent.ok()) return sent;
    }
  }
  return Status::Ok();
}

Status Dispatch(Supervisor& s, size_t n) {
  if (s.ended) return Status::Ok();
  if (Status dispatched = DispatchIdle(s, n); !dispatched.ok()) return dispatched;
  return SendAhead(s, n, HandOutDepth(s));
}

Status BeginQueuedTest(Supervisor& s, size_t n) {
  WorkerSession& session = s.sessions[n];
  const uint64_t test = session.queued_tests.front();
  session.queued_tests.pop_front();
  // Every "run" announced the test of the "run" after it as its next.
  std::optional<uint64_t> next =
      session.queued_tests.empty() ? session.next_test : std::optional(session.queued_tests.front());
  return BeginTest(s, n, test, next);
}

Status FlushReports(Supervisor& s, WorkerSession& session) {
  std::vector<json::Value> reports = std::move(session.pending_reports);
  session.pending_reports.clear();
  for (json::Value& report : reports) {
    if (Status logged = s.log.LogWorkerRecord(std::move(report.as_object())); !logged.ok()) return logged;
  }
  return Status::Ok();
}

Status RecordResult(Supervisor& s, size_t n, uint64_t test, const wire::Finished& finished) {
  WorkerSession& session = s.sessions[n];
  s.tables.states[test] = TestState::kCompleted;
  if (Status flushed = FlushReports(s, session); !flushed.ok()) return flushed;

  if (!finished.duration) return Error{"Missing duration"};
  const double seconds = *finished.duration;
  // Kept by test index, and only when the history is written back: a node
  // id per test would grow the controller by the suite's size again.
  if (s.spec.history && DurationHistory::IsUsable(seconds)) s.tables.durations[test] = seconds;

  const json::Value* failed = finished.failed ? &*finished.failed : nullptr;
  const std::string worker = WorkerName(n);
  if (Status logged = s.log.LogFinish({RecordFor(s, test), seconds, failed, worker}); !logged.ok()) {
    return logged;
  }

  if (finished.failed_true()) ++s.failures;
  if (s.spec.maxfail > 0 && s.failures >= s.spec.maxfail) s.stop = true;
  // The worker takes its first queued test now, without waiting for us;
  // with none it waits for us. Dispatch moves on from here, except for a
  // worker whose input is closed, whose grace counts from here.
  session.phase = session.queued_tests.empty() ? "ready" : "dispatch";
  session.phase_clock = session.attempt_clock = Clock::now();
  return Dispatch(s, n);
}

}  // namespace aurvane
