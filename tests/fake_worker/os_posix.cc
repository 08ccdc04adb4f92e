#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "os.h"

extern char** environ;

namespace fake_worker {

namespace {

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::vector<int64_t> OpenDescriptors() {
  std::vector<int64_t> fds;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return fds;
  int own = ::dirfd(dir);
  while (struct dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    int fd = std::atoi(entry->d_name);
    if (fd != own) fds.push_back(fd);
  }
  ::closedir(dir);
  return fds;
}

}  // namespace

bool WriteStdout(std::string_view bytes) { return WriteAll(1, bytes); }
void WriteStderr(std::string_view bytes) { (void)WriteAll(2, bytes); }

long ReadStdin(char* buffer, size_t size) {
  for (;;) {
    ssize_t n = ::read(0, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
}

void CloseStdout() { ::close(1); }
void CloseStdin() { ::close(0); }
void ExitNow(int code) { ::_exit(code); }
void RaiseSignal(int number) { ::raise(number); }

std::optional<std::string> GetEnv(const char* name) {
  const char* value = ::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return text;
}

Created CreateEmptyFile(const std::string& path, bool exclusive) {
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : 0);
  int fd = ::open(path.c_str(), flags, 0666);
  if (fd >= 0) {
    ::close(fd);
    return Created::kYes;
  }
  return errno == EEXIST ? Created::kExists : Created::kFailed;
}

namespace {

// A classic daemon: the first child starts a session and forks the sleeper,
// reports its id and exits, leaving the sleeper an orphan.
int64_t StartDaemon(const std::string& duration, bool empty_env) {
  int report[2];
  if (::pipe(report) != 0) return -1;
  pid_t first = ::fork();
  if (first < 0) return -1;
  if (first == 0) {
    ::setsid();
    pid_t second = ::fork();
    if (second == 0) {
      int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::close(report[0]);
      ::close(report[1]);
      char* argv[] = {const_cast<char*>("sleep"), const_cast<char*>(duration.c_str()), nullptr};
      char* no_env[] = {nullptr};
      ::execve("/bin/sleep", argv, empty_env ? no_env : environ);
      ::_exit(127);
    }
    int64_t id = second;
    ssize_t ignored = ::write(report[1], &id, sizeof id);
    (void)ignored;
    ::_exit(0);
  }
  ::close(report[1]);
  int64_t id = -1;
  if (::read(report[0], &id, sizeof id) != static_cast<ssize_t>(sizeof id)) id = -1;
  ::close(report[0]);
  ::waitpid(first, nullptr, 0);
  return id;
}

}  // namespace

int64_t StartSleeper(double seconds, const SleeperOptions& options) {
  std::string duration = std::to_string(static_cast<long long>(seconds));
  if (options.daemon) return StartDaemon(duration, options.empty_env);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (options.new_session) posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::string program = "sleep";
  std::vector<char*> argv = {program.data(), duration.data(), nullptr};
  char* no_env[] = {nullptr};
  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, "sleep", &actions, &attributes, argv.data(), options.empty_env ? no_env : environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return rc == 0 ? pid : -1;
}

void KillParent(bool and_grandparent) {
  const pid_t parent = ::getppid();
  if (!and_grandparent) {
    ::kill(parent, SIGKILL);
    return;
  }
  ::prctl(PR_SET_PDEATHSIG, 0, 0, 0, 0);
  pid_t grandparent = -1;
  if (auto stat = ReadWholeFile("/proc/" + std::to_string(parent) + "/stat")) {
    // "pid (comm) state ppid ...": comm may hold anything.
    size_t paren = stat->rfind(')');
    if (paren != std::string::npos) grandparent = static_cast<pid_t>(std::atol(stat->c_str() + paren + 4));
  }
  ::kill(parent, SIGKILL);
  if (grandparent > 1) ::kill(grandparent, SIGKILL);
}

bool RunAsSleeper(int, char**) { return false; }  // POSIX uses sleep(1)

ProcessFacts Facts() {
  ProcessFacts facts;
  char cwd[4096];
  if (::getcwd(cwd, sizeof cwd) != nullptr) facts.cwd = cwd;
  facts.fds = OpenDescriptors();
  facts.pid = ::getpid();
  facts.pgid = ::getpgrp();
  sigset_t mask;
  sigemptyset(&mask);
  ::sigprocmask(SIG_BLOCK, nullptr, &mask);
  for (int sig = 1; sig < 32; ++sig) {
    if (sigismember(&mask, sig) == 1) facts.blocked.push_back(sig);
    struct sigaction action;
    if (::sigaction(sig, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) facts.ignored.push_back(sig);
  }
  return facts;
}

}  // namespace fake_worker
