// One launched worker as the supervisor sees it: where it is in its life,
// the test it runs and the test reserved to follow, and its deadline clock.
#ifndef AURVANE_SUPERVISOR_SESSION_H_
#define AURVANE_SUPERVISOR_SESSION_H_

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.h"
#include "process/launch.h"
#include "process/worker_event.h"
#include "process/worker_job.h"
#include "scheduler/schedule.h"
#include "util/clock.h"
#include "util/queue.h"
#include "util/result.h"

namespace aurvane {

// A session's life:
//
//   starting ──"collected"──▶ ready ──dispatch──▶ running
//                              │  ◀──"finished"──┘
//                              └──shutdown──▶ shutting down
//
// and from any of them to closed: given up by recovery, ended by its
// "exited" message during shutdown, or released at the end of the run.
enum class SessionState : uint8_t { kStarting, kReady, kRunning, kShuttingDown, kClosed };

// Whether a session may go from `from` to `to`; the one place that says so.
bool IsLegalTransition(SessionState from, SessionState to);

// One launched worker. A session's number is its position in the session
// list; sessions are never removed, so numbers are never reused.
struct WorkerSession {
  WorkerJob job;  // empty for sessions without a process (tests)
  CommandChannel commands;
  std::optional<uint64_t> current_test;  // the test in flight: set exactly while running
  // Tests whose "run" was sent after current_test and that the worker has
  // not begun yet, in the order it will take them. A ready session with
  // queued tests is between two tests, not idle.
  std::deque<uint64_t> queued_tests;
  std::optional<uint64_t> next_test;  // reserved, announced by the last "run" sent
  // The phase as reported in diagnostics and records: the state's own name
  // for it, or the test phase the worker last announced.
  std::string phase = "startup/collection";
  TestGroup current_group;
  std::vector<json::Value> pending_reports;  // "report" messages of the attempt in flight
  Instant phase_clock;    // base of the deadline
  Instant attempt_clock;  // when the test in flight was dispatched
  // When the worker's input was found closed (a write to it failed). From
  // then on nothing is sent to it; what it still writes is taken as usual,
  // and the end of its output, a deadline, or kControlLostGrace with no
  // test in flight ends it.
  std::optional<Instant> control_lost;
  // After a first cancellation: the worker was interrupted (or was shutting
  // down already) and is waited for while it tears down, until it ends or
  // its shutdown deadline passes.
  bool tearing_down = false;

  SessionState state() const { return state_; }
  bool closed() const { return state_ == SessionState::kClosed; }

  // Moves to `next`, which must be a legal transition from the current state.
  void MoveTo(SessionState next);
  // The worker's input is closed: keeps the first instant it was found so.
  void LoseControl(Instant now) {
    if (!control_lost) control_lost = now;
  }

 private:
  SessionState state_ = SessionState::kStarting;
};

// Offers `command` to the session's worker `n`, as SendCommand does. True
// when it was written or waits for the control writer; false when the
// worker's input is closed, found now (the session then loses control) or
// before: the command is dropped.
Result<bool> SendToWorker(WorkerSession& session, size_t n, WorkerCommand command);

}  // namespace aurvane

#endif  // AURVANE_SUPERVISOR_SESSION_H_
