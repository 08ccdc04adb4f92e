#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "process/cgroup.h"
#include "process/job_guard.h"
#include "process/process_tree.h"
#include "process/worker_job.h"
#include "util/file.h"
#include "util/platform.h"

extern char** environ;

namespace aurvane {

namespace {

// Should a guard die before its tree, the tree's orphans must come to us
// (not to the machine's first process) so that we can end them.
void BecomeSubreaperOnce() {
#if defined(__linux__)
  static std::once_flag once;
  std::call_once(once, [] { ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0); });
#endif
}

class SpawnAttributes {
 public:
  // A child in process group `group` (0: a new group it leads), its signal
  // mask empty and every signal at its default action: the controller
  // ignores SIGPIPE, which a worker must not inherit. Nor may it inherit
  // the controller's batch scheduling: tests run in the class the
  // controller was started in.
  explicit SpawnAttributes(pid_t group) {
    posix_spawnattr_init(&attr_);
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr_, &none);
    posix_spawnattr_setsigdefault(&attr_, &all);
    posix_spawnattr_setpgroup(&attr_, group);
    int flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (ControllerSchedulingLowered()) {
      sched_param param{};
      param.sched_priority = 0;
      posix_spawnattr_setschedpolicy(&attr_, SCHED_OTHER);
      posix_spawnattr_setschedparam(&attr_, &param);
      flags |= POSIX_SPAWN_SETSCHEDULER;
    }
    posix_spawnattr_setflags(&attr_, static_cast<short>(flags));
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attr_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  const posix_spawnattr_t* get() const { return &attr_; }

 private:
  posix_spawnattr_t attr_;
};

class FileActions {
 public:
  FileActions() { posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

  // Every descriptor from `first` on is closed in the child, so that
  // nothing of the controller leaks even if some code opened a descriptor
  // without close-on-exec.
  void CloseTheRest(int first) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    posix_spawn_file_actions_addclosefrom_np(&actions_, first);
#endif
  }

 private:
  posix_spawn_file_actions_t actions_;
};

// The inherited environment with `overrides` set in order.
std::vector<std::string> BuildEnvironment(
    const std::vector<std::pair<std::string, std::string>>& overrides) {
  std::vector<std::string> env;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    std::string_view name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const auto& [key, value] : overrides) replaced = replaced || key == name;
    if (!replaced) env.emplace_back(text);
  }
  for (const auto& [key, value] : overrides) env.push_back(key + "=" + value);
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  out.reserve(strings.size() + 1);
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

pid_t WaitRetrying(pid_t pid, int options, int* status = nullptr) {
  for (;;) {
    pid_t got = ::waitpid(pid, status, options);
    if (got >= 0 || errno != EINTR) return got;
  }
}

// The program started as each job's guard: by default this very program
// (the kernel's link to it holds even if the file was replaced meanwhile).
std::string& GuardProgram() {
  static std::string program = "/proc/self/exe";
  return program;
}

// The guards of the jobs alive now. Every other child of ours is a remnant
// of a job whose guard died (its tree was handed to us), to be killed.
std::mutex guards_mutex;
std::vector<pid_t>& LiveGuards() {
  static std::vector<pid_t> guards;
  return guards;
}

// One pass over what dead guards left us: kills every child of ours that is
// not a live guard, with all it started, and reaps those that have ended.
// True when none is left.
bool EndRemnants() {
  std::lock_guard<std::mutex> lock(guards_mutex);
  std::vector<pid_t> guards = LiveGuards();
  // The run's cgroup sweeper is a child of ours too, to be left alone.
  if (pid_t sweeper = CgroupSweeperPid(); sweeper > 0) guards.push_back(sweeper);
  KillDescendants(::getpid(), guards);
  bool none_left = true;
  for (pid_t child : ChildrenOf(::getpid())) {
    if (std::find(guards.begin(), guards.end(), child) != guards.end()) continue;
    if (WaitRetrying(child, WNOHANG) != child) none_left = false;
  }
  return none_left;
}

}  // namespace

struct WorkerJob::Impl {
  pid_t guard = -1;  // the worker's parent and owner of its tree
  Handle control;  // writing end; closing it fires the guard
  Handle status;   // reading end: the guard's word when the worker ended on its own
  std::optional<int> worker_status;  // that word, once the guard is gone
  JobCgroup cgroup;  // where the kernel offers one: holds the guard and all below it
};

void SetJobGuardProgram(const std::filesystem::path& program) { GuardProgram() = program.string(); }

Result<std::filesystem::path> FindProgram(const std::string& name) {
  if (name.empty()) return Error{"program not found"};
  if (name.find('/') != std::string::npos) {
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(name, ec);
    if (ec) return Error{"program not found"};
    return absolute;
  }
  const char* path_env = ::getenv("PATH");
  const std::string_view search =
      path_env != nullptr ? std::string_view(path_env) : std::string_view("/usr/local/bin:/usr/bin:/bin");
  size_t begin = 0;
  for (;;) {
    size_t end = search.find(':', begin);
    std::string_view dir =
        search.substr(begin, end == std::string_view::npos ? std::string_view::npos : end - begin);
    // An empty entry is the working directory.
    std::string candidate = dir.empty() ? std::string(".") : std::string(dir);
    candidate += '/';
    candidate += name;
    struct stat st;
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      std::error_code ec;
      std::filesystem::path absolute = std::filesystem::absolute(candidate, ec);
      return ec ? std::filesystem::path(candidate) : absolute;
    }
    if (end == std::string_view::npos) break;
    begin = end + 1;
  }
  return Error{"program not found"};
}

void WorkerJob::ImplDeleter::operator()(Impl* impl) const noexcept { delete impl; }

namespace {

Error GuardPipeError() { return Error{"creating its job guard's pipes: " + LastOsError().message}; }

}  // namespace

std::optional<std::string> WorkerJob::EndedBySignal() const {
  if (!impl_ || !impl_->worker_status || !WIFSIGNALED(*impl_->worker_status)) return std::nullopt;
  const int signal = WTERMSIG(*impl_->worker_status);
  const char* name = ::sigabbrev_np(signal);
  std::string text = "killed by signal " + std::to_string(signal);
  if (name != nullptr) text += std::string(" (SIG") + name + ")";
  // Nothing of ours sent it: the guard reports only an end it did not cause.
  if (signal == SIGKILL) text += ", which with no deadline passed is often the out-of-memory killer";
  return text;
}

Result<WorkerJob> WorkerJob::Start(const ProcessDescription& description, const Handle& stdin_read,
                                   const Handle& stdout_write, const Handle& stderr_file) {
  BecomeSubreaperOnce();
  ImplPtr impl(new Impl());

  int control_fds[2];
  if (::pipe2(control_fds, O_CLOEXEC) != 0) return GuardPipeError();
  Handle control_read(control_fds[0]);
  impl->control = Handle(control_fds[1]);
  int status_fds[2];
  if (::pipe2(status_fds, O_CLOEXEC) != 0) return GuardPipeError();
  Handle status_read(status_fds[0]);
  Handle status_write(status_fds[1]);

  impl->cgroup = JobCgroup::Create(GuardProgram());

  // The guard takes the worker's streams as its own and passes them on; its
  // two pipes sit right above them, and its cgroup's cgroup.procs, when it
  // has one, above those. Every source is first moved above all the
  // targets, so that no dup2 overwrites a source still to be used.
  Status status;
  Handle holders[6];
  const Handle* sources[6] = {&stdin_read, &stdout_write, &stderr_file, &control_read, &status_write,
                              &impl->cgroup.procs()};
  const int count = impl->cgroup.valid() ? 6 : 5;
  int fds[6];
  for (int i = 0; i < count && status.ok(); ++i) {
    int fd = ::fcntl(static_cast<int>(sources[i]->get()), F_DUPFD_CLOEXEC, 6);
    if (fd < 0) {
      status = LastOsError();
      break;
    }
    holders[i] = Handle(fd);
    fds[i] = fd;
  }
  if (!status.ok()) return Error{"passing on its streams: " + status.message()};
  int rc = 0;
  {
    FileActions actions;
    for (int i = 0; i < count; ++i) posix_spawn_file_actions_adddup2(actions.get(), fds[i], i);
    actions.CloseTheRest(count);
    std::string cwd = description.cwd.string();
    posix_spawn_file_actions_addchdir_np(actions.get(), cwd.c_str());
    SpawnAttributes attributes(0);
    std::vector<std::string> argv_strings;
    argv_strings.push_back(kJobGuardName);
    argv_strings.push_back(description.program.string());
    for (const std::string& arg : description.args) argv_strings.push_back(arg);
    std::vector<char*> argv = Pointers(argv_strings);
    std::vector<std::string> env_strings = BuildEnvironment(description.env);
    std::vector<char*> envp = Pointers(env_strings);
    std::lock_guard<std::mutex> lock(guards_mutex);
    rc = ::posix_spawn(&impl->guard, GuardProgram().c_str(), actions.get(), attributes.get(), argv.data(),
                       envp.data());
    if (rc == 0) LiveGuards().push_back(impl->guard);
  }
  control_read.Close();
  status_write.Close();
  for (Handle& holder : holders) holder.Close();
  // The spawn fails too when the working directory cannot be entered.
  if (rc != 0) return Error{"starting its job guard in " + description.cwd.string() + ": " + OsErrorText(rc)};

  GuardReport report = {0, 0};
  size_t got = 0;
  while (got < sizeof report) {
    ssize_t n = ::read(static_cast<int>(status_read.get()), reinterpret_cast<char*>(&report) + got,
                       sizeof report - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  if (got == sizeof report && report.started == kGuardStarted) {
    // Kept for the guard's word on how the worker ended, read once the
    // guard is gone (KillAndWait).
    ::fcntl(static_cast<int>(status_read.get()), F_SETFL, O_NONBLOCK);
    impl->status = std::move(status_read);
    return WorkerJob(std::move(impl), static_cast<uint32_t>(report.value));
  }
  // The guard has ended (or ends now) with nothing started under it.
  int error = got == sizeof report ? report.value : ECHILD;
  WorkerJob failed(std::move(impl), 0);
  failed.Terminate();
  if (got != sizeof report) return Error{"its job guard ended before it could start it"};
  if (report.started == kGuardForkFailed) return Error{"its job guard could not fork it: " + OsErrorText(error)};
  if (error == ENOENT && description.program.is_absolute() && !std::filesystem::exists(description.program)) {
    return Error{"program not found"};
  }
  return Error{"executing " + description.program.string() + ": " + OsErrorText(error)};
}

// Every descriptor a guard gets is named in its spawn's file actions, and
// all others are closed at its exec: concurrent spawns cannot cross.
bool WorkerJob::StartsMayOverlap() { return true; }

void WorkerJob::StartKilling() { impl_->control.Close(); }

bool WorkerJob::SendInterrupt() {
  if (!impl_->control.valid()) return false;
  const char command = kGuardInterrupt;
  ssize_t n;
  do {
    n = ::write(static_cast<int>(impl_->control.get()), &command, 1);
  } while (n < 0 && errno == EINTR);
  return n == 1;
}

void WorkerJob::KillAndWait() {
  Impl& job = *impl_;
  job.control.Close();  // the guard ends the tree, then exits
  int wait_status = 0;
  pid_t got = 0;
  WaitUntilEmpty([&] {
    got = WaitRetrying(job.guard, WNOHANG, &wait_status);
    return got != 0;
  });
  if (got == 0) {
    // Stopped or stuck past the wait: its tree falls to us below.
    ::kill(job.guard, SIGKILL);
    got = WaitRetrying(job.guard, 0, &wait_status);
  }
  const bool guard_finished = got == job.guard && WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0;
  // Its word on the worker's end, if it had any, is all written now.
  for (GuardReport report; job.status.valid();) {
    if (::read(static_cast<int>(job.status.get()), &report, sizeof report) != static_cast<ssize_t>(sizeof report)) {
      job.status.Close();
    } else if (report.started == kGuardWorkerEnded) {
      job.worker_status = report.value;
    }
  }
  // What left the guard's tree (its guard was killed, and a parent of it
  // too, say) is still in the job's cgroup.
  job.cgroup.Remove();
  {
    std::lock_guard<std::mutex> lock(guards_mutex);
    std::vector<pid_t>& guards = LiveGuards();
    guards.erase(std::remove(guards.begin(), guards.end(), job.guard), guards.end());
  }
  // A guard that was killed (by a test, say) left its tree to us.
  if (!guard_finished) WaitUntilEmpty(EndRemnants);
}

}  // namespace aurvane
