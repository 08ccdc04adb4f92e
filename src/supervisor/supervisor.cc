#include "supervisor/supervisor.h"

#include <stdio.h>

#include <algorithm>
#include <chrono>

#include "process/io_threads.h"
#include "process/launch.h"
#include "supervisor/internal.h"

namespace aurvane {

namespace {

// The loop never waits longer than this for an event, so deadlines and the
// CancelFlag are looked at at least this often.
constexpr auto kPassWait = std::chrono::milliseconds(20);

bool AllClosed(const Supervisor& s) {
  for (const WorkerSession& session : s.sessions) {
    if (!session.closed()) return false;
  }
  return true;
}

Status TakeEvent(Supervisor& s, WorkerEvent& event) {
  return event.is_failure()
             ? HandleFailure(s, event.worker, event.failure())
             : HandleMessage(s, event.worker, std::move(event.message()));
}

// A pass that took longer than a pass wait was held up, by a write to the
// event log or to standard output that a slow reader blocked (a paused
// front end, a pager). Workers' messages queued up meanwhile; they are
// taken before any deadline is judged, since a worker whose "finished"
// waits in the queue has not overrun its deadline. At most a queue's worth,
// so that deadlines are still looked at while workers keep talking.
Status CatchUp(Supervisor& s) {
  for (size_t taken = 0; taken < kEventQueueCapacity && !s.cancel->load(); ++taken) {
    Received<WorkerEvent> received = s.events.ReceiveFor(std::chrono::nanoseconds(0));
    if (received.status != ReceiveStatus::kValue) break;
    if (Status handled = TakeEvent(s, *received.value); !handled.ok()) return handled;
  }
  return Status::Ok();
}

}  // namespace

Supervisor::Supervisor(Spec spec_in, std::unique_ptr<WorkerLauncher> launcher_in, EventLog log_in,
                       DurationHistory history_in, CancelFlag cancel_in)
    : spec(std::move(spec_in)),
      launcher(std::move(launcher_in)),
      cancel(std::move(cancel_in)),
      history(std::move(history_in)),
      log(std::move(log_in)) {
  auto [sender, receiver] = MakeQueue<WorkerEvent>(kEventQueueCapacity);
  event_sender = std::move(sender);
  events = std::move(receiver);
}

namespace {

// Makes `launched`, worker number `s.sessions.size()`, a session and says
// "init" to it.
Status AddSession(Supervisor& s, Result<LaunchedWorker> launched) {
  const size_t n = s.sessions.size();
  if (!launched.ok()) return std::move(launched).TakeError();

  WorkerSession& session = s.sessions.emplace_back();
  session.job = std::move(launched.value().job);
  session.commands = std::move(launched.value().commands);
  session.phase_clock = session.attempt_clock = Clock::now();

  if (Status logged = s.log.LogWorkerSpawned(launched.value().pid, WorkerName(n)); !logged.ok()) return logged;

  json::Object init;
  init.emplace("command", "init");
  return SendToWorker(session, n, json::Value(std::move(init))).status();
}

}  // namespace

Status StartWorker(Supervisor& s) { return AddSession(s, s.launcher->Launch(s.sessions.size(), s.event_sender)); }

Status CheckDeadlines(Supervisor& s, Instant now) {
  // Sessions that recovery appends during the scan are looked at next pass.
  const size_t count = s.sessions.size();
  for (size_t i = 0; i < count; ++i) {
    std::optional<std::string> overrun = DeadlineOverrun(s, s.sessions[i], now);
    if (!overrun) continue;
    if (Status recovered = RecoverWorker(s, i, *overrun); !recovered.ok()) return recovered;
  }
  return Status::Ok();
}

std::optional<std::string> DeadlineOverrun(const Supervisor& s, const WorkerSession& session, Instant now) {
  double limit = 0;
  switch (session.state()) {
    case SessionState::kClosed:
      return std::nullopt;
    case SessionState::kStarting:
      limit = s.spec.startup_timeout;
      break;
    case SessionState::kReady:
    case SessionState::kRunning:
      limit = s.spec.phase_timeout;
      break;
    case SessionState::kShuttingDown:
      limit = s.spec.shutdown_timeout;
      break;
  }
  // Exactly at the limit is not an overrun.
  if (SecondsBetween(session.phase_clock, now) > limit) {
    char text[64];
    snprintf(text, sizeof text, "%.2f", limit);
    return "exceeded " + std::string(text) + "s deadline";
  }
  // A worker whose input is closed and that holds no test in flight has
  // the grace, from the later of the loss and its last test's end.
  if (session.control_lost && !session.current_test &&
      SecondsBetween(std::max(*session.control_lost, session.phase_clock), now) > kControlLostGrace) {
    return std::string(kControlPipeClosed);
  }
  return std::nullopt;
}

namespace {

// Waits at most a pass for the next event. The records of the events taken
// since the last wait are written first, as one batch: every record is out
// before the supervisor waits. A batch that a slow reader held up leaves
// workers' messages queued; they are taken before deadlines are judged,
// and their records written at the next call.
Status WaitForEvent(Supervisor& s, Received<WorkerEvent>& received) {
  received = s.events.ReceiveFor(std::chrono::nanoseconds(0));
  if (received.status != ReceiveStatus::kTimeout) return Status::Ok();
  const Instant started = Clock::now();
  if (Status written = s.log.Release(); !written.ok()) return written;
  s.log.Hold();
  if (Clock::now() - started > kPassWait) return CatchUp(s);
  received = s.events.ReceiveFor(kPassWait);
  return Status::Ok();
}

// "av0, av2" for workers 0 and 2.
std::string NamesOf(const std::vector<size_t>& workers) {
  std::string names;
  for (size_t n : workers) names += (names.empty() ? "" : ", ") + WorkerName(n);
  return names;
}

}  // namespace

Status WaitForTeardown(Supervisor& s) {
  const Instant now = Clock::now();
  std::vector<size_t> uninterruptible;
  for (size_t n = 0; n < s.sessions.size(); ++n) {
    WorkerSession& session = s.sessions[n];
    switch (session.state()) {
      case SessionState::kReady:
      case SessionState::kRunning:
        // Interrupted, a worker runs its session's finalizers, as serial
        // pytest does after a Ctrl-C; it has its shutdown deadline for that.
        // Cancelled at once already, it is only named below.
        if (s.cancel->load() >= kCancelNow || s.launcher->Interrupt(n, session.job)) {
          session.tearing_down = true;
          session.phase_clock = now;
        } else {
          uninterruptible.push_back(n);
        }
        break;
      case SessionState::kShuttingDown:
        session.tearing_down = true;  // on its way out already, on its deadline
        break;
      case SessionState::kStarting:  // collecting: nothing set up to tear down
      case SessionState::kClosed:
        break;
    }
  }
  if (!uninterruptible.empty()) {
    if (Status logged = s.log.LogDiagnostic("Run cancelled; workers cannot be interrupted here, teardown skipped on " +
                                            NamesOf(uninterruptible));
        !logged.ok()) {
      return logged;
    }
  }
  for (;;) {
    std::vector<size_t> waiting;
    for (size_t n = 0; n < s.sessions.size(); ++n) {
      if (s.sessions[n].tearing_down) waiting.push_back(n);
    }
    if (waiting.empty()) return Status::Ok();
    if (s.cancel->load() >= kCancelNow) {
      for (size_t n : waiting) s.sessions[n].tearing_down = false;
      return s.log.LogDiagnostic("Run cancelled again; teardown cut short on " + NamesOf(waiting));
    }
    Received<WorkerEvent> received{ReceiveStatus::kTimeout, std::nullopt};
    if (Status waited = WaitForEvent(s, received); !waited.ok()) return waited;
    if (received.status == ReceiveStatus::kValue) {
      if (Status took = TakeDuringTeardown(s, *received.value); !took.ok()) return took;
    }
    const Instant later = Clock::now();
    for (size_t n : waiting) {
      WorkerSession& session = s.sessions[n];
      if (!session.tearing_down || SecondsBetween(session.phase_clock, later) <= s.spec.shutdown_timeout) continue;
      session.tearing_down = false;
      session.job.Kill();
      char limit[64];
      snprintf(limit, sizeof limit, "%.2f", s.spec.shutdown_timeout);
      if (Status logged = s.log.LogDiagnostic("Run cancelled; teardown cut short on " + WorkerName(n) +
                                               " at its " + limit + "s shutdown deadline");
          !logged.ok()) {
        return logged;
      }
    }
  }
}

namespace {

Status RunLoop(Supervisor& s) {
  // Workers beyond the first failure are let go unlogged, as if never
  // started. A cancellation during the start leaves the rest unstarted.
  for (Result<LaunchedWorker>& launched : s.launcher->LaunchFirst(s.spec.workers, s.event_sender, s.cancel)) {
    if (Status started = AddSession(s, std::move(launched)); !started.ok()) return started;
  }
  for (;;) {
    if (!s.sessions.empty() && AllClosed(s)) {
      return s.shutdown_failure ? Status(*s.shutdown_failure) : Status::Ok();
    }
    if (s.cancel->load() != 0) {
      s.exit_status = 2;
      s.stop = true;
      if (Status logged = s.log.LogDiagnostic("Run cancelled; terminating owned workers"); !logged.ok()) {
        return logged;
      }
      return WaitForTeardown(s);
    }
    Received<WorkerEvent> received{ReceiveStatus::kTimeout, std::nullopt};
    if (Status waited = WaitForEvent(s, received); !waited.ok()) return waited;
    if (received.status == ReceiveStatus::kValue) {
      const Instant started = Clock::now();
      if (Status handled = TakeEvent(s, *received.value); !handled.ok()) return handled;
      if (Clock::now() - started > kPassWait) {
        if (Status caught_up = CatchUp(s); !caught_up.ok()) return caught_up;
      }
    } else if (received.status == ReceiveStatus::kDisconnected) {
      // The supervisor holds a sender itself, so this cannot happen.
      return Error{"receiving on a closed channel"};
    }
    if (Status scanned = CheckDeadlines(s, Clock::now()); !scanned.ok()) return scanned;
  }
}

}  // namespace

Status RunSupervisor(Supervisor& s) {
  s.log.Hold();
  Status ran = RunLoop(s);
  // Whatever ended the loop, the records before it are written, in order.
  Status written = s.log.Release();
  return ran.ok() ? written : ran;
}

}  // namespace aurvane
