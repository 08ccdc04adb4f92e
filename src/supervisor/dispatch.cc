// Handing tests to workers and recording what comes back.
#include "process/launch.h"
#include "supervisor/supervisor.h"

namespace aurvane {

namespace {

Status ShutDown(Supervisor& s, size_t n) {
  WorkerSession& session = s.sessions[n];
  session.MoveTo(SessionState::kShuttingDown);
  session.phase = "shutdown";
  session.phase_clock = Clock::now();
  json::Object command;
  command.emplace("command", "shutdown");
  return SendCommand(session.commands, n, json::Value(std::move(command)));
}

// A session that can be given a test now: nothing handed out is unfinished.
bool TakesWork(const WorkerSession& session) {
  return session.state() == SessionState::kReady && session.queued_tests.empty();
}

// How many unfinished tests a worker holds at once: the one it runs and one
// waiting in its pipe, so that it never waits for a round trip between
// tests. With maxfail, one: a test already sent would still run after the
// run has stopped dispatching.
size_t HandOutDepth(const Supervisor& s) { return s.spec.maxfail > 0 ? 1 : 2; }

size_t HandedOut(const WorkerSession& session) {
  return (session.current_test ? 1 : 0) + session.queued_tests.size();
}

Status SendRun(WorkerSession& session, size_t n, uint64_t test, std::optional<uint64_t> next) {
  json::Object command;
  command.emplace("command", "run");
  command.emplace("index", test);
  command.emplace("next", next ? json::Value(*next) : json::Value());
  return SendCommand(session.commands, n, json::Value(std::move(command)));
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
  if (Status begun = BeginTest(s, n, *test, session.next_test); !begun.ok()) return begun;
  return SendRun(session, n, *test, session.next_test);
}

// The reserved next test is sent ahead, announcing the one after it. It
// stays reserved, not running, until the worker's first message about it.
Status SendAhead(Supervisor& s, size_t n) {
  WorkerSession& session = s.sessions[n];
  const SessionState state = session.state();
  if (state != SessionState::kReady && state != SessionState::kRunning) return Status::Ok();
  while (!s.stop && session.next_test && HandedOut(session) > 0 && HandedOut(session) < HandOutDepth(s)) {
    const uint64_t test = *session.next_test;
    session.next_test = Reserve(session.current_group, s.tables.schedule, s.tables.states);
    session.queued_tests.push_back(test);
    if (Status sent = SendRun(session, n, test, session.next_test); !sent.ok()) return sent;
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
  // next; then, round by round again, each sends a test ahead.
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
  for (size_t i = 0; i < s.sessions.size(); ++i) {
    if (Status sent = SendAhead(s, i); !sent.ok()) return sent;
  }
  return Status::Ok();
}

Status Dispatch(Supervisor& s, size_t n) {
  if (Status dispatched = DispatchIdle(s, n); !dispatched.ok()) return dispatched;
  return SendAhead(s, n);
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

Status RecordResult(Supervisor& s, size_t n, uint64_t test, const json::Object& message) {
  WorkerSession& session = s.sessions[n];
  s.tables.states[test] = TestState::kCompleted;
  if (Status flushed = FlushReports(s, session); !flushed.ok()) return flushed;

  auto duration = message.find("duration");
  if (duration == message.end() || !duration->second.is_number()) return Error{"Missing duration"};
  const double seconds = duration->second.number();
  // Kept by test index, and only when the history is written back: a node
  // id per test would grow the controller by the suite's size again.
  if (s.spec.history && DurationHistory::IsUsable(seconds)) s.tables.durations[test] = seconds;

  auto failed = message.find("failed");
  const json::Value* failed_value = failed == message.end() ? nullptr : &failed->second;
  const std::string worker = WorkerName(n);
  if (Status logged = s.log.LogFinish({RecordFor(s, test), seconds, failed_value, worker}); !logged.ok()) {
    return logged;
  }

  if (failed != message.end() && failed->second.is_true()) ++s.failures;
  if (s.spec.maxfail > 0 && s.failures >= s.spec.maxfail) s.stop = true;
  if (!session.queued_tests.empty()) {
    // The worker takes its first queued test now, without waiting for us.
    session.phase = "dispatch";
    session.phase_clock = session.attempt_clock = Clock::now();
  }
  return Dispatch(s, n);
}

}  // namespace aurvane
