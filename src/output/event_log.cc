#include "output/event_log.h"

namespace aurvane {

Result<EventLog> EventLog::Create(const std::filesystem::path& run_dir) {
  Result<OutputFile> file = OutputFile::CreateTruncate(run_dir / "events.jsonl");
  if (!file.ok()) return std::move(file).TakeError();
  return EventLog(std::move(file).value());
}

Status EventLog::Emit(json::Object record, bool echo) {
  record.insert_or_assign("elapsed", json::Value(SecondsSince(start_)));
  std::string line;
  line.reserve(128);
  json::AppendCompact(line, json::Value(std::move(record)));
  line += '\n';
  if (Status written = file_.WriteAll(line); !written.ok()) return written;
  if (echo) return WriteStdout(line);
  return Status::Ok();
}

Status EventLog::EmitWorkerEvent(const json::Value& payload, std::string_view worker) {
  // Keys in byte order, as every written object has them.
  std::string line = "{\"elapsed\":";
  json::AppendDouble(line, SecondsSince(start_));
  line += ",\"event\":\"worker_event\",\"payload\":";
  json::AppendCompact(line, payload);
  line += ",\"worker\":";
  json::AppendQuoted(line, worker);
  line += "}\n";
  return file_.WriteAll(line);
}

}  // namespace aurvane
