#include "output/event_log.h"

#include <string>

namespace aurvane {

namespace {

constexpr bool kEcho = true;
constexpr bool kLogOnly = false;
constexpr size_t kBatchLimitBytes = size_t{1} << 20;

json::Value IndexOrNull(std::optional<uint64_t> index) { return index ? json::Value(*index) : json::Value(); }
json::Value ValueOrNull(const json::Value* value) { return value ? *value : json::Value(); }

// The fields every record about one test carries.
json::Object TestRecord(std::string_view event, const RecordTest& test, std::string_view worker) {
  json::Object record;
  record.emplace("event", event);
  record.emplace("location", ValueOrNull(test.location));
  record.emplace("nodeid", test.nodeid);
  record.emplace("worker", worker);
  return record;
}

}  // namespace

Result<EventLog> EventLog::Create(const std::filesystem::path& run_dir) {
  // The event log is held for the run's whole length: a second run on the
  // same directory would clobber this one's files.
  const std::string in_use = "Run directory in use by another run: " + run_dir.string();
  Result<OutputFile> file = OutputFile::CreateTruncateHeld(run_dir / "events.jsonl", in_use);
  if (!file.ok()) {
    Error error = std::move(file).TakeError();
    if (error.message == in_use) return error;
    return NamingPath(std::move(error), "Cannot create", run_dir / "events.jsonl");
  }
  return EventLog(std::move(file).value());
}

Status EventLog::Write(const std::string& line, bool echo) {
  if (held_) {
    file_batch_ += line;
    if (echo) echo_batch_ += line;
    return file_batch_.size() < kBatchLimitBytes ? Status::Ok() : WriteBatch();
  }
  if (Status written = file_.WriteAll(line); !written.ok()) return written;
  if (echo) return echo_(line);
  return Status::Ok();
}

Status EventLog::WriteBatch() {
  if (file_batch_.empty()) return Status::Ok();
  Status written = file_.WriteAll(file_batch_);
  if (written.ok() && !echo_batch_.empty()) written = echo_(echo_batch_);
  // Cleared whatever happened: a failed write ends the run, and nothing is
  // written twice. The buffers keep their capacity for the next batch.
  file_batch_.clear();
  echo_batch_.clear();
  return written;
}

Status EventLog::Release() {
  held_ = false;
  return WriteBatch();
}

Status EventLog::Emit(json::Object record, bool echo) {
  record.insert_or_assign("elapsed", json::Value(SecondsSince(start_)));
  std::string line;
  line.reserve(128);
  json::AppendCompact(line, json::Value(std::move(record)));
  line += '\n';
  return Write(line, echo);
}

Status EventLog::LogCollection(uint64_t count, uint64_t workers) {
  json::Object record;
  record.emplace("event", "collection");
  record.emplace("count", count);
  record.emplace("workers", workers);
  return Emit(std::move(record), kEcho);
}

Status EventLog::LogStart(const StartRecord& start) {
  json::Object record = TestRecord("start", start.test, start.worker);
  record.emplace("attempt", start.attempt);
  record.emplace("index", start.test.index);
  record.emplace("next", IndexOrNull(start.next));
  return Emit(std::move(record), kEcho);
}

Status EventLog::LogFinish(const FinishRecord& finish) {
  json::Object record = TestRecord("finish", finish.test, finish.worker);
  record.emplace("duration", finish.duration);
  record.emplace("failed", ValueOrNull(finish.failed));
  record.emplace("index", finish.test.index);
  return Emit(std::move(record), kEcho);
}

Status EventLog::LogInterrupted(const InterruptedRecord& interrupted) {
  // No "index": the front end names an interrupted test by its node id.
  json::Object record = TestRecord("interrupted", interrupted.test, interrupted.worker);
  record.emplace("duration", interrupted.duration);
  record.emplace("phase", interrupted.phase);
  record.emplace("reason", interrupted.reason);
  return Emit(std::move(record), kEcho);
}

Status EventLog::LogRetry(uint64_t index, std::string_view nodeid, uint32_t attempts) {
  json::Object record;
  record.emplace("event", "retry");
  record.emplace("index", index);
  record.emplace("message", "Retrying interrupted test " + std::string(nodeid) + " (attempt " +
                                std::to_string(attempts) + "); prior attempt is retained in the event log");
  return Emit(std::move(record), kEcho);
}

Status EventLog::LogDiagnostic(std::string_view message) {
  json::Object record;
  record.emplace("event", "diagnostic");
  record.emplace("message", message);
  return Emit(std::move(record), kEcho);
}

Status EventLog::LogWarning(std::string_view message) {
  json::Object record;
  record.emplace("event", "warning");
  record.emplace("message", message);
  return Emit(std::move(record), kEcho);
}

Status EventLog::LogWorkerRecord(json::Object message) { return Emit(std::move(message), kEcho); }

Status EventLog::LogSummary(const RunSummary& summary) {
  // Records gathered before it go first.
  if (Status written = WriteBatch(); !written.ok()) return written;
  auto write_piece = [this](std::string_view piece) {
    if (Status written = file_.WriteAll(piece); !written.ok()) return written;
    return echo_(piece);
  };
  if (Status written = summary.WriteCompact(SecondsSince(start_), write_piece); !written.ok()) return written;
  return write_piece("\n");
}

Status EventLog::LogWorkerSpawned(uint32_t pid, std::string_view worker) {
  json::Object record;
  record.emplace("event", "worker_spawned");
  record.emplace("pid", pid);
  record.emplace("worker", worker);
  return Emit(std::move(record), kLogOnly);
}

Status EventLog::LogAttemptAborted(uint64_t index, int exit_code, std::string_view phase,
                                   std::string_view worker) {
  json::Object record;
  record.emplace("event", "attempt_aborted");
  record.emplace("exit_code", exit_code);
  record.emplace("index", index);
  record.emplace("phase", phase);
  record.emplace("worker", worker);
  return Emit(std::move(record), kLogOnly);
}

Status EventLog::LogWorkerEvent(const json::Value& payload, std::string_view worker, std::string_view items_json) {
  // Keys in byte order, as every written object has them.
  std::string line = "{\"elapsed\":";
  json::AppendDouble(line, SecondsSince(start_));
  line += ",\"event\":\"worker_event\",\"payload\":";
  if (items_json.empty() || !payload.is_object()) {
    json::AppendCompact(line, payload);
  } else {
    line.reserve(line.size() + items_json.size() + 256);
    json::AppendCompactWith(line, payload.as_object(), "items", items_json);
  }
  line += ",\"worker\":";
  json::AppendQuoted(line, worker);
  line += "}\n";
  return Write(line, kLogOnly);
}

}  // namespace aurvane
