// The process tree below a process, as Linux shows it in /proc: used by the
// job guard to end a worker's tree and by the controller to end what a dead
// guard left behind. POSIX files only.
#ifndef AURVANE_PROCESS_PROCESS_TREE_H_
#define AURVANE_PROCESS_PROCESS_TREE_H_

#include <sys/types.h>

#include <vector>

namespace aurvane {

// The children of `pid`, thread by thread (each thread has its own list).
std::vector<pid_t> ChildrenOf(pid_t pid);

// Sends SIGKILL to every descendant of `root` (root itself excepted) that is
// not below one of `spared`. A process is signalled only after it has been
// pinned and seen to be still the child of the parent it was listed under,
// so an id reused meanwhile is never hit. Descendants forked during the walk
// may be missed: callers repeat it until they have no child left.
void KillDescendants(pid_t root, const std::vector<pid_t>& spared);

}  // namespace aurvane

#endif  // AURVANE_PROCESS_PROCESS_TREE_H_
