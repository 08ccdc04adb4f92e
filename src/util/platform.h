// The controller's own process: its command line and the process-wide
// settings it makes before anything else runs.
#ifndef AURVANE_UTIL_PLATFORM_H_
#define AURVANE_UTIL_PLATFORM_H_

#include <filesystem>
#include <vector>

namespace aurvane {

// The command line as the operating system's own strings, program name
// first, without any character decoding. On Windows it is read from the
// process (UTF-16) and `argc`/`argv` are not used.
std::vector<std::filesystem::path> CommandLineArguments(int argc, char** argv);

// Process-wide settings, made once at start-up, before any thread starts: a
// write to a closed standard output or pipe fails instead of ending the
// process, a standard stream that was closed at start stays closed to us
// rather than being taken by a file we open, a thread that a worker's
// message wakes does not preempt a running worker (Linux), and a crashing
// worker never waits on an error dialog (Windows passes the error mode on to
// children).
void PrepareControllerProcess();

// Whether PrepareControllerProcess moved the controller into a scheduling
// class of its own (Linux: the batch class, from the usual one). Its
// children must then be started back in the usual class.
bool ControllerSchedulingLowered();

}  // namespace aurvane

#endif  // AURVANE_UTIL_PLATFORM_H_
