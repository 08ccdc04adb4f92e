#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "process/process_tree.h"

namespace aurvane {

namespace {

bool ReadSmallFile(const std::string& path, std::string& out) {
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

// The parent of `pid` from /proc, or -1.
pid_t ParentOf(pid_t pid) {
  std::string text;
  if (!ReadSmallFile("/proc/" + std::to_string(pid) + "/stat", text)) return -1;
  // "pid (comm) state ppid ...": comm may hold anything.
  size_t paren = text.rfind(')');
  if (paren == std::string::npos) return -1;
  char state = 0;
  long ppid = -1;
  if (std::sscanf(text.c_str() + paren + 1, " %c %ld", &state, &ppid) != 2) return -1;
  return static_cast<pid_t>(ppid);
}

// SIGKILL to `child` if it is still `parent`'s child. A pidfd pins the
// process, so the check and the signal concern one and the same process.
bool KillIfChildOf(pid_t child, pid_t parent) {
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
  if (pidfd < 0) {
    if (errno != ENOSYS) return false;  // gone
    // A kernel without pidfds: the id may have been reused in the instant
    // between the listing and the signal.
    if (ParentOf(child) != parent) return false;
    return ::kill(child, SIGKILL) == 0;
  }
  bool killed = ParentOf(child) == parent &&
                ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0) == 0;
  ::close(pidfd);
  return killed;
}

}  // namespace

std::vector<pid_t> ChildrenOf(pid_t pid) {
  std::vector<pid_t> children;
  std::string task_dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = ::opendir(task_dir.c_str());
  if (dir == nullptr) return children;
  std::string text;
  while (struct dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    if (!ReadSmallFile(task_dir + "/" + entry->d_name + "/children", text)) continue;
    const char* p = text.c_str();
    char* end = nullptr;
    for (long id = std::strtol(p, &end, 10); end != p; id = std::strtol(p, &end, 10)) {
      children.push_back(static_cast<pid_t>(id));
      p = end;
    }
  }
  ::closedir(dir);
  return children;
}

void KillDescendants(pid_t root, const std::vector<pid_t>& spared) {
  std::vector<pid_t> pending = {root};
  while (!pending.empty()) {
    pid_t parent = pending.back();
    pending.pop_back();
    for (pid_t child : ChildrenOf(parent)) {
      if (parent == root && std::find(spared.begin(), spared.end(), child) != spared.end()) continue;
      // Killed top-down: a child's own children are still listed while it
      // dies, and any missed are handed to the root once it has died.
      if (KillIfChildOf(child, parent)) pending.push_back(child);
    }
  }
}

}  // namespace aurvane
