// The worker protocol: what one message from a worker does.
#include <algorithm>
#include <chrono>
#include <limits>
#include <vector>

#include "process/io_threads.h"

#include "process/launch.h"
#include "protocol/item.h"
#include "supervisor/supervisor.h"

namespace aurvane {

namespace {

// An "index" counts only as an integer that fits 64 unsigned bits.
std::optional<uint64_t> ReadIndex(const json::Object& message) {
  auto it = message.find("index");
  if (it == message.end() || !it->second.is_uint()) return std::nullopt;
  return it->second.as_uint();
}

// "protocol" and "code" count only as integers that fit 64 signed bits.
std::optional<int64_t> ReadInteger(const json::Object& message, std::string_view key) {
  auto it = message.find(key);
  if (it == message.end()) return std::nullopt;
  const json::Value& v = it->second;
  if (v.is_int()) return v.as_int();
  if (v.is_uint() && v.as_uint() <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return static_cast<int64_t>(v.as_uint());
  }
  return std::nullopt;
}

// The message belongs to the worker's current test: both name the same
// test, or neither names one.
bool MatchesCurrentTest(const json::Object& message, const WorkerSession& session) {
  return ReadIndex(message) == session.current_test;
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

// The message's "items": read off the line already, or a member that is
// not an array (or none).
ItemChunk ItemsOf(const json::Object& message, std::optional<ItemChunk>& items) {
  if (items) return std::move(*items);
  auto member = message.find("items");
  return ChunkOf(member == message.end() ? nullptr : &member->second);
}

Status OnCollected(Supervisor& s, size_t n, json::Object& message, std::optional<ItemChunk>& items) {
  if (auto failed = message.find("failed"); failed != message.end() && failed->second.is_true()) {
    return Error{"Collection failed in " + WorkerName(n)};
  }
  // A large suite is reported by count and digest; its items are asked for
  // when they are needed (and then come in chunks under the line limit).
  auto digest = message.find("digest");
  if (!items && message.find("items") == message.end() && digest != message.end() && digest->second.is_string()) {
    auto count = message.find("count");
    if (count == message.end() || !count->second.is_uint()) return Error{"Missing collected item count"};
    return TakeStep(s, ClaimManifest(s.tables, DigestClaim{n, count->second.as_uint(), digest->second.as_string()}));
  }
  // A whole manifest in one line (within the line limit).
  const ItemChunk chunk = ItemsOf(message, items);
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

Status OnCollectedItems(Supervisor& s, size_t n, json::Object& message, std::optional<ItemChunk>& items) {
  auto more = message.find("more");
  Result<AgreementStep> step = ReceiveItems(s.tables, n, ItemsOf(message, items),
                                            more != message.end() && more->second.is_true(), s.spec.schedule,
                                            s.history);
  if (!step.ok()) return std::move(step).TakeError();
  return TakeStep(s, step.value());
}

Status OnFinished(Supervisor& s, size_t n, const json::Object& message) {
  WorkerSession& session = s.sessions[n];
  std::optional<uint64_t> test = session.current_test;
  if (!test) return Error{"Unexpected finish event"};
  session.current_test.reset();
  session.MoveTo(SessionState::kReady);
  if (ReadIndex(message) != test) return Error{"Finished wrong test"};
  return RecordResult(s, n, *test, message);
}

Status OnExited(Supervisor& s, size_t n, const json::Object& message) {
  WorkerSession& session = s.sessions[n];
  if (session.state() != SessionState::kShuttingDown) {
    return RecoverWorker(s, n, "Worker session ended unexpectedly");
  }
  int64_t code = ReadInteger(message, "code").value_or(3);
  if (code != 0 && code != 1 && code != 5) {
    return Error{"Worker " + WorkerName(n) + " session shutdown failed with exit code " + std::to_string(code)};
  }
  session.MoveTo(SessionState::kClosed);
  // Its end is waited for with the others' when the run ends: the workers
  // that say "exited" together end side by side. Its input and control
  // writer go now.
  session.job.Kill();
  session.commands.Reset();
  return Status::Ok();
}

// Tags the message with the worker's own name and logs it. A line that is
// valid JSON but no object carries no "event" and ends up as an unknown
// message.
// A worker begins a queued test when it has finished the one before; its
// first message naming the test says so. The "start" record goes before
// that message's own record.
Status BeginIfQueued(Supervisor& s, size_t n, const json::Value& message) {
  const WorkerSession& session = s.sessions[n];
  if (session.current_test || session.queued_tests.empty() || !message.is_object()) return Status::Ok();
  if (ReadIndex(message.as_object()) != session.queued_tests.front()) return Status::Ok();
  return BeginQueuedTest(s, n);
}

Status LogArrival(Supervisor& s, size_t n, json::Value& message, const std::optional<ItemChunk>& items) {
  if (message.is_null()) message = json::Value(json::Object());
  if (message.is_object()) message.as_object().insert_or_assign("worker", WorkerName(n));
  return s.log.LogWorkerEvent(message, WorkerName(n), items ? std::string_view(items->text()) : std::string_view());
}

}  // namespace

namespace {

// What a message taken at the end of the run still does (see
// TakeOutputToItsEnd). A message that does not fit the test in flight is
// only logged.
Status TakeAtEnd(Supervisor& s, size_t n, json::Value message, const std::optional<ItemChunk>& items) {
  WorkerSession& session = s.sessions[n];
  if (session.state() != SessionState::kShuttingDown) {
    if (Status begun = BeginIfQueued(s, n, message); !begun.ok()) return begun;
  }
  if (Status logged = LogArrival(s, n, message, items); !logged.ok()) return logged;
  if (!message.is_object() || !session.current_test || !MatchesCurrentTest(message.as_object(), session)) {
    return Status::Ok();
  }
  json::Object& fields = message.as_object();
  const json::Value* kind = message.Find("event");
  if (kind == nullptr || !kind->is_string()) return Status::Ok();
  if (kind->as_string() == "phase") {
    if (const json::Value* phase = message.Find("phase"); phase != nullptr && phase->is_string()) {
      session.phase = phase->as_string();
    }
  } else if (kind->as_string() == "report") {
    session.pending_reports.push_back(std::move(message));
  } else if (kind->as_string() == "finished") {
    const json::Value* duration = message.Find("duration");
    if (duration == nullptr || !duration->is_number()) return Status::Ok();
    const uint64_t test = *session.current_test;
    session.current_test.reset();
    session.MoveTo(SessionState::kReady);
    return RecordResult(s, n, test, fields);
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
    if (Status taken = TakeAtEnd(s, n, std::move(std::get<0>(event.payload)), event.items); !taken.ok()) {
      return taken;
    }
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

Status HandleMessage(Supervisor& s, size_t n, json::Value message, std::optional<ItemChunk> items) {
  assert(n < s.sessions.size() && "message from a worker that was never started");
  WorkerSession& session = s.sessions[n];
  if (session.closed()) return Status::Ok();

  if (Status begun = BeginIfQueued(s, n, message); !begun.ok()) return begun;
  if (Status logged = LogArrival(s, n, message, items); !logged.ok()) return logged;

  const json::Value* kind_value = message.Find("event");
  std::string kind = kind_value && kind_value->is_string() ? kind_value->as_string() : std::string();
  if (!message.is_object()) return Error{"Unknown worker event: "};
  json::Object& fields = message.as_object();
  if (items && kind != "collected" && kind != "collected_items") {
    // Only manifests use their items; any other message is whole again.
    Result<json::Value> restored = json::Parse(items->text());
    assert(restored.ok() && "compact text reads back");
    if (restored.ok()) fields.insert_or_assign("items", std::move(restored).value());
    items.reset();
  }

  if (kind == "hello") {
    if (ReadInteger(fields, "protocol") != 1) return Error{"Worker protocol mismatch"};
    return Status::Ok();
  }
  if (kind == "collected") return OnCollected(s, n, fields, items);
  if (kind == "collected_items") return OnCollectedItems(s, n, fields, items);
  if (kind == "collection_report") return s.log.LogWorkerRecord(std::move(fields));
  if (kind == "phase") {
    if (session.state() == SessionState::kShuttingDown) return Status::Ok();
    if (!MatchesCurrentTest(fields, session)) return Error{"Phase event does not match assigned test"};
    auto phase = fields.find("phase");
    if (phase == fields.end() || !phase->second.is_string()) return Error{"Missing phase"};
    session.phase = phase->second.as_string();
    session.phase_clock = Clock::now();
    return Status::Ok();
  }
  if (kind == "report") {
    if (!MatchesCurrentTest(fields, session)) return Error{"Report does not match assigned test"};
    session.pending_reports.push_back(std::move(message));
    return Status::Ok();
  }
  if (kind == "finished") return OnFinished(s, n, fields);
  if (kind == "exited") return OnExited(s, n, fields);
  if (kind == "internal_error") {
    auto text = fields.find("message");
    const std::string quoted = text == fields.end() ? std::string("null") : json::ToCompact(text->second);
    // An error of the worker's own code while it ran a test costs that
    // test and the worker, as a crash there would, not the run: the worker
    // has written the traceback to its log and ends.
    if (session.state() == SessionState::kRunning && ReadIndex(fields) && MatchesCurrentTest(fields, session)) {
      return RecoverWorker(s, n, "Worker internal error: " + quoted);
    }
    return Error{"Worker " + WorkerName(n) + ": " + quoted};
  }
  return Error{"Unknown worker event: " + kind};
}

}  // namespace aurvane
