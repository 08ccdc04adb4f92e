// Cancelling a run from outside: console interrupts (signals on POSIX) and a
// line, or the end, of standard input. Both only raise the CancelFlag; the
// supervisor reads it once per pass and stops the run in order.
#ifndef AURVANE_CANCEL_CANCEL_H_
#define AURVANE_CANCEL_CANCEL_H_

#include <atomic>
#include <memory>

#include "util/result.h"

namespace aurvane {

// Only ever goes from false to true.
using CancelFlag = std::shared_ptr<std::atomic<bool>>;

inline CancelFlag MakeCancelFlag() { return std::make_shared<std::atomic<bool>>(false); }

// Installs the interrupt handler, then starts the standard-input watcher.
// The interrupt handler can be installed once per process; a second call
// fails with "Ctrl-C error: Ctrl-C signal handler already registered".
Status InstallCancellationSources(const CancelFlag& flag);

// The two sources on their own, for tests.
Status InstallInterruptHandler(const CancelFlag& flag);
void StartStdinWatcher(const CancelFlag& flag);

}  // namespace aurvane

#endif  // AURVANE_CANCEL_CANCEL_H_
