#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
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
#include <cstdio>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "process/worker_job.h"
#include "util/file.h"

extern char** environ;

namespace aurvane {

namespace {

// The guard leads the job's process group. It reads its standard input (the
// pipe only the controller can write to) until end of file, which comes when
// the controller closes the pipe or dies, and then kills its own group.
constexpr char kGuardShell[] = "/bin/sh";
constexpr char kGuardScript[] = "read x; kill -9 0";

// Orphans of the workers' trees must become our children so that their
// zombies can be reaped; otherwise a machine whose first process does not
// reap keeps them, and they would count as members of the group for good.
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
  // ignores SIGPIPE, which a worker must not inherit.
  explicit SpawnAttributes(pid_t group) {
    posix_spawnattr_init(&attr_);
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr_, &none);
    posix_spawnattr_setsigdefault(&attr_, &all);
    posix_spawnattr_setpgroup(&attr_, group);
    posix_spawnattr_setflags(&attr_, static_cast<short>(POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                                        POSIX_SPAWN_SETSIGDEF));
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

  // Every descriptor above the standard three is closed in the child, so
  // that nothing of the controller leaks even if some code opened a
  // descriptor without close-on-exec.
  void CloseTheRest() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
#endif
  }

 private:
  posix_spawn_file_actions_t actions_;
};

// The child's standard streams are set up with dup2 in order 0, 1, 2. A
// source that is itself 0, 1 or 2 (the controller closed its own standard
// streams) could be overwritten before it is used, so such a source is
// first copied above them.
Result<Handle> CopyAboveStandardStreams(int fd) {
  int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (copy < 0) return LastOsError();
  return Handle(copy);
}

int SafeSource(const Handle& handle, Handle& holder, Status& status) {
  int fd = static_cast<int>(handle.get());
  if (fd > 2) return fd;
  Result<Handle> copy = CopyAboveStandardStreams(fd);
  if (!copy.ok()) {
    status = copy.status();
    return -1;
  }
  holder = std::move(copy).value();
  return static_cast<int>(holder.get());
}

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

pid_t WaitRetrying(pid_t pid, int options) {
  for (;;) {
    pid_t got = ::waitpid(pid, nullptr, options);
    if (got >= 0 || errno != EINTR) return got;
  }
}

struct ProcessEntry {
  pid_t pid;
  pid_t ppid;
  pid_t pgrp;
  bool live;  // not a zombie
};

// Every process of the machine with its parent and group, from /proc.
std::vector<ProcessEntry> ReadProcessTable() {
  std::vector<ProcessEntry> table;
#if defined(__linux__)
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return table;
  while (struct dirent* entry = ::readdir(proc)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    std::string path = std::string("/proc/") + entry->d_name + "/stat";
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    char buf[512];
    ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0) continue;
    buf[n] = '\0';
    // "pid (comm) state ppid pgrp ...": comm may hold anything, so parse
    // after its last closing parenthesis.
    const char* close_paren = ::strrchr(buf, ')');
    if (close_paren == nullptr) continue;
    char state = 0;
    long ppid = 0;
    long pgrp = 0;
    if (std::sscanf(close_paren + 1, " %c %ld %ld", &state, &ppid, &pgrp) != 3) continue;
    table.push_back({static_cast<pid_t>(std::atol(entry->d_name)), static_cast<pid_t>(ppid),
                     static_cast<pid_t>(pgrp), state != 'Z' && state != 'X'});
  }
  ::closedir(proc);
#endif
  return table;
}

// Whether any process of group `group` is alive in `table`; zombies do not
// count.
bool GroupHasLiveProcess(const std::vector<ProcessEntry>& table, pid_t group) {
  if (::kill(-group, 0) != 0 && errno == ESRCH) return false;
#if defined(__linux__)
  for (const ProcessEntry& entry : table) {
    if (entry.pgrp == group && entry.live) return true;
  }
  return false;
#else
  return true;
#endif
}

// Whether process `pid`'s environment holds every "NAME=value" of `entries`.
bool EnvironHasAll(pid_t pid, const std::vector<std::string>& entries) {
  if (entries.empty()) return false;
  std::string path = "/proc/" + std::to_string(pid) + "/environ";
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string environ_text;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) environ_text.append(buf, static_cast<size_t>(n));
  ::close(fd);
  for (const std::string& entry : entries) {
    std::string needle = entry;
    needle += '\0';
    if (environ_text.compare(0, needle.size(), needle) != 0 &&
        environ_text.find('\0' + needle) == std::string::npos) {
      return false;
    }
  }
  return true;
}

// Our own live children outside `group` that carry the worker's `tags`:
// members of its tree that left the group and were handed to us when their
// parent died. Being our unreaped children, their ids cannot be reused.
std::vector<pid_t> TaggedChildrenOutside(const std::vector<ProcessEntry>& table, pid_t group,
                                         const std::vector<std::string>& tags) {
  std::vector<pid_t> found;
  const pid_t self = ::getpid();
  for (const ProcessEntry& entry : table) {
    if (entry.ppid == self && entry.pgrp != group && entry.live && EnvironHasAll(entry.pid, tags)) {
      found.push_back(entry.pid);
    }
  }
  return found;
}

// Processes of the worker's tree that left its group, such as a server that
// a test starts in a session of its own: killing the group misses them. They
// are found through their parent links while the worker lives, and, once it
// has died and they became our children, by the worker's environment
// variables (`tags`), which they inherited.
std::vector<pid_t> ProcessesOutsideGroup(pid_t worker, pid_t group, const std::vector<std::string>& tags) {
  std::vector<ProcessEntry> table = ReadProcessTable();
  std::unordered_multimap<pid_t, const ProcessEntry*> children;
  for (const ProcessEntry& entry : table) children.emplace(entry.ppid, &entry);
  std::vector<pid_t> outside = TaggedChildrenOutside(table, group, tags);
  std::vector<pid_t> pending = outside;
  pending.push_back(worker);
  while (!pending.empty()) {
    pid_t parent = pending.back();
    pending.pop_back();
    auto [begin, end] = children.equal_range(parent);
    for (auto it = begin; it != end; ++it) {
      const ProcessEntry& child = *it->second;
      if (child.pgrp != group) outside.push_back(child.pid);
      pending.push_back(child.pid);
    }
  }
  return outside;
}

bool IsLive(const std::vector<ProcessEntry>& table, pid_t pid) {
  for (const ProcessEntry& entry : table) {
    if (entry.pid == pid) return entry.live;
  }
  return false;
}

}  // namespace

struct WorkerJob::Impl {
  pid_t worker = -1;
  pid_t guard = -1;  // also the id of the job's process group
  Handle guard_pipe;  // writing end; closing it fires the guard
  std::vector<std::string> tags;  // "NAME=value" set for the worker
  bool worker_reaped = false;
  bool guard_reaped = false;

  void NoteReaped(pid_t pid) {
    if (pid == worker) worker_reaped = true;
    if (pid == guard) guard_reaped = true;
  }

  // Reaps every member of the group that has become our zombie. True when
  // no child of ours is left in the group (killed members that are still
  // exiting, and orphans not yet handed to us, keep it false).
  bool ReapGroup() {
    for (;;) {
      pid_t got = WaitRetrying(-guard, WNOHANG);
      if (got == 0) return false;
      if (got < 0) return true;
      NoteReaped(got);
    }
  }
};

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

Result<WorkerJob> WorkerJob::Start(const ProcessDescription& description, const Handle& stdin_read,
                                   const Handle& stdout_write, const Handle& stderr_file) {
  BecomeSubreaperOnce();
  ImplPtr impl(new Impl());
  for (const auto& [name, value] : description.env) impl->tags.push_back(name + "=" + value);

  // The guard first: it leads the group, so the worker is owned from its
  // first instruction and there is no moment in which it could outlive us.
  int guard_fds[2];
  if (::pipe2(guard_fds, O_CLOEXEC) != 0) return LastOsError();
  Handle guard_read(guard_fds[0]);
  impl->guard_pipe = Handle(guard_fds[1]);
  {
    Status status;
    Handle holder;
    int source = SafeSource(guard_read, holder, status);
    if (!status.ok()) return Error{status.message()};
    FileActions actions;
    posix_spawn_file_actions_adddup2(actions.get(), source, 0);
    posix_spawn_file_actions_addopen(actions.get(), 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(actions.get(), 2, "/dev/null", O_WRONLY, 0);
    actions.CloseTheRest();
    posix_spawn_file_actions_addchdir_np(actions.get(), "/");
    SpawnAttributes attributes(0);
    std::vector<std::string> argv_strings = {kGuardShell, "-c", kGuardScript, "aurvane-job-guard"};
    std::vector<char*> argv = Pointers(argv_strings);
    std::vector<std::string> env_strings = BuildEnvironment({});
    std::vector<char*> envp = Pointers(env_strings);
    int rc = ::posix_spawn(&impl->guard, kGuardShell, actions.get(), attributes.get(), argv.data(),
                           envp.data());
    if (rc != 0) return Error{OsErrorText(rc)};
  }
  guard_read.Close();

  Status status;
  Handle in_holder, out_holder, err_holder;
  int in_fd = SafeSource(stdin_read, in_holder, status);
  int out_fd = status.ok() ? SafeSource(stdout_write, out_holder, status) : -1;
  int err_fd = status.ok() ? SafeSource(stderr_file, err_holder, status) : -1;
  int rc = 0;
  if (status.ok()) {
    FileActions actions;
    posix_spawn_file_actions_adddup2(actions.get(), in_fd, 0);
    posix_spawn_file_actions_adddup2(actions.get(), out_fd, 1);
    posix_spawn_file_actions_adddup2(actions.get(), err_fd, 2);
    actions.CloseTheRest();
    std::string cwd = description.cwd.string();
    posix_spawn_file_actions_addchdir_np(actions.get(), cwd.c_str());
    SpawnAttributes attributes(impl->guard);
    std::vector<std::string> argv_strings;
    argv_strings.push_back(description.program.string());
    for (const std::string& arg : description.args) argv_strings.push_back(arg);
    std::vector<char*> argv = Pointers(argv_strings);
    std::vector<std::string> env_strings = BuildEnvironment(description.env);
    std::vector<char*> envp = Pointers(env_strings);
    std::string program = description.program.string();
    rc = ::posix_spawn(&impl->worker, program.c_str(), actions.get(), attributes.get(), argv.data(),
                       envp.data());
  }
  if (!status.ok() || rc != 0) {
    // The guard is alone in its group: firing it ends it; reap it.
    impl->guard_pipe.Close();
    ::kill(impl->guard, SIGKILL);
    WaitRetrying(impl->guard, 0);
    if (!status.ok()) return Error{status.message()};
    if (rc == ENOENT && description.program.is_absolute() &&
        !std::filesystem::exists(description.program)) {
      return Error{"program not found"};
    }
    return Error{OsErrorText(rc)};
  }
  const auto pid = static_cast<uint32_t>(impl->worker);
  return WorkerJob(std::move(impl), pid);
}

void WorkerJob::KillAndWait() {
  Impl& job = *impl_;
  std::vector<pid_t> escaped = ProcessesOutsideGroup(job.worker, job.guard, job.tags);
  ::kill(-job.guard, SIGKILL);
  ::kill(job.worker, SIGKILL);
  for (pid_t pid : escaped) ::kill(pid, SIGKILL);
  if (!job.worker_reaped && WaitRetrying(job.worker, 0) == job.worker) job.worker_reaped = true;
  job.guard_pipe.Close();

  WaitUntilEmpty([&] {
    // A member's exit hands its children to us before it becomes a zombie,
    // so once nothing is live and none of ours is left, nothing will be.
    bool none_of_ours = job.ReapGroup();
    // One look at the process table per poll serves every check below.
    std::vector<ProcessEntry> table = ReadProcessTable();
    // Escaped processes whose parent died are ours now: kill any that the
    // first look missed (one whose parent was still exiting then), and
    // reap them too.
    for (pid_t pid : TaggedChildrenOutside(table, job.guard, job.tags)) {
      if (std::find(escaped.begin(), escaped.end(), pid) == escaped.end()) {
        ::kill(pid, SIGKILL);
        escaped.push_back(pid);
      }
    }
    bool escaped_gone = true;
    for (pid_t& pid : escaped) {
      if (pid <= 0) continue;
      if (WaitRetrying(pid, WNOHANG) == pid || !IsLive(table, pid)) {
        pid = -1;
      } else {
        escaped_gone = false;
      }
    }
    return none_of_ours && escaped_gone && !GroupHasLiveProcess(table, job.guard);
  });
  // The guard is our own child and has been killed: never leave it a zombie.
  if (!job.guard_reaped) {
    ::kill(job.guard, SIGKILL);
    if (WaitRetrying(job.guard, 0) == job.guard) job.guard_reaped = true;
  }
}

}  // namespace aurvane
