// The fake worker's dealings with its operating system, so that the same
// scenarios run on POSIX and on Windows.
#ifndef AURVANE_TESTS_FAKE_WORKER_OS_H_
#define AURVANE_TESTS_FAKE_WORKER_OS_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fake_worker {

// Whole writes to standard output / error; false when one failed.
bool WriteStdout(std::string_view bytes);
void WriteStderr(std::string_view bytes);
// Standard input: bytes read, 0 at the end, negative on an error.
long ReadStdin(char* buffer, size_t size);
void CloseStdout();
void CloseStdin();

[[noreturn]] void ExitNow(int code);
// Raises signal `number`; on Windows the process ends with status 128 + it,
// as a shell reports a process killed by a signal.
void RaiseSignal(int number);
constexpr int kKillSignal = 9;

std::optional<std::string> GetEnv(const char* name);
std::optional<std::string> ReadWholeFile(const std::string& path);
// Creates an empty file; with `exclusive`, fails when it exists.
enum class Created { kYes, kExists, kFailed };
Created CreateEmptyFile(const std::string& path, bool exclusive);

// How a sleeper leaves its starter (POSIX only; Windows ignores them).
struct SleeperOptions {
  bool new_session = false;  // in a session and group of its own
  bool empty_env = false;    // with no environment at all
  bool daemon = false;       // fork, setsid, fork: its parent exits at once
};

// Starts a process that sleeps `seconds`, its standard input and output on
// the null device. Returns its process id, or -1.
int64_t StartSleeper(double seconds, const SleeperOptions& options);

// Sends SIGKILL to this process's parent (POSIX only). With
// `and_grandparent`, first stops being killed with the parent, then kills
// the parent and after it the parent's parent (the controller, for a
// worker under a job guard).
void KillParent(bool and_grandparent);
// Handles the sleeper's own command line: true when this process is one.
bool RunAsSleeper(int argc, char** argv);

struct ProcessFacts {
  std::optional<std::string> cwd;
  std::vector<int64_t> fds;      // open descriptors (POSIX)
  int64_t pid = 0;
  int64_t pgid = 0;              // 0 on Windows
  std::vector<int64_t> blocked;  // blocked signals (POSIX)
  std::vector<int64_t> ignored;  // ignored signals (POSIX)
};
ProcessFacts Facts();

}  // namespace fake_worker

#endif  // AURVANE_TESTS_FAKE_WORKER_OS_H_
