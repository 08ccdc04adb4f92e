#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "process/cgroup.h"

extern char** environ;

namespace aurvane {

namespace {

using namespace std::chrono_literals;

// The magic numbers of statfs for the two cgroup file systems.
constexpr unsigned long long kCgroupMagic = 0x27e0ebULL;
constexpr unsigned long long kCgroup2Magic = 0x63677270ULL;
// How long a killed cgroup is given to empty, as a killed job is.
constexpr auto kEmptyWait = 2s;
constexpr auto kFreezeWait = 1s;

bool ReadText(const std::string& path, std::string& out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out.clear();
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

bool WriteText(const std::string& path, std::string_view text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t n;
  do {
    n = ::write(fd, text.data(), text.size());
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  return n == static_cast<ssize_t>(text.size());
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

bool Lists(std::string_view list, std::string_view item) {
  for (std::string_view part : Split(list, ',')) {
    if (part == item) return true;
  }
  return false;
}

// Where this process's own cgroup of that kind is mounted: from
// /proc/self/mountinfo, the mount's point and the cgroup it shows at that
// point, and from /proc/self/cgroup the process's own cgroup.
std::optional<std::string> OwnCgroupFolder(CgroupKind kind) {
  std::string text;
  if (!ReadText("/proc/self/mountinfo", text)) return std::nullopt;
  std::optional<std::string> point;
  std::string root;
  for (std::string_view line : Split(text, '\n')) {
    std::vector<std::string_view> fields = Split(line, ' ');
    size_t dash = 0;
    while (dash < fields.size() && fields[dash] != "-") ++dash;
    if (dash < 5 || dash + 3 >= fields.size()) continue;
    std::string_view type = fields[dash + 1];
    std::string_view options = fields[dash + 3];
    bool wanted = kind == CgroupKind::kUnified ? type == "cgroup2" : type == "cgroup" && Lists(options, "freezer");
    // A point with escaped characters (a space, say) is not worth decoding.
    if (!wanted || fields[4].find('\\') != std::string_view::npos) continue;
    point = std::string(fields[4]);
    root = std::string(fields[3]);
    break;
  }
  if (!point || !ReadText("/proc/self/cgroup", text)) return std::nullopt;
  for (std::string_view line : Split(text, '\n')) {
    std::vector<std::string_view> fields = Split(line, ':');
    if (fields.size() < 3) continue;
    bool ours = kind == CgroupKind::kUnified ? fields[0] == "0" && fields[1].empty() : Lists(fields[1], "freezer");
    if (!ours) continue;
    // The rest of the line is the path (it may hold a colon).
    std::string own(line.substr(fields[0].size() + fields[1].size() + 2));
    if (root != "/") {
      if (own.compare(0, root.size(), root) != 0 || (own.size() > root.size() && own[root.size()] != '/')) {
        return std::nullopt;  // our cgroup is not below what is mounted
      }
      own.erase(0, root.size());
    }
    while (!own.empty() && own.back() == '/') own.pop_back();
    return *point + own;
  }
  return std::nullopt;
}

std::vector<pid_t> Members(const std::string& folder) {
  std::vector<pid_t> pids;
  std::string text;
  if (!ReadText(folder + "/cgroup.procs", text)) return pids;
  for (std::string_view line : Split(text, '\n')) {
    if (!line.empty()) pids.push_back(static_cast<pid_t>(std::strtol(std::string(line).c_str(), nullptr, 10)));
  }
  return pids;
}

// Polls `done` soon and then every few milliseconds, at most for `limit`.
template <typename Done>
bool WaitFor(Done done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  auto pause = 100us;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(pause);
    pause = std::min<std::chrono::microseconds>(pause * 2, 5ms);
  }
  return true;
}

// Kills every process in the cgroup: at once through cgroup.kill where the
// kernel has it; otherwise frozen first, so that none forks while they are
// killed one by one, then thawed, so that the kills take effect.
void KillMembers(CgroupKind kind, const std::string& folder) {
  if (Members(folder).empty()) return;
  if (kind == CgroupKind::kUnified && WriteText(folder + "/cgroup.kill", "1")) return;
  const bool unified = kind == CgroupKind::kUnified;
  const std::string state = folder + (unified ? "/cgroup.freeze" : "/freezer.state");
  if (WriteText(state, unified ? "1" : "FROZEN")) {
    WaitFor(
        [&] {
          std::string text;
          if (!ReadText(folder + (unified ? "/cgroup.events" : "/freezer.state"), text)) return true;
          return unified ? text.find("frozen 1") != std::string::npos : text.rfind("FROZEN", 0) == 0;
        },
        kFreezeWait);
  }
  for (pid_t pid : Members(folder)) {
    if (pid > 0) ::kill(pid, SIGKILL);
  }
  WriteText(state, unified ? "0" : "THAWED");
}

// Kills what the cgroup holds, waits until it is empty and removes it.
void RemoveCgroup(CgroupKind kind, const std::string& folder) {
  KillMembers(kind, folder);
  if (!WaitFor([&] { return Members(folder).empty(); }, kEmptyWait)) {
    KillMembers(kind, folder);  // forked while frozen too late, say
  }
  WaitFor([&] { return ::rmdir(folder.c_str()) == 0 || errno == ENOENT; }, 100ms);
}

// Removes a run's folder: every job's cgroup in it, then itself.
void SweepRun(CgroupKind kind, const std::string& run) {
  if (DIR* dir = ::opendir(run.c_str())) {
    std::vector<std::string> jobs;
    while (struct dirent* entry = ::readdir(dir)) {
      if (::strncmp(entry->d_name, "job-", 4) == 0) jobs.push_back(run + "/" + entry->d_name);
    }
    ::closedir(dir);
    for (const std::string& job : jobs) RemoveCgroup(kind, job);
  }
  RemoveCgroup(kind, run);
}

// Sweeps every run folder under `base` that no controller or sweeper holds:
// what a run whose controller and sweeper were both killed left.
void PruneStaleRuns(CgroupKind kind, const std::string& base) {
  DIR* dir = ::opendir(base.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> runs;
  while (struct dirent* entry = ::readdir(dir)) {
    if (::strncmp(entry->d_name, "run-", 4) == 0) runs.push_back(base + "/" + entry->d_name);
  }
  ::closedir(dir);
  for (const std::string& run : runs) {
    Handle held(::open(run.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (held.valid() && ::flock(static_cast<int>(held.get()), LOCK_EX | LOCK_NB) == 0) SweepRun(kind, run);
  }
}

const char* KindName(CgroupKind kind) { return kind == CgroupKind::kUnified ? "unified" : "freezer"; }

// Starts the sweeper: it holds the run's lock (descriptor 4, shared with
// us) and sweeps when the pipe on its descriptor 3 ends, at our end.
pid_t StartSweeper(const std::string& program, CgroupKind kind, const std::string& run, const Handle& lock,
                   Handle& pipe_write) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return 0;
  Handle read_end(fds[0]);
  Handle write_end(fds[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDWR, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_RDWR, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[0], 3);
  posix_spawn_file_actions_adddup2(&actions, static_cast<int>(lock.get()), 4);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  posix_spawn_file_actions_addclosefrom_np(&actions, 5);
#endif
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  // A group of its own: a Ctrl-C for the run must not end it before the run's end.
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::string name = kCgroupSweeperName;
  std::string kind_name = KindName(kind);
  std::string folder = run;
  char* argv[] = {name.data(), kind_name.data(), folder.data(), nullptr};
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return 0;
  pipe_write = std::move(write_end);
  return pid;
}

struct RunState {
  CgroupKind kind = CgroupKind::kNone;
  std::string run;
  Handle lock;  // the run's folder, locked while the run lasts
  Handle sweeper_pipe;
  pid_t sweeper = 0;
  bool decided = false;

  // At the controller's end the sweeper removes the run's folder, and is
  // waited for so that it is not left to our parent as a zombie.
  ~RunState() {
    sweeper_pipe.Close();
    if (sweeper > 0) {
      while (::waitpid(sweeper, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
  }
};

std::mutex state_mutex;
std::atomic<CgroupKind> decided_kind{CgroupKind::kNone};
std::atomic<uint64_t> next_job{0};
CgroupKind only_kind_for_testing = CgroupKind::kNone;
bool only_kind_given = false;

RunState& State() {
  static RunState state;
  return state;
}

// Makes the run's folder in the first kind that allows it.
void Decide(RunState& state, const std::string& program) {
  state.decided = true;
  std::vector<CgroupKind> kinds = {CgroupKind::kUnified, CgroupKind::kFreezer};
  if (only_kind_given) kinds = {only_kind_for_testing};
  for (CgroupKind kind : kinds) {
    if (kind == CgroupKind::kNone) continue;
    std::optional<std::string> own = OwnCgroupFolder(kind);
    if (!own) continue;
    const std::string base = *own + "/aurvane";
    if (::mkdir(base.c_str(), 0755) != 0 && errno != EEXIST) continue;
    Handle base_lock(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Held while pruning and while making our folder, so that no other run
    // prunes our folder before we hold it.
    if (!base_lock.valid() || ::flock(static_cast<int>(base_lock.get()), LOCK_EX) != 0) continue;
    PruneStaleRuns(kind, base);
    std::string run;
    for (int attempt = 0; attempt < 100 && run.empty(); ++attempt) {
      std::string name = base + "/run-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
      if (::mkdir(name.c_str(), 0755) == 0) run = name;
      else if (errno != EEXIST) break;
    }
    if (run.empty()) continue;
    const char* control = kind == CgroupKind::kUnified ? "/cgroup.freeze" : "/freezer.state";
    Handle lock(::open(run.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!lock.valid() || ::flock(static_cast<int>(lock.get()), LOCK_EX) != 0 ||
        ::access((run + control).c_str(), W_OK) != 0) {
      ::rmdir(run.c_str());
      continue;
    }
    state.kind = kind;
    state.run = run;
    state.lock = std::move(lock);
    // Without a sweeper the cgroups still end each job's tree; only what
    // outlives a killed controller waits for the next run's pruning.
    state.sweeper = StartSweeper(program, kind, run, state.lock, state.sweeper_pipe);
    decided_kind = kind;
    return;
  }
}

}  // namespace

CgroupKind JobCgroupKind() { return decided_kind; }

bool CgroupKindUsable(CgroupKind kind) {
  std::optional<std::string> own = kind == CgroupKind::kNone ? std::nullopt : OwnCgroupFolder(kind);
  return own && ::access(own->c_str(), W_OK) == 0;
}

void TryOnlyCgroupKindForTesting(CgroupKind kind) {
  std::lock_guard<std::mutex> lock(state_mutex);
  only_kind_for_testing = kind;
  only_kind_given = true;
}

pid_t CgroupSweeperPid() {
  std::lock_guard<std::mutex> lock(state_mutex);
  return State().sweeper;
}

JobCgroup::JobCgroup(JobCgroup&& other) noexcept
    : path_(std::move(other.path_)), procs_(std::move(other.procs_)), kind_(other.kind_) {
  other.path_.clear();
}

JobCgroup& JobCgroup::operator=(JobCgroup&& other) noexcept {
  if (this != &other) {
    Remove();
    path_ = std::move(other.path_);
    procs_ = std::move(other.procs_);
    kind_ = other.kind_;
    other.path_.clear();
  }
  return *this;
}

JobCgroup JobCgroup::Create(const std::string& sweeper_program) {
  CgroupKind kind;
  std::string run;
  {
    std::lock_guard<std::mutex> lock(state_mutex);
    RunState& state = State();
    if (!state.decided) Decide(state, sweeper_program);
    kind = state.kind;
    run = state.run;
  }
  if (kind == CgroupKind::kNone) return JobCgroup();
  std::string path = run + "/job-" + std::to_string(next_job++);
  if (::mkdir(path.c_str(), 0755) != 0) return JobCgroup();
  Handle procs(::open((path + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC));
  if (!procs.valid()) {
    ::rmdir(path.c_str());
    return JobCgroup();
  }
  return JobCgroup(std::move(path), std::move(procs), kind);
}

void JobCgroup::Remove() {
  if (path_.empty()) return;
  procs_.Close();
  RemoveCgroup(kind_, path_);
  path_.clear();
}

bool JoinJobCgroup() {
  struct statfs fs;
  if (::fstatfs(kJobCgroupFd, &fs) != 0) return false;
  const auto type = static_cast<unsigned long long>(fs.f_type);
  if (type != kCgroupMagic && type != kCgroup2Magic) return false;
  ::fcntl(kJobCgroupFd, F_SETFD, FD_CLOEXEC);
  ssize_t n;
  do {
    n = ::write(kJobCgroupFd, "0", 1);
  } while (n < 0 && errno == EINTR);
  return n == 1;
}

int RunCgroupSweeperIfInvoked(int argc, char** argv) {
  if (argc < 3 || argv == nullptr || argv[0] == nullptr || ::strcmp(argv[0], kCgroupSweeperName) != 0) return -1;
  // The terminal's signals are for the run, which ends in order; the
  // sweeper's word is the end of its pipe.
  ::signal(SIGINT, SIG_IGN);
  ::signal(SIGHUP, SIG_IGN);
  ::signal(SIGQUIT, SIG_IGN);
  char byte;
  for (;;) {
    ssize_t n = ::read(3, &byte, 1);
    if (n == 0 || (n < 0 && errno != EINTR)) break;
  }
  SweepRun(::strcmp(argv[1], "unified") == 0 ? CgroupKind::kUnified : CgroupKind::kFreezer, argv[2]);
  return 0;
}

}  // namespace aurvane
