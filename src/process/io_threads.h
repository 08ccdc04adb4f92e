// The two threads that serve one worker's pipes.
//
// The control writer takes commands from the worker's command queue and
// writes each as one compact JSON line to the worker's standard input. The
// event reader reads the worker's standard output line by line and hands
// each parsed line, or the failure that stopped it, to the event queue.
// Both are detached: the writer ends when its command queue closes (the
// session let go of the sending end) or a write fails; the reader at end of
// stream, at the first bad line, or when the event queue's receiver is gone.
// A failed write closes the command queue before kControlPipeClosed is
// sent, so that every later command is refused as closed (SendCommand's
// kControlGone). The worker's output may still hold messages then: only
// the reader's failure is the end of what the worker said.
#ifndef AURVANE_PROCESS_IO_THREADS_H_
#define AURVANE_PROCESS_IO_THREADS_H_

#include <cstddef>

#include "process/handle.h"
#include "util/queue.h"
#include "process/worker_event.h"
#include "util/result.h"

namespace aurvane {

// The longest incoming line, its line feed included.
inline constexpr size_t kMaxEventLineBytes = 8 * 1024 * 1024;
inline constexpr size_t kEventReadBufferBytes = 8192;

inline constexpr char kControlPipeClosed[] = "Worker control pipe closed";
inline constexpr char kEventPipeClosed[] = "Worker event pipe closed";
inline constexpr char kEventTooLong[] = "Worker event exceeded 8 MiB protocol limit";
inline constexpr char kInvalidEventPrefix[] = "Invalid worker event: ";
inline constexpr char kEventReadErrorPrefix[] = "Worker event read error: ";

// Thread bodies, run to their end on the calling thread. On return the
// pipe, the queue ends and every buffer have been released.
void RunControlWriter(Receiver<WorkerCommand> commands, Sender<WorkerEvent> events,
                      PipeWriter worker_stdin, size_t worker);
void RunEventReader(Sender<WorkerEvent> events, PipeReader worker_stdout, size_t worker);

// Start the bodies above on new detached threads. Fails only when the
// system refuses a thread.
Status StartControlWriter(Receiver<WorkerCommand> commands, Sender<WorkerEvent> events,
                          PipeWriter worker_stdin, size_t worker);
Status StartEventReader(Sender<WorkerEvent> events, PipeReader worker_stdout, size_t worker);

}  // namespace aurvane

#endif  // AURVANE_PROCESS_IO_THREADS_H_
