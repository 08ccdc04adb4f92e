// Giving up a failed worker and settling its work.
#include "process/io_threads.h"
#include "process/launch.h"
#include "supervisor/internal.h"
#include "supervisor/supervisor.h"

namespace aurvane {

namespace {

// Recovery reports the phase of an interrupted test in three words only.
std::string_view InterruptedPhase(const std::string& phase) {
  if (phase == "call" || phase == "teardown") return phase;
  return "setup";
}

}  // namespace

Status HandleFailure(Supervisor& s, size_t n, const std::string& failure) {
  assert(n < s.sessions.size() && "failure of a worker that was never started");
  WorkerSession& session = s.sessions[n];
  if (failure != kControlPipeClosed || session.closed()) return RecoverWorker(s, n, failure);
  // Its output is still open: whatever the worker wrote before it closed
  // its input is still to come, and may finish its test.
  session.LoseControl(Clock::now());
  return Status::Ok();
}

Status RecoverWorker(Supervisor& s, size_t n, const std::string& reason) {
  assert(n < s.sessions.size() && "recovery of a worker that was never started");
  WorkerSession& session = s.sessions[n];
  // A second failure report of the same worker (its other I/O thread, or the
  // pipe closing after a clean exit) changes nothing.
  if (session.closed()) return Status::Ok();
  const SessionState was = session.state();
  session.MoveTo(SessionState::kClosed);
  session.job.Terminate();
  // Its input goes now, not at the end of the run: with it its control
  // writer ends, so that a run of many replacements holds a descriptor and
  // a thread per live worker only.
  session.commands.Reset();

  // The end of its output says nothing of why it ended: the signal that
  // ended it, where the platform tells, does.
  std::string why = reason;
  if (std::optional<std::string> signal = session.job.EndedBySignal()) why += "; the worker was " + *signal;
  const std::string message = WorkerName(n) + " " + session.phase + ": " + why +
                              ". Worker log: " + WorkerLogPath(s.spec.run_dir, n).string();
  if (Status logged = s.log.LogDiagnostic(message); !logged.ok()) return logged;

  TestGroup requeue;
  std::optional<uint64_t> test = session.current_test;
  session.current_test.reset();
  if (!test) {
    // Only a Ready worker leaves the run going; one that failed while
    // starting or shutting down ends it.
    if (was != SessionState::kReady) return Error{message};
  } else if (s.tables.attempts[*test] > s.spec.retries || s.stop) {
    s.tables.states[*test] = TestState::kInterrupted;
    ++s.failures;
    if (Status flushed = FlushReports(s, session); !flushed.ok()) return flushed;
    const std::string worker = WorkerName(n);
    if (Status logged = s.log.LogInterrupted({RecordFor(s, *test), SecondsSince(session.attempt_clock),
                                              InterruptedPhase(session.phase), message, worker});
        !logged.ok()) {
      return logged;
    }
  } else {
    const Item& item = (*s.tables.reference)[*test];
    s.tables.states[*test] = TestState::kPending;
    requeue.push_back(*test);
    // The attempt's messages are already in the log as "worker_event" records.
    session.pending_reports.clear();
    if (Status logged = s.log.LogRetry(*test, item.nodeid, s.tables.attempts[*test]); !logged.ok()) return logged;
  }

  // Tests sent ahead but not begun go back unchanged, in the order the
  // worker would have taken them.
  for (uint64_t queued : session.queued_tests) requeue.push_back(queued);
  session.queued_tests.clear();
  if (session.next_test) {
    requeue.push_back(*session.next_test);
    session.next_test.reset();
  }
  while (!session.current_group.empty()) requeue.push_back(session.current_group.pop_front());
  for (uint64_t index : requeue) s.tables.states[index] = TestState::kPending;
  if (!requeue.empty()) s.tables.schedule.PutBack(std::move(requeue));

  if (s.spec.maxfail > 0 && s.failures >= s.spec.maxfail) {
    s.stop = true;
    return Status::Ok();
  }
  if (!s.stop && s.tables.schedule.groups_waiting() > 0) {
    if (s.restarts >= s.spec.max_restarts) {
      return Error{"Worker restart budget exhausted; remaining tests were not run"};
    }
    ++s.restarts;
    return StartWorker(s);
  }
  return Status::Ok();
}

}  // namespace aurvane
