// Whole-program test support: run the real aurvane-controller against the
// fake worker, with its standard input held open as a pipe, and read back
// what it wrote.
#ifndef AURVANE_TESTS_PROGRAM_SUPPORT_H_
#define AURVANE_TESTS_PROGRAM_SUPPORT_H_

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "json/json.h"
#include "test_support.h"

namespace aurvane::testing {

// Whether the controller can be sent POSIX signals and its workers' process
// groups and sessions exist. Tests of those skip where this is false
// (Windows).
#ifdef _WIN32
inline constexpr bool kPosixProcesses = false;
#else
inline constexpr bool kPosixProcesses = true;
#endif

// What a test can do to the running controller from its line callback.
class ControllerHandle {
 public:
  virtual ~ControllerHandle() = default;
  // Sends a POSIX signal; a test failure on Windows.
  virtual void Signal(int signal) = 0;
  virtual void WriteStdin(const std::string& text) = 0;
  virtual void CloseStdin() = 0;
  virtual int pid() const = 0;
};

struct ProgramResult {
  int exit_code = -1;  // 128 + signal when killed by one (POSIX)
  bool timed_out = false;
  std::string out;
  std::string err;
  std::vector<std::string> out_lines;
};

struct ProgramOptions {
  std::vector<std::string> args;  // after the program name
  std::filesystem::path cwd;      // empty: the test's own
  // Called with every complete line of standard output as it arrives.
  std::function<void(const std::string& line, ControllerHandle& controller)> on_line;
  // Called once right after the start.
  std::function<void(ControllerHandle& controller)> on_start;
  // Standard output closed by the reader from the start.
  bool close_stdout = false;
  std::chrono::seconds timeout{60};
};

// Runs `program` (a path as the build names it: see NativePath) and waits
// for it, killing it after the timeout. Standard input stays open (and
// silent) unless the callbacks write to or close it.
ProgramResult RunProgram(const std::string& program, const ProgramOptions& options);

// A path that the build named (AURVANE_*_PATH), as the programs under test
// see it. Unchanged but for a Windows build run under Wine, whose build
// paths are Linux paths: those become paths on drive Z:, Wine's view of the
// Linux root.
std::string NativePath(const std::string& build_path);

// A run directory with a specification for the controller that starts the
// fake worker. `spec` holds the fifteen keys and can be changed before Run.
class ControllerRun {
 public:
  explicit ControllerRun(int workers = 1);

  json::Object spec;
  // The fake worker's scenario, per worker name or "default".
  json::Object& scenario(const std::string& worker = "default");
  void set(const std::string& key, json::Value value) { spec.insert_or_assign(key, std::move(value)); }

  std::filesystem::path dir() const { return dir_.path(); }
  std::filesystem::path run_dir() const { return dir_.path() / "run"; }
  std::filesystem::path spec_path() const { return dir_.path() / "spec.json"; }
  std::filesystem::path history_path() const { return dir_.path() / "history.json"; }
  // A history in which each of the fake worker's first `tests` generated
  // tests took `seconds`.
  void WriteHistory(int tests, double seconds) const;

  // Writes the run specification and runs the controller on it.
  ProgramResult Run(ProgramOptions options = {});

  // The records of events.jsonl, all or of one kind.
  std::vector<json::Value> Events(const std::string& kind = "") const;
  json::Value Summary() const;
  // The "message" of every "diagnostic" record.
  std::vector<std::string> Diagnostics() const;

 private:
  ScratchDir dir_;
  json::Object fake_;
};

// Whether `text` is `prefix` followed by the operating system's text for an
// error and `suffix`: `posix_text` word for word on POSIX; on Windows any
// wording ending in " (os error N)" with `windows_code`, since Wine's
// messages are not Windows' own.
::testing::AssertionResult IsOsError(const std::string& text, const std::string& prefix,
                                     const std::string& posix_text, int windows_code,
                                     const std::string& suffix = "");

// Parses one JSON line or fails the test.
json::Value ParseLine(const std::string& line);
// The `event` of a record, or "" when it has none.
std::string EventOf(const json::Value& record);
// Whether a process with `pid` is alive (a zombie counts as gone; on
// Windows, a process that has ended while some handle keeps it).
bool ProcessAlive(int pid);

// Member `key` of `record`, or JSON null when absent.
const json::Value& Member(const json::Value& record, const std::string& key);
// One short line per record, so a test can compare a whole run's order at
// a glance: "start av0 #0 next 1 attempt 1", "report av0 #0 setup",
// "finish av0 #0", "retry #0", "interrupted av0 #0 call", "diagnostic TEXT",
// "collection 4 2", "spawned av0", "event av0 KIND", "aborted av0 #0 PHASE 2",
// "collection_report av0", "summary 0". Records of other kinds give their
// event name.
std::string Trace(const json::Value& record);
std::vector<std::string> Trace(const std::vector<json::Value>& records);
// The traces of standard output's lines.
std::vector<std::string> TraceLines(const std::vector<std::string>& lines);
// Only the traces that begin with one of `prefixes`.
std::vector<std::string> Only(const std::vector<std::string>& traces, const std::vector<std::string>& prefixes);
// An on_line callback that calls `action` once, on the first line whose
// trace begins with `prefix` (or the `count`-th such line).
std::function<void(const std::string&, ControllerHandle&)> OnTrace(const std::string& prefix,
                                                                   std::function<void(ControllerHandle&)> action,
                                                                   int count = 1);
// The process ids of every "worker_spawned" record.
std::vector<int> WorkerPids(const ControllerRun& run);

}  // namespace aurvane::testing

#endif  // AURVANE_TESTS_PROGRAM_SUPPORT_H_
