// aurvane-controller: supervises one parallel run of a pytest suite. The same
// program, started under the job guard's name, owns one worker's processes.
#include "main/controller.h"
#include "process/job_guard.h"
#include "util/platform.h"

int main(int argc, char** argv) {
  int guard_status = aurvane::RunJobGuardIfInvoked(argc, argv);
  if (guard_status >= 0) return guard_status;
  return aurvane::RunController(aurvane::CommandLineArguments(argc, argv));
}
