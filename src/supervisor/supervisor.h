// The run state and the supervisor that drives it: worker sessions, the
// worker protocol, dispatch of tests, and recovery from failed workers.
//
// Everything here runs on the main thread. Worker I/O threads reach the
// supervisor only through the event queue; cancellation only through the
// CancelFlag.
#ifndef AURVANE_SUPERVISOR_SUPERVISOR_H_
#define AURVANE_SUPERVISOR_SUPERVISOR_H_

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cancel/cancel.h"
#include "json/json.h"
#include "output/event_log.h"
#include "util/queue.h"
#include "process/worker_event.h"
#include "process/worker_job.h"
#include "protocol/worker_message.h"
#include "scheduler/history.h"
#include "scheduler/schedule.h"
#include "scheduler/tables.h"
#include "spec/spec.h"
#include "supervisor/launcher.h"
#include "supervisor/session.h"
#include "util/clock.h"
#include "util/result.h"

namespace aurvane {

struct Supervisor {
  Supervisor(Spec spec, std::unique_ptr<WorkerLauncher> launcher, EventLog log, DurationHistory history,
             CancelFlag cancel);

  Spec spec;
  std::unique_ptr<WorkerLauncher> launcher;
  Sender<WorkerEvent> event_sender;
  Receiver<WorkerEvent> events;
  // A deque keeps references to sessions valid while replacements are added.
  std::deque<WorkerSession> sessions;
  RunTables tables;
  CancelFlag cancel;
  DurationHistory history;
  EventLog log;
  uint64_t failures = 0;
  uint64_t restarts = 0;
  int exit_status = 0;
  bool dispatch_started = false;
  bool stop = false;
  // A worker that failed its own shutdown fails the run, once the other
  // workers have finished the tests they were given.
  std::optional<Error> shutdown_failure;
  // The run has ended: what workers still said is recorded, and nothing is
  // dispatched or sent any more.
  bool ended = false;
};

// Runs the loop until every session is closed (success), the run is
// cancelled (success, exit status 2), or a run-ending error.
Status RunSupervisor(Supervisor& s);

// Starts worker number sessions.size(): launch, "worker_spawned", "init".
Status StartWorker(Supervisor& s);

// Looks at every session's deadline at `now` and recovers those overrun.
Status CheckDeadlines(Supervisor& s, Instant now);

// Handles one decoded line from worker `n`.
Status HandleMessage(Supervisor& s, size_t n, WorkerMessage message);

// How long the end of the run waits for the output of workers it has
// killed to end. Their output ends with their trees, at once, unless a
// process outside the tree holds it (a fork server's child that outlives its
// keeper for a moment).
inline constexpr std::chrono::milliseconds kOutputEndWait{1000};

// End of run, step one (cancelled, a run-ending error, the restart budget
// used up): kills every worker, then takes what each one still open wrote
// before its end, to the end of its output or for at most `wait`. Each
// message is logged as it would have been; a "finished" of the test in
// flight records its result, the first message of a test sent ahead starts
// it, "phase" and "report" messages go to the test in flight, so that the
// tests still in flight afterwards are those the workers really ran, in the
// phase they had reached. Nothing is dispatched or sent any more.
Status TakeOutputToItsEnd(Supervisor& s, std::chrono::nanoseconds wait = kOutputEndWait);

// End of run, step two: every test still in flight becomes "interrupted"
// with an "attempt_aborted" record, and every worker is terminated.
Status AbandonInFlight(Supervisor& s);

// After a first cancellation: interrupts every worker that has collected,
// as a terminal's Ctrl-C interrupts serial pytest, and waits while they run
// their sessions' teardown, each until it ends or its shutdown deadline
// passes, or until a second cancellation. A diagnostic names every worker
// whose teardown is cut short; the end of the run kills what is left.
Status WaitForTeardown(Supervisor& s);

// Handles `failure`, the text of the transport failure that stopped one of
// worker `n`'s I/O threads. The end of its output (or a bad line there)
// recovers the worker. A failed write to it (kControlPipeClosed) only
// loses control of it: a dying worker's last messages may still wait in
// its output, and they are logged, and its tests judged on them, before
// the end of that output recovers it.
Status HandleFailure(Supervisor& s, size_t n, const std::string& failure);

// How long a worker whose input is closed may go on with no test in flight
// (counted from the loss, or from the end of its last test if later)
// before it is given up with kControlPipeClosed. A worker that dies
// closes its input and output together, and the end of its output follows
// the failed write within a wake-up of its reader; this only bounds one
// that closed its input and lives on, which can do nothing more that
// matters, or one whose output a process it left behind holds open. Within
// a test the phase deadline applies instead: a worker that lost its input
// can still finish the test it runs.
inline constexpr double kControlLostGrace = 2.0;

// The checks that make the supervisor loop look at a session's deadline.
// Returns the reason when the session has overrun it, or, with its input
// closed and no test in flight, kControlLostGrace.
std::optional<std::string> DeadlineOverrun(const Supervisor& s, const WorkerSession& session, Instant now);

}  // namespace aurvane

#endif  // AURVANE_SUPERVISOR_SUPERVISOR_H_
