// The event log: "events.jsonl" in the run directory, one compact JSON record
// per line, optionally echoed to standard output as the run's progress stream.
#ifndef AURVANE_OUTPUT_EVENT_LOG_H_
#define AURVANE_OUTPUT_EVENT_LOG_H_

#include <filesystem>
#include <string_view>

#include "json/json.h"
#include "util/clock.h"
#include "util/file.h"
#include "util/result.h"

namespace aurvane {

class EventLog {
 public:
  // Creates or truncates "events.jsonl" in `run_dir`; never creates the
  // directory itself.
  static Result<EventLog> Create(const std::filesystem::path& run_dir);

  // The origin of every "elapsed" value.
  void set_start(Instant start) { start_ = start; }
  Instant start() const { return start_; }

  // Sets "elapsed", writes the record as one line with one write call, then,
  // with `echo`, writes the same line to standard output. Returns the first
  // failure; nothing is echoed when the file write failed.
  Status Emit(json::Object record, bool echo);

  // The record {"event":"worker_event","payload":payload,"worker":worker},
  // not echoed. Every worker line is logged this way, so the payload is
  // written where it stands instead of being copied into a record.
  Status EmitWorkerEvent(const json::Value& payload, std::string_view worker);

  void Close() { file_.Close(); }

 private:
  explicit EventLog(OutputFile file) : file_(std::move(file)) {}
  OutputFile file_;
  Instant start_ = Clock::now();
};

}  // namespace aurvane

#endif  // AURVANE_OUTPUT_EVENT_LOG_H_
