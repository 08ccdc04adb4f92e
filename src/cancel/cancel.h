// Cancelling a run from outside: console interrupts (signals on POSIX) and a
// line, or the end, of standard input. Both only raise the CancelFlag; the
// supervisor reads it once per pass and stops the run in order.
#ifndef AURVANE_CANCEL_CANCEL_H_
#define AURVANE_CANCEL_CANCEL_H_

#include <atomic>
#include <memory>

#include "util/result.h"

namespace aurvane {

// How far a run is cancelled; it only ever grows. 0: not cancelled;
// kCancelInOrder: workers are interrupted and may tear down within the
// shutdown deadline; kCancelNow: they are killed at once.
using CancelFlag = std::shared_ptr<std::atomic<int>>;
inline constexpr int kCancelInOrder = 1;
inline constexpr int kCancelNow = 2;

inline CancelFlag MakeCancelFlag() { return std::make_shared<std::atomic<int>>(0); }

// Raises `flag` to `level`, never lowering it.
inline void RaiseCancel(const CancelFlag& flag, int level) {
  int seen = flag->load();
  while (seen < level && !flag->compare_exchange_weak(seen, level)) {
  }
}

// Installs the interrupt handler, then starts the standard-input watcher.
// The first interrupt, a line or the end of input cancels in order; a
// second interrupt (a second Ctrl-C, or the front end's SIGTERM after its
// SIGINT and line) cancels at once.
// The interrupt handler can be installed once per process; a second call
// fails with "Ctrl-C error: Ctrl-C signal handler already registered".
Status InstallCancellationSources(const CancelFlag& flag);

// The two sources on their own, for tests.
Status InstallInterruptHandler(const CancelFlag& flag);
void StartStdinWatcher(const CancelFlag& flag);

}  // namespace aurvane

#endif  // AURVANE_CANCEL_CANCEL_H_
