// The worker protocol: what one message from a worker does.
#include <algorithm>
#include <chrono>
#include <variant>
#include <vector>

#include "process/io_threads.h"
#include "process/launch.h"
#include "protocol/item.h"
#include "protocol/worker_message.h"
#include "supervisor/internal.h"
#include "supervisor/supervisor.h"

namespace aurvane {

namespace {

// The message belongs to the worker's current test: both name the same
// test, or neither names one.
bool MatchesCurrentTest(const WorkerMessage& message, const WorkerSession& session) {
  return message.index == session.current_test;
}

bool AllCollected(const Supervisor& s) {
  for (const WorkerSession& session : s.sessions) {
    // A session closed while starting ended the run; every other one
    // has collected.
    if (session.state() == SessionState::kStarting) return false;
  }
  return true;
}

// Marks the workers whose manifests were accepted as collected and asks for
// the next chunk of items, if one is wanted.
Status TakeStep(Supervisor& s, const AgreementStep& step) {
  if (step.ask_worker) {
    json::Object command;
    command.emplace("command", "items");
    command.emplace("start", step.items_from);
    // A worker that cannot be asked is ended by its deadline, the grace, or
    // the end of its output, as a worker still starting.
    if (Result<bool> sent =
            SendToWorker(s.sessions[*step.ask_worker], *step.ask_worker, json::Value(std::move(command)));
        !sent.ok()) {
      return sent.status();
    }
  }
  for (size_t n : step.accepted) {
    WorkerSession& session = s.sessions[n];
    // A repeated "collected" changes no state: a running session keeps its test.
    if (session.state() == SessionState::kStarting) session.MoveTo(SessionState::kReady);
    session.phase = "ready";
    session.phase_clock = Clock::now();
    if (s.dispatch_started) {
      if (Status dispatched = Dispatch(s, n); !dispatched.ok()) return dispatched;
    }
  }
  if (!step.accepted.empty() && !s.dispatch_started && AllCollected(s)) return BeginDispatching(s);
  return Status::Ok();
}

Status OnCollected(Supervisor& s, size_t n, wire::Collected& message) {
  if (message.failed) return Error{"Collection failed in " + WorkerName(n)};
  // A large suite is reported by count and digest; its items are asked for
  // when they are needed (and then come in chunks under the line limit).
  if (!message.has_items && message.digest) {
    if (!message.count) return Error{"Missing collected item count"};
    return TakeStep(s, ClaimManifest(s.tables, DigestClaim{n, *message.count, std::move(*message.digest)}));
  }
  // A whole manifest in one line (within the line limit).
  const ItemChunk& chunk = message.items;
  if (chunk.error()) return Error{*chunk.error()};
  Manifest manifest;
  manifest.reserve(chunk.size());
  for (size_t i = 0; i < chunk.size(); ++i) manifest.push_back(chunk.ItemAt(i));
  if (Status accepted = AcceptManifest(s.tables, n, std::move(manifest), s.spec.schedule, s.history);
      !accepted.ok()) {
    return accepted;
  }
  AgreementStep step;
  step.accepted.push_back(n);
  return TakeStep(s, step);
}

Status OnCollectedItems(Supervisor& s, size_t n, wire::CollectedItems& message) {
  Result<AgreementStep> step =
      ReceiveItems(s.tables, n, message.items, message.more, s.spec.schedule, s.history);
  if (!step.ok()) return std::move(step).TakeError();
  return TakeStep(s, step.value());
}

Status OnFinished(Supervisor& s, size_t n, const WorkerMessage& message, const wire::Finished& finished) {
  WorkerSession& session = s.sessions[n];
  std::optional<uint64_t> test = session.current_test;
  if (!test) return Error{"Unexpected finish event"};
  session.current_test.reset();
  session.MoveTo(SessionState::kReady);
  if (message.index != test) return Error{"Finished wrong test"};
  return RecordResult(s, n, *test, finished);
}

Status OnExited(Supervisor& s, size_t n, const wire::Exited& message) {
  WorkerSession& session = s.sessions[n];
  if (session.state() != SessionState::kShuttingDown) {
    return RecoverWorker(s, n, "Worker session ended unexpectedly");
  }
  int64_t code = message.code.value_or(3);
  if (code != 0 && code != 1 && code != 5 && !s.shutdown_failure) {
    // Its tests are done (a plugin's pytest.exit in sessionfinish, say):
    // the run fails with it, but the tests other workers still run finish.
    s.shutdown_failure = Error{"Worker " + WorkerName(n) + " session shutdown failed with exit code " +
                               std::to_string(code)};
  }
  session.MoveTo(SessionState::kClosed);
  // Its end is waited for with the others' when the run ends: the workers
  // that say "exited" together end side by side. Its input and control
  // writer go now.
  session.job.Kill();
  session.commands.Reset();
  return Status::Ok();
}

Status OnInternalError(Supervisor& s, size_t n, const WorkerMessage& message, const wire::InternalError& error) {
  // An error of the worker's own code while it ran a test costs that
  // test and the worker, as a crash there would, not the run: the worker
  // has written the traceback to its log and ends.
  if (s.sessions[n].state() == SessionState::kRunning && message.index &&
      MatchesCurrentTest(message, s.sessions[n])) {
    return RecoverWorker(s, n, "Worker internal error: " + error.quoted);
  }
  return Error{"Worker " + WorkerName(n) + ": " + error.quoted};
}

// A worker begins a queued test when it has finished the one before; its
// first message naming the test says so. The "start" record goes before
// that message's own record.
Status BeginIfQueued(Supervisor& s, size_t n, const WorkerMessage& message) {
  const WorkerSession& session = s.sessions[n];
  if (session.current_test || session.queued_tests.empty()) return Status::Ok();
  if (message.index != session.queued_tests.front()) return Status::Ok();
  return BeginQueuedTest(s, n);
}

// Tags the message with the worker's own name and logs it. A line that is
// valid JSON but no object carries no "event" and ends up as an unknown
// message.
Status LogArrival(Supervisor& s, size_t n, WorkerMessage& message) {
  json::Value& raw = message.raw;
  if (raw.is_null()) raw = json::Value(json::Object());
  if (raw.is_object()) raw.as_object().insert_or_assign("worker", WorkerName(n));
  return s.log.LogWorkerEvent(raw, WorkerName(n), message.items_apart());
}

// What one message does to its worker's session and the run.
struct MessageVisitor {
  Supervisor& s;
  size_t n;
  WorkerMessage& message;

  Status operator()(const wire::Hello& hello) const {
    if (hello.protocol != kWorkerProtocolVersion) return Error{"Worker protocol mismatch"};
    return Status::Ok();
  }
  Status operator()(wire::Collected& collected) const { return OnCollected(s, n, collected); }
  Status operator()(wire::CollectedItems& items) const { return OnCollectedItems(s, n, items); }
  Status operator()(const wire::CollectionReport&) const {
    return s.log.LogWorkerRecord(std::move(message.raw.as_object()));
  }
  Status operator()(const wire::Phase& phase) const {
    WorkerSession& session = s.sessions[n];
    if (session.state() == SessionState::kShuttingDown) return Status::Ok();
    if (!MatchesCurrentTest(message, session)) return Error{"Phase event does not match assigned test"};
    if (!phase.phase) return Error{"Missing phase"};
    session.phase = *phase.phase;
    session.phase_clock = Clock::now();
    return Status::Ok();
  }
  Status operator()(const wire::Report&) const {
    WorkerSession& session = s.sessions[n];
    if (!MatchesCurrentTest(message, session)) return Error{"Report does not match assigned test"};
    session.pending_reports.push_back(std::move(message.raw));
    return Status::Ok();
  }
  Status operator()(const wire::Finished& finished) const { return OnFinished(s, n, message, finished); }
  Status operator()(const wire::Exited& exited) const { return OnExited(s, n, exited); }
  Status operator()(const wire::InternalError& error) const { return OnInternalError(s, n, message, error); }
  Status operator()(const wire::Unknown& unknown) const { return Error{"Unknown worker event: " + unknown.kind}; }
};

}  // namespace

namespace {

// What a message taken at the end of the run still does (see
// TakeOutputToItsEnd). A message that does not fit the test in flight is
// only logged.
Status TakeAtEnd(Supervisor& s, size_t n, WorkerMessage message) {
  WorkerSession& session = s.sessions[n];
  if (session.state() != SessionState::kShuttingDown) {
    if (Status begun = BeginIfQueued(s, n, message); !begun.ok()) return begun;
  }
  if (Status logged = LogArrival(s, n, message); !logged.ok()) return logged;
  if (!session.current_test || !MatchesCurrentTest(message, session)) return Status::Ok();
  if (const auto* phase = std::get_if<wire::Phase>(&message.body)) {
    if (phase->phase) session.phase = *phase->phase;
  } else if (message.is<wire::Report>()) {
    session.pending_reports.push_back(std::move(message.raw));
  } else if (const auto* finished = std::get_if<wire::Finished>(&message.body)) {
    if (!finished->duration) return Status::Ok();
    const uint64_t test = *session.current_test;
    session.current_test.reset();
    session.MoveTo(SessionState::kReady);
    return RecordResult(s, n, test, *finished);
  }
  return Status::Ok();
}

}  // namespace

Status TakeOutputToItsEnd(Supervisor& s, std::chrono::nanoseconds wait) {
  s.ended = true;
  // Killed first, so that each one's output has an end: whatever it wrote
  // before is still read, to that end.
  for (WorkerSession& session : s.sessions) session.job.Kill();
  for (WorkerSession& session : s.sessions) session.job.Terminate();
  // A session closed during the run was settled then; what its output
  // still held is not looked at.
  std::vector<bool> open(s.sessions.size());
  size_t still_open = 0;
  for (size_t n = 0; n < s.sessions.size(); ++n) {
    open[n] = !s.sessions[n].closed();
    still_open += open[n] ? 1 : 0;
  }
  const Instant give_up = Clock::now() + wait;
  while (still_open > 0) {
    const auto left = std::max<Clock::duration>(give_up - Clock::now(), Clock::duration::zero());
    Received<WorkerEvent> received = s.events.ReceiveFor(std::chrono::duration_cast<std::chrono::nanoseconds>(left));
    if (received.status != ReceiveStatus::kValue) break;
    WorkerEvent& event = *received.value;
    const size_t n = event.worker;
    if (n >= open.size() || !open[n]) continue;
    if (event.is_failure()) {
      // The end of its output; a failed write to it only lost its input.
      if (event.failure() != kControlPipeClosed) {
        open[n] = false;
        --still_open;
      }
      continue;
    }
    if (Status taken = TakeAtEnd(s, n, std::move(event.message())); !taken.ok()) {
      return taken;
    }
  }
  return Status::Ok();
}

Status TakeDuringTeardown(Supervisor& s, WorkerEvent& event) {
  const size_t n = event.worker;
  WorkerSession& session = s.sessions[n];
  if (session.closed()) return Status::Ok();
  if (event.is_failure()) {
    // The end of its output; a failed write to it only lost its input.
    if (event.failure() != kControlPipeClosed) session.tearing_down = false;
    return Status::Ok();
  }
  const bool exited = event.message().is<wire::Exited>();
  if (Status taken = TakeAtEnd(s, n, std::move(event.message())); !taken.ok()) return taken;
  if (exited && session.tearing_down) {
    session.tearing_down = false;
    session.job.Kill();
  }
  return Status::Ok();
}

Status AbandonInFlight(Supervisor& s) {
  for (WorkerSession& session : s.sessions) session.job.Kill();
  for (size_t n = 0; n < s.sessions.size(); ++n) {
    WorkerSession& session = s.sessions[n];
    if (session.current_test) {
      uint64_t test = *session.current_test;
      session.current_test.reset();
      s.tables.states[test] = TestState::kInterrupted;
      if (Status logged = s.log.LogAttemptAborted(test, s.exit_status, session.phase, WorkerName(n));
          !logged.ok()) {
        return logged;
      }
    }
    session.job.Terminate();
    if (!session.closed()) session.MoveTo(SessionState::kClosed);
  }
  return Status::Ok();
}

Status HandleMessage(Supervisor& s, size_t n, WorkerMessage message) {
  assert(n < s.sessions.size() && "message from a worker that was never started");
  if (s.sessions[n].closed()) return Status::Ok();
  if (Status begun = BeginIfQueued(s, n, message); !begun.ok()) return begun;
  if (Status logged = LogArrival(s, n, message); !logged.ok()) return logged;
  return std::visit(MessageVisitor{s, n, message}, message.body);
}

}  // namespace aurvane
