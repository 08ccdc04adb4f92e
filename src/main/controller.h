// The controller's entry: command line, start-up, the run, the end of run and
// the exit status.
#ifndef AURVANE_MAIN_CONTROLLER_H_
#define AURVANE_MAIN_CONTROLLER_H_

namespace aurvane {

// Runs the controller with the process's command line and returns the exit
// status: 0 all passed, 1 failures, 2 cancelled, 3 error or tests left unrun,
// 5 nothing collected.
int RunController(int argc, char** argv);

}  // namespace aurvane

#endif  // AURVANE_MAIN_CONTROLLER_H_
