// The two threads that serve one worker's pipes, and the worker's input
// that the supervisor shares with the first.
//
// A worker's commands are compact JSON lines on its standard input
// (ControlPipe). The supervisor writes each line itself, without waiting,
// when the pipe has room and nothing is waiting to be written; otherwise
// the line, or what did not fit of it, waits for the control writer, which
// writes it, waiting for room as long as it takes. The supervisor writes
// nothing itself while the writer has bytes, so lines never reorder. Where
// a pipe cannot be written without waiting (Windows) the writer writes
// every line. The event reader reads the worker's standard output line by
// line and hands each parsed line, or the failure that stopped it, to the
// event queue. Both threads are detached: the writer ends when the
// supervisor let go of the pipe and everything is written, or when a write
// failed, its own or the supervisor's; the reader at end of stream, at the
// first bad line, or when the event queue's receiver is gone.
// After a failed write every later line is refused (kClosed) before the
// writer closes the pipe and sends kControlPipeClosed. The worker's output
// may still hold messages then: only the reader's failure is the end of
// what the worker said.
#ifndef AURVANE_PROCESS_IO_THREADS_H_
#define AURVANE_PROCESS_IO_THREADS_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "process/handle.h"
#include "util/queue.h"
#include "process/worker_event.h"
#include "util/result.h"

namespace aurvane {

inline constexpr size_t kEventReadBufferBytes = 8192;

inline constexpr char kControlPipeClosed[] = "Worker control pipe closed";
inline constexpr char kEventPipeClosed[] = "Worker event pipe closed";
inline constexpr char kEventTooLong[] = "Worker event exceeded 8 MiB protocol limit";
inline constexpr char kInvalidEventPrefix[] = "Invalid worker event: ";
inline constexpr char kEventReadErrorPrefix[] = "Worker event read error: ";

// One worker's standard input, shared by the supervisor (Write, Release)
// and the worker's control writer (RunControlWriter). The writer alone
// closes the pipe.
class ControlPipe {
 public:
  // With `direct` false (the pipe is not non-blocking) every line goes
  // through the control writer.
  ControlPipe(PipeWriter pipe, bool direct) : pipe_(std::move(pipe)), direct_(direct) {}
  ControlPipe(const ControlPipe&) = delete;
  ControlPipe& operator=(const ControlPipe&) = delete;

  enum class Outcome : uint8_t {
    kDone,    // written, or waiting for the writer, after every earlier line
    kFull,    // kCommandQueueCapacity lines already wait for the writer: dropped
    kClosed,  // a write failed, this one or an earlier one: dropped, as is every later one
  };
  // Writes `line` (a whole command line) now if nothing waits for the
  // writer; what does not fit without waiting is handed to the writer.
  // Never waits for the worker.
  Outcome Write(std::string line);
  // The supervisor lets go: the writer writes what waits, then closes the
  // pipe, and the worker sees the end of its input.
  void Release();

 private:
  friend void RunControlWriter(std::shared_ptr<ControlPipe> control, Sender<WorkerEvent> events,
                               size_t worker);
  // The writer's loop; true when it ended on a failed write.
  bool Serve();

  std::mutex mu_;
  std::condition_variable wake_;  // the writer waits: a line, a failure, or the release
  // Touched by the supervisor only under mu_ while nothing waits and the
  // writer holds no bytes; by the writer outside mu_ only while it holds
  // bytes (writing_), and closed by it under mu_.
  PipeWriter pipe_;
  const bool direct_;
  std::deque<std::string> waiting_;  // lines, or the rest of one, in order
  bool writing_ = false;             // the writer holds bytes taken from waiting_
  bool failed_ = false;
  bool released_ = false;
};

// Thread bodies, run to their end on the calling thread. On return the
// pipe (unless the supervisor still holds `control`), the queue ends and
// every buffer have been released.
void RunControlWriter(std::shared_ptr<ControlPipe> control, Sender<WorkerEvent> events, size_t worker);
void RunEventReader(Sender<WorkerEvent> events, PipeReader worker_stdout, size_t worker);

// Start the bodies above on new detached threads. Fails only when the
// system refuses a thread.
Status StartControlWriter(std::shared_ptr<ControlPipe> control, Sender<WorkerEvent> events, size_t worker);
Status StartEventReader(Sender<WorkerEvent> events, PipeReader worker_stdout, size_t worker);

}  // namespace aurvane

#endif  // AURVANE_PROCESS_IO_THREADS_H_
