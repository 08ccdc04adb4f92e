#include "process/io_threads.h"

#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "protocol/worker_message.h"

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
  // passes kMaxWorkerLineBytes.
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
      if (line.size() + take > kMaxWorkerLineBytes) return Outcome::kTooLong;
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

}  // namespace

ControlPipe::Outcome ControlPipe::Write(std::string line) {
  std::unique_lock<std::mutex> lock(mu_);
  if (failed_) return Outcome::kClosed;
  if (direct_ && waiting_.empty() && !writing_) {
    Result<size_t> written = pipe_.WriteSome(line);
    if (!written.ok()) {
      // As a failed write of the writer's own: it closes the pipe and
      // reports kControlPipeClosed. The platform's reason is not passed on.
      failed_ = true;
      lock.unlock();
      wake_.notify_one();
      return Outcome::kClosed;
    }
    if (written.value() == line.size()) return Outcome::kDone;
    line.erase(0, written.value());  // the pipe is full: the writer waits for room
  } else if (waiting_.size() >= kCommandQueueCapacity) {
    return Outcome::kFull;
  }
  waiting_.push_back(std::move(line));
  lock.unlock();
  wake_.notify_one();
  return Outcome::kDone;
}

void ControlPipe::Release() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    released_ = true;
  }
  wake_.notify_one();
}

bool ControlPipe::Serve() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    wake_.wait(lock, [&] { return !waiting_.empty() || failed_ || released_; });
    if (failed_ || waiting_.empty()) break;
    std::string bytes = std::move(waiting_.front());
    waiting_.pop_front();
    writing_ = true;
    lock.unlock();
    const bool written = pipe_.WriteAll(bytes).ok();
    std::string().swap(bytes);
    lock.lock();
    writing_ = false;
    if (!written) {
      // Lines are refused from here on, before the failure is reported:
      // one then fails as closed at once, never waiting for a writer that
      // is gone, even while the report waits for room in the event queue.
      failed_ = true;
      waiting_.clear();
    }
  }
  pipe_.Close();  // the worker sees the end of its input
  return failed_;
}

void RunControlWriter(std::shared_ptr<ControlPipe> control, Sender<WorkerEvent> events, size_t worker) {
  if (control->Serve()) events.Send(WorkerEvent{worker, std::string(kControlPipeClosed)});
  control.reset();
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
          Result<WorkerMessage> decoded = DecodeWorkerLine(line);
          std::string().swap(line);  // at most one line in memory at a time
          if (!decoded.ok()) {
            failure = kInvalidEventPrefix + decoded.message();
            break;
          }
          // A worker's "phase" and "report" messages only restart a clock
          // and hold a report back; nothing waits on them. They are queued
          // without waking the supervisor, which takes them in order with
          // the next message that does need it (a quick test's "finished")
          // or when its pass wait ends, at most 20 ms later. A quick test
          // then wakes it once instead of five times.
          const bool wake = !decoded.value().can_wait();
          if (!events.Send(WorkerEvent{worker, std::move(decoded).value()}, wake)) {
            worker_stdout.Close();
            events.Reset();
            return;
          }
          continue;
        }
      }
      events.Send(WorkerEvent{worker, std::move(failure)});
      break;
    }
  }
  worker_stdout.Close();
  events.Reset();
}

Status StartControlWriter(std::shared_ptr<ControlPipe> control, Sender<WorkerEvent> events, size_t worker) {
  try {
    std::thread(RunControlWriter, std::move(control), std::move(events), worker).detach();
  } catch (const std::system_error& e) {
    return Error{std::string("starting its control writer thread: ") + e.what()};
  }
  return Status::Ok();
}

Status StartEventReader(Sender<WorkerEvent> events, PipeReader worker_stdout, size_t worker) {
  try {
    std::thread(RunEventReader, std::move(events), std::move(worker_stdout), worker).detach();
  } catch (const std::system_error& e) {
    return Error{std::string("starting its event reader thread: ") + e.what()};
  }
  return Status::Ok();
}

}  // namespace aurvane
