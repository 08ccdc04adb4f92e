// A worker forked from the front end's fork server (Linux).
//
// Under `--aurvane-fork` the front end starts a server that has imported,
// configured and collected as a worker would, and names its Unix socket in
// the environment it gives the controller (`kForkServerEnv`). The job guard's
// child then does not execute the worker's command: it hands the server its
// standard streams, directory and environment, and stands for the forked
// worker until that ends, with its exit status. Doing this here rather than
// in a Python client spares every worker's start an interpreter's.
//
// The exchange (the Python side is `pytest_aurvane/forkclient.py`, which
// serves when no guard starts the worker): a 4-byte big-endian length, then
// the directory and each NAME=VALUE of the environment, NUL-separated, with
// descriptors 0, 1 and 2 (and, where the job has a cgroup, its
// cgroup.procs) passed alongside the first bytes. The server
// replies "pid N" once it has forked, then "exit N" when the worker has
// ended (128 + N for a signal).
#ifndef AURVANE_PROCESS_FORK_CLIENT_H_
#define AURVANE_PROCESS_FORK_CLIENT_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "process/handle.h"
#include "util/result.h"

namespace aurvane {

inline constexpr char kForkServerEnv[] = "AURVANE_FORK_FROM";

// The server's socket named in `environment` (a null-terminated array of
// NAME=VALUE), if any.
std::optional<std::string> ForkServerPath(char* const* environment);

// `environment` without the entry that names the server: what the forked
// worker gets, and what a worker started afresh instead gets.
std::vector<char*> WithoutForkServer(char* const* environment);

// The request's bytes, length first. As in os.environ, the first of two
// entries with one name is the one that counts; entries with no name or no
// "=" (only a raw exec makes them) are left out, as the server would refuse them.
std::string EncodeForkRequest(std::string_view cwd, char* const* environment);

class ForkServerClient {
 public:
  // Connects to the server at `path`, hands it descriptors 0, 1 and 2 with
  // `request`, and waits until it has forked the worker. `cgroup` (unless
  // -1) goes along as a fourth descriptor: the cgroup.procs of the job's
  // cgroup, which the fork joins. The error says why no worker was forked;
  // the caller then starts one itself.
  static Result<ForkServerClient> Attach(const std::string& path, std::string_view request, int cgroup = -1);

  // Waits for the forked worker's end: its exit status, or 3 when the server
  // went away without saying.
  int WaitForExit();

  int worker_pid() const { return worker_pid_; }

 private:
  explicit ForkServerClient(Handle socket) : socket_(std::move(socket)) {}
  // N of the next reply line "WORD N", or nothing at the end of the stream
  // or for any other line.
  std::optional<int> ReadReply(std::string_view word);

  Handle socket_;
  std::string buffered_;
  int worker_pid_ = 0;
};

}  // namespace aurvane

#endif  // AURVANE_PROCESS_FORK_CLIENT_H_
