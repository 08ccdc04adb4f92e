// The supervisor's own steps, shared by its files (dispatch, protocol,
// recovery and the loop) and by nothing else: the program and the tests
// drive it through supervisor.h.
#ifndef AURVANE_SUPERVISOR_INTERNAL_H_
#define AURVANE_SUPERVISOR_INTERNAL_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/item.h"
#include "protocol/worker_message.h"
#include "supervisor/supervisor.h"
#include "util/result.h"

namespace aurvane {

// Takes one event while the workers tear down after a cancellation, as
// TakeOutputToItsEnd takes one; a worker's "exited" or the end of its
// output ends its teardown.
Status TakeDuringTeardown(Supervisor& s, WorkerEvent& event);

// Gives up worker `n` for `reason`: terminates it, retries or interrupts its
// test, puts its remaining tests back and starts a replacement if needed.
Status RecoverWorker(Supervisor& s, size_t n, const std::string& reason);

// Dispatch (a test, or shutdown) to worker `n` when it can take work, and
// send its reserved next test ahead while it holds fewer than it may.
Status Dispatch(Supervisor& s, size_t n);

// The worker's first message about its first queued test: it has begun it,
// and this writes its "start" record.
Status BeginQueuedTest(Supervisor& s, size_t n);

// Once every worker has collected: the "collection" record, then a first
// test for every worker that can take one, before any test to follow.
Status BeginDispatching(Supervisor& s);

// Records the "finished" message `finished` for test `test` of worker `n`.
Status RecordResult(Supervisor& s, size_t n, uint64_t test, const wire::Finished& finished);

// How the event log's records name test `test` of the reference manifest.
// The compact manifest rebuilds the item, which this holds while the record
// that views it is written (to the end of the calling expression).
struct RecordSource {
  Item item;
  operator RecordTest() const { return RecordTest{item.index, item.nodeid, &item.location}; }  // NOLINT
};
RecordSource RecordFor(const Supervisor& s, uint64_t test);

// Writes the held "report" messages of `session`'s attempt, in arrival order.
Status FlushReports(Supervisor& s, WorkerSession& session);

}  // namespace aurvane

#endif  // AURVANE_SUPERVISOR_INTERNAL_H_
