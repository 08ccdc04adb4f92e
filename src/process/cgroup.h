// A cgroup per worker job, where the kernel offers one this process may
// create. POSIX files only (Linux; elsewhere no kind is ever usable).
//
// A job guard owns its tree only while it lives, and the controller takes
// the tree over only while the controller lives: a test that kills both
// leaves what it started to the machine's first process. Every process of
// a cgroup stays in it whatever becomes of its parents, and can be killed
// through it. So the controller makes one cgroup for its run and one below
// it for each job; the guard moves itself into its job's before it forks the
// worker (descriptor kJobCgroupFd), and a job's end kills and removes its
// cgroup. A sweeper process (this program under kCgroupSweeperName, the
// controller's child in a group of its own) waits for the controller's end,
// whatever it was, and then kills and removes whatever is left of the run's.
//
// The layout: <mount><this process's cgroup>/aurvane/run-<pid>-<n>/job-<n>.
// The controller and its sweeper hold a lock on the run's folder; a run
// that starts removes every run folder nobody holds (and kills what is in
// it), so a sweeper that was killed too leaves nothing for long.
#ifndef AURVANE_PROCESS_CGROUP_H_
#define AURVANE_PROCESS_CGROUP_H_

#include <sys/types.h>

#include <string>

#include "process/handle.h"
#include "util/result.h"

namespace aurvane {

// Where the guard finds its job's cgroup.procs, opened for writing, when it
// has one; the same descriptor goes to a fork server with the streams.
inline constexpr int kJobCgroupFd = 5;
inline constexpr char kCgroupSweeperName[] = "aurvane-cgroup-sweeper";

enum class CgroupKind {
  kNone,     // the job guard alone holds a tree
  kUnified,  // cgroup v2: cgroup.kill, or frozen and then killed process by process
  kFreezer,  // the cgroup v1 freezer: frozen, killed process by process, thawed
};

// The kind this controller uses: the first of cgroup v2 and the v1 freezer
// in which it could make its run's folder, or kNone (also before the first
// JobCgroup::Create, which decides).
CgroupKind JobCgroupKind();

// Whether this process finds its own cgroup of that kind and may write
// there (what JobCgroup::Create needs first), without making anything.
bool CgroupKindUsable(CgroupKind kind);

// Tests: which kind to try at that first call (kNone: none at all).
void TryOnlyCgroupKindForTesting(CgroupKind kind);

// The sweeper's process id, 0 when there is none: a child of this process
// that is no job's guard and must be left alone.
pid_t CgroupSweeperPid();

class JobCgroup {
 public:
  JobCgroup() = default;  // none: Remove does nothing
  ~JobCgroup() { Remove(); }
  JobCgroup(JobCgroup&& other) noexcept;
  JobCgroup& operator=(JobCgroup&& other) noexcept;
  JobCgroup(const JobCgroup&) = delete;
  JobCgroup& operator=(const JobCgroup&) = delete;

  // A new cgroup for one job in the run's, or none (an empty JobCgroup)
  // where no kind is usable or the folder cannot be made. The first call
  // decides the kind, makes the run's folder and starts `sweeper_program`
  // (this program, which serves kCgroupSweeperName) as its sweeper.
  static JobCgroup Create(const std::string& sweeper_program);

  bool valid() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  // Its cgroup.procs, open for writing: whoever writes "0" to it moves in.
  const Handle& procs() const { return procs_; }

  // Kills every process in it, waits (at most 2 s) until none is left,
  // and removes it. Acts again harmlessly.
  void Remove();

 private:
  JobCgroup(std::string path, Handle procs, CgroupKind kind)
      : path_(std::move(path)), procs_(std::move(procs)), kind_(kind) {}
  std::string path_;
  Handle procs_;
  CgroupKind kind_ = CgroupKind::kNone;
};

// In a job guard: moves this process into the cgroup whose cgroup.procs is
// open on kJobCgroupFd, when it is (a descriptor on a cgroup file system).
// The descriptor stays open, close-on-exec. True when it moved.
bool JoinJobCgroup();

// When this process was started as the run's sweeper, does the sweeper's
// work and returns its exit status; otherwise returns -1 at once.
int RunCgroupSweeperIfInvoked(int argc, char** argv);

}  // namespace aurvane

#endif  // AURVANE_PROCESS_CGROUP_H_
