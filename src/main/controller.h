// The controller's entry: command line, start-up, the run, the end of run and
// the exit status.
#ifndef AURVANE_MAIN_CONTROLLER_H_
#define AURVANE_MAIN_CONTROLLER_H_

#include <filesystem>
#include <vector>

namespace aurvane {

// Runs the controller on its command line (program name first) and returns the exit
// status: 0 all passed, 1 failures, 2 cancelled, 3 error or tests left unrun,
// 5 nothing collected.
int RunController(const std::vector<std::filesystem::path>& args);

}  // namespace aurvane

#endif  // AURVANE_MAIN_CONTROLLER_H_
