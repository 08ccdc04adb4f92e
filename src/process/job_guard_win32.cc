#include "process/job_guard.h"

namespace aurvane {

// A Windows job object owns the worker's tree itself; there is no guard.
int RunJobGuardIfInvoked(int, char**) { return -1; }

}  // namespace aurvane
