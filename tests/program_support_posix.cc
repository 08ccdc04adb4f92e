// The POSIX half of the whole-program harness: posix_spawn with three pipes,
// poll for the output, kill() for signals and /proc for live processes.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "proc_text.h"
#include "program_support.h"

extern char** environ;

namespace aurvane::testing {

namespace {

class Running : public ControllerHandle {
 public:
  Running(pid_t pid, int stdin_fd) : pid_(pid), stdin_fd_(stdin_fd) {}
  ~Running() override { CloseStdin(); }
  void Signal(int signal) override { ::kill(pid_, signal); }
  void WriteStdin(const std::string& text) override {
    if (stdin_fd_ >= 0) {
      [[maybe_unused]] ssize_t n = ::write(stdin_fd_, text.data(), text.size());
    }
  }
  void CloseStdin() override {
    if (stdin_fd_ >= 0) ::close(stdin_fd_);
    stdin_fd_ = -1;
  }
  int pid() const override { return pid_; }

 private:
  pid_t pid_;
  int stdin_fd_;
};

}  // namespace

ProgramResult RunProgram(const std::string& program, const ProgramOptions& options) {
  int in[2], out[2], err[2];
  EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
  EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
  EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
  std::vector<std::string> args = {program};
  args.insert(args.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  ProgramResult result;
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << program << ": " << spawned;
    ::close(in[1]);
    ::close(out[0]);
    ::close(err[0]);
    return result;
  }
  Running running(pid, in[1]);
  if (options.close_stdout) {
    ::close(out[0]);
    out[0] = -1;
  }
  if (options.on_start) options.on_start(running);

  auto deadline = std::chrono::steady_clock::now() + options.timeout;
  std::string partial;
  while (out[0] >= 0 || err[0] >= 0) {
    pollfd fds[2];
    nfds_t count = 0;
    if (out[0] >= 0) fds[count++] = {out[0], POLLIN, 0};
    if (err[0] >= 0) fds[count++] = {err[0], POLLIN, 0};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      ::kill(pid, SIGKILL);
      break;
    }
    int ready = ::poll(fds, count, static_cast<int>(std::min<int64_t>(left.count(), 200)));
    if (ready < 0 && errno == EINTR) continue;
    for (nfds_t i = 0; i < count; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[65536];
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      bool is_out = fds[i].fd == out[0];
      if (n <= 0) {
        ::close(fds[i].fd);
        (is_out ? out[0] : err[0]) = -1;
        continue;
      }
      if (!is_out) {
        result.err.append(buf, static_cast<size_t>(n));
        continue;
      }
      result.out.append(buf, static_cast<size_t>(n));
      partial.append(buf, static_cast<size_t>(n));
      size_t nl;
      while ((nl = partial.find('\n')) != std::string::npos) {
        std::string line = partial.substr(0, nl);
        partial.erase(0, nl + 1);
        result.out_lines.push_back(line);
        if (options.on_line) options.on_line(line, running);
      }
    }
  }
  if (out[0] >= 0) ::close(out[0]);
  if (err[0] >= 0) ::close(err[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  EXPECT_FALSE(result.timed_out) << program << " did not finish in time; stderr: " << result.err;
  return result;
}

bool ProcessAlive(int pid) {
  const std::string text = ProcText("/proc/" + std::to_string(pid) + "/stat");
  // The state follows the command name in parentheses.
  size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z' && text[close + 2] != 'X';
}

std::string NativePath(const std::string& build_path) { return build_path; }

}  // namespace aurvane::testing
