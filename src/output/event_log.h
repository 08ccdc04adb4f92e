// The event log: "events.jsonl" in the run directory, one compact JSON record
// per line, and the run's progress stream on standard output, which is the
// echo of some of those records and what the front end reads.
//
// Every record kind has one function here, named for it: this file is the
// one home of the log's format and of which records are echoed.
#ifndef AURVANE_OUTPUT_EVENT_LOG_H_
#define AURVANE_OUTPUT_EVENT_LOG_H_

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "json/json.h"
#include "output/summary.h"
#include "util/clock.h"
#include "util/file.h"
#include "util/result.h"

namespace aurvane {

// Where echoed lines go: standard output, unless a test says otherwise.
using EchoSink = std::function<Status(std::string_view line)>;

// The test a record is about, as the manifest names it.
struct RecordTest {
  uint64_t index = 0;
  std::string_view nodeid;
  const json::Value* location = nullptr;  // the manifest's value; null when absent
};

struct StartRecord {
  RecordTest test;
  uint32_t attempt = 0;
  std::optional<uint64_t> next;  // the test reserved to follow it
  std::string_view worker;
};

struct FinishRecord {
  RecordTest test;
  double duration = 0;
  const json::Value* failed = nullptr;  // the worker's "failed" as sent; null when absent
  std::string_view worker;
};

struct InterruptedRecord {
  RecordTest test;
  double duration = 0;     // since the attempt was dispatched
  std::string_view phase;  // "setup", "call" or "teardown"
  std::string_view reason;
  std::string_view worker;
};

class EventLog {
 public:
  // Creates or truncates "events.jsonl" in `run_dir`; never creates the
  // directory itself.
  static Result<EventLog> Create(const std::filesystem::path& run_dir);

  // The origin of every "elapsed" value.
  void set_start(Instant start) { start_ = start; }
  Instant start() const { return start_; }
  void set_echo(EchoSink echo) { echo_ = std::move(echo); }

  // Each writes one record, as one line with one write call, with
  // "elapsed" added; those marked echoed then write the same line through
  // the echo sink. Each returns the first failure; nothing is echoed when
  // the file write failed.

  // Echoed: once every worker has collected.
  Status LogCollection(uint64_t count, uint64_t workers);
  // Echoed: a test handed to a worker.
  Status LogStart(const StartRecord& record);
  // Echoed: a test's "finished" message.
  Status LogFinish(const FinishRecord& record);
  // Echoed: a test given up with its worker.
  Status LogInterrupted(const InterruptedRecord& record);
  // Echoed: a test put back to run again after its worker failed.
  Status LogRetry(uint64_t index, std::string_view nodeid, uint32_t attempts);
  // Echoed: a run-level message (a failed worker, cancellation, an error).
  Status LogDiagnostic(std::string_view message);
  // Echoed: something the run could not do that does not change its
  // outcome (the duration history not saved).
  Status LogWarning(std::string_view message);
  // Echoed: a worker's "report" or "collection_report" message as it came
  // (tagged with its worker).
  Status LogWorkerRecord(json::Object message);
  // Echoed: the run's summary, the last record. Written in pieces as it is
  // produced (the whole line of a large run is tens of MiB); nothing else
  // writes between them, so the line is still whole.
  Status LogSummary(const RunSummary& summary);
  // Not echoed: a worker process started.
  Status LogWorkerSpawned(uint32_t pid, std::string_view worker);
  // Not echoed: a test still in flight when the run ended.
  Status LogAttemptAborted(uint64_t index, int exit_code, std::string_view phase, std::string_view worker);
  // Not echoed: {"event":"worker_event","payload":payload,"worker":worker},
  // for every line a worker sends. The payload is written where it stands
  // instead of being copied into a record. `items_json`, when not empty, is
  // the compact text of the payload's "items" member, which the payload
  // object then does not hold (a manifest read straight into its table).
  Status LogWorkerEvent(const json::Value& payload, std::string_view worker, std::string_view items_json = {});

  // From Hold to Release, records are gathered in order instead of written
  // one by one; Release writes the gathered lines with one write to the
  // file and one through the echo sink. A batch that grows past 1 MiB is
  // written at once, so a pass with large reports holds little memory.
  // Lines are whole and in order either way.
  void Hold() { held_ = true; }
  Status Release();

  void Close() { file_.Close(); }

 private:
  explicit EventLog(OutputFile file) : file_(std::move(file)) {}
  Status Emit(json::Object record, bool echo);
  Status Write(const std::string& line, bool echo);
  Status WriteBatch();

  OutputFile file_;
  Instant start_ = Clock::now();
  EchoSink echo_ = WriteStdout;
  bool held_ = false;
  std::string file_batch_;
  std::string echo_batch_;
};

}  // namespace aurvane

#endif  // AURVANE_OUTPUT_EVENT_LOG_H_
