#include "process/io_threads.h"

#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "json/json.h"
#include "json/reader.h"

namespace aurvane {

namespace {

// The reader's 8192-byte buffer around the pipe, kept for the thread's life.
class LineReader {
 public:
  explicit LineReader(PipeReader& pipe) : pipe_(pipe) {}

  enum class Outcome { kLine, kEnd, kTooLong, kError };

  // Reads the next line, line feed included, into `line` (cleared first).
  // A last line without line feed counts as a line; kEnd only when no byte
  // came before the end of the stream. Stops reading as soon as the line
  // passes kMaxEventLineBytes.
  Outcome Next(std::string& line, std::string& error) {
    line.clear();
    for (;;) {
      if (pos_ == len_) {
        Result<size_t> n = pipe_.Read(buffer_, sizeof buffer_);
        if (!n.ok()) {
          error = n.message();
          return Outcome::kError;
        }
        if (n.value() == 0) return line.empty() ? Outcome::kEnd : Outcome::kLine;
        pos_ = 0;
        len_ = n.value();
      }
      size_t start = pos_;
      // memchr: a manifest's chunks are megabytes of line.
      const void* nl = std::memchr(buffer_ + pos_, '\n', len_ - pos_);
      bool found = nl != nullptr;
      pos_ = found ? static_cast<size_t>(static_cast<const char*>(nl) - buffer_) + 1 : len_;
      size_t take = pos_ - start;
      if (line.size() + take > kMaxEventLineBytes) return Outcome::kTooLong;
      line.append(buffer_ + start, take);
      if (found) return Outcome::kLine;
    }
  }

 private:
  PipeReader& pipe_;
  char buffer_[kEventReadBufferBytes];
  size_t pos_ = 0;
  size_t len_ = 0;
};

// A worker's "phase" and "report" messages only restart a clock and hold a
// report back; nothing waits on them. They are queued without waking the
// supervisor, which takes them in order with the next message that does
// need it (a quick test's "finished") or when its pass wait ends, at most
// 20 ms later. A quick test then wakes it once instead of five times.
bool CanWait(const json::Value& message) {
  const json::Value* kind = message.Find("event");
  if (kind == nullptr || !kind->is_string()) return false;
  const std::string& name = kind->as_string();
  return name == "phase" || name == "report";
}

}  // namespace

void RunControlWriter(Receiver<WorkerCommand> commands, Sender<WorkerEvent> events,
                      PipeWriter worker_stdin, size_t worker) {
  while (std::optional<WorkerCommand> command = commands.Receive()) {
    std::string line = json::ToCompact(*command);
    line.push_back('\n');
    command.reset();
    if (!worker_stdin.WriteAll(line).ok()) {
      // Commands are refused from here on, before the failure is reported:
      // an offer then fails as closed at once, never waiting for room nor
      // vanishing in a queue nobody reads, even while this send waits for
      // room in the event queue. The platform's reason (usually a broken
      // pipe) is not passed on.
      commands.Reset();
      worker_stdin.Close();
      events.Send(WorkerEvent{worker, std::string(kControlPipeClosed), std::nullopt});
      break;
    }
  }
  commands.Reset();
  worker_stdin.Close();  // the worker sees end of input
  events.Reset();
}

void RunEventReader(Sender<WorkerEvent> events, PipeReader worker_stdout, size_t worker) {
  {
    auto reader = std::make_unique<LineReader>(worker_stdout);
    for (;;) {
      std::string line;
      std::string error;
      std::string failure;
      switch (reader->Next(line, error)) {
        case LineReader::Outcome::kError:
          failure = kEventReadErrorPrefix + error;
          break;
        case LineReader::Outcome::kEnd:
          failure = kEventPipeClosed;
          break;
        case LineReader::Outcome::kTooLong:
          failure = kEventTooLong;
          break;
        case LineReader::Outcome::kLine: {
          // A manifest's items go straight into their compact form.
          ItemChunkReader items;
          Result<json::StreamedParse> parsed = json::ParseStreamingMember(line, "items", items);
          std::string().swap(line);  // at most one line in memory at a time
          if (!parsed.ok()) {
            failure = kInvalidEventPrefix + parsed.message();
            break;
          }
          const bool wake = !CanWait(parsed.value().value);
          WorkerEvent event{worker, std::move(parsed.value().value), std::nullopt};
          if (parsed.value().streamed) event.items = items.Take();
          if (!events.Send(std::move(event), wake)) {
            worker_stdout.Close();
            events.Reset();
            return;
          }
          continue;
        }
      }
      events.Send(WorkerEvent{worker, std::move(failure), std::nullopt});
      break;
    }
  }
  worker_stdout.Close();
  events.Reset();
}

Status StartControlWriter(Receiver<WorkerCommand> commands, Sender<WorkerEvent> events,
                          PipeWriter worker_stdin, size_t worker) {
  try {
    std::thread(RunControlWriter, std::move(commands), std::move(events), std::move(worker_stdin),
                worker)
        .detach();
  } catch (const std::system_error& e) {
    return Error{std::string("Cannot start the control writer thread: ") + e.what()};
  }
  return Status::Ok();
}

Status StartEventReader(Sender<WorkerEvent> events, PipeReader worker_stdout, size_t worker) {
  try {
    std::thread(RunEventReader, std::move(events), std::move(worker_stdout), worker).detach();
  } catch (const std::system_error& e) {
    return Error{std::string("Cannot start the event reader thread: ") + e.what()};
  }
  return Status::Ok();
}

}  // namespace aurvane
