#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "process/cgroup.h"
#include "process/fork_client.h"
#include "process/job_guard.h"
#include "process/process_tree.h"
#include "util/file.h"

extern char** environ;

namespace aurvane {

namespace {

// Reaps every child that has ended. False when no child is left at all.
// When `watched` is among them, its wait status goes to `watched_status`.
bool ReapEnded(pid_t watched = -1, int* watched_status = nullptr) {
  for (;;) {
    int status = 0;
    pid_t got = ::waitpid(-1, &status, WNOHANG);
    if (got > 0 && got == watched && watched_status != nullptr) *watched_status = status;
    if (got > 0) continue;
    if (got < 0 && errno == EINTR) continue;
    return got == 0;
  }
}

// The signals the guard takes: SIGCHLD, and those that end its wait, since
// the controller cannot always close the pipe first (a user's kill) and the
// tree must not outlive the guard. SIGINT is taken and dropped: a terminal's
// Ctrl-C reaches the controller, which interrupts the worker itself so that
// it can tear down; ending the tree here would take that chance away.
sigset_t GuardSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGCHLD);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

void WriteReport(GuardReport report) {
  ssize_t n;
  do {
    n = ::write(kGuardStatusFd, &report, sizeof report);
  } while (n < 0 && errno == EINTR);
}

// The forked worker that this process stands for, once there is one.
volatile sig_atomic_t g_forked_worker = 0;

// A SIGINT for this process (the guard passes the controller's interrupt on)
// is meant for the worker it stands for.
extern "C" void PassInterruptOn(int) {
  int saved = errno;
  if (g_forked_worker > 0) ::kill(static_cast<pid_t>(g_forked_worker), SIGINT);
  errno = saved;
}

// In the worker's process, before its exec: hands its streams to the fork
// server at `path` and stands for the worker the server forks until it
// ends, exiting with its status. Returns only when no server forked a
// worker, having said so on the worker's standard error. `guards_own` are
// the guard's descriptors, which an exec would have closed; `cgroup` is the
// job's cgroup.procs (or -1), which the server's fork joins.
void AttachOrGoOn(const std::string& path, std::initializer_list<int> guards_own, int cgroup) {
  // Kept, the control pipe's read end would be this process's too.
  for (int fd : guards_own) {
    if (fd >= 0) ::close(fd);
  }
  // Of any length (glibc allocates it); freed by the exit or exec that follows.
  const char* here = ::getcwd(nullptr, 0);
  if (here != nullptr) {
    Result<ForkServerClient> client = ForkServerClient::Attach(path, EncodeForkRequest(here, environ), cgroup);
    if (client.ok()) {
      g_forked_worker = client.value().worker_pid();
      struct sigaction pass_on = {};
      pass_on.sa_handler = PassInterruptOn;
      sigemptyset(&pass_on.sa_mask);
      pass_on.sa_flags = SA_RESTART;
      ::sigaction(SIGINT, &pass_on, nullptr);
      // Only the worker holds the streams now: the controller learns of its
      // end from the end of its output, which a copy here would hide.
      int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
      for (int fd = 0; fd <= 2; ++fd) ::dup2(null, fd);
      if (null > 2) ::close(null);
      ::_exit(client.value().WaitForExit());
    }
    (void)WriteStderr("aurvane: " + client.message() + "; starting as a worker of its own\n");
  } else {
    (void)WriteStderr("aurvane: no fork server at " + path + " (" + LastOsError().message +
                      "); starting as a worker of its own\n");
  }
}

// Forks and executes the worker: argv[1] with the arguments after it. The
// child is killed when the guard dies (so that a test killing its parent
// cannot leave a worker nobody owns) and starts with nothing blocked.
GuardReport StartWorker(char** argv, int signals, bool in_cgroup) {
  int exec_error[2];
  if (::pipe2(exec_error, O_CLOEXEC) != 0) return {kGuardForkFailed, errno};
  const pid_t guard = ::getpid();
  pid_t worker = ::fork();
  if (worker < 0) {
    int error = errno;
    ::close(exec_error[0]);
    ::close(exec_error[1]);
    return {kGuardForkFailed, error};
  }
  if (worker == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    if (::getppid() != guard) ::_exit(127);  // the guard died before the line above
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (std::optional<std::string> server = ForkServerPath(environ)) {
      // Reported as started before the server is asked: the controller
      // must not wait on a server that is slow or stuck, but judge this
      // worker's start by its deadline as it judges any other's.
      AttachOrGoOn(*server, {kGuardControlFd, kGuardStatusFd, signals, exec_error[0], exec_error[1]},
                   in_cgroup ? kJobCgroupFd : -1);
      // No server to fork from: a worker of our own.
      std::vector<char*> without_server = WithoutForkServer(environ);
      ::execve(argv[1], argv + 1, without_server.data());
      (void)WriteStderr(std::string("aurvane: cannot execute ") + argv[1] + ": " + LastOsError().message + "\n");
      ::_exit(127);
    }
    ::execve(argv[1], argv + 1, environ);
    int error = errno;
    ssize_t ignored = ::write(exec_error[1], &error, sizeof error);
    (void)ignored;
    ::_exit(127);
  }
  ::close(exec_error[1]);
  int error = 0;
  ssize_t n;
  do {
    n = ::read(exec_error[0], &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  ::close(exec_error[0]);
  if (n == static_cast<ssize_t>(sizeof error)) {
    ::waitpid(worker, nullptr, 0);
    return {kGuardExecFailed, error};
  }
  return {kGuardStarted, static_cast<int32_t>(worker)};
}

// Holds the tree until told to end it: reaps the orphans that are handed to
// the guard as they end, so they do not pile up as zombies for the whole run,
// and passes the controller's interrupts on to the worker while it lives.
// The worker's own end is reported with its wait status: the controller,
// which sees only the end of its output, says what ended it (a signal
// nobody here sent is often the out-of-memory killer's).
void WaitForTheEnd(int signals, pid_t worker) {
  bool worker_reaped = false;
  auto reap = [worker, &worker_reaped] {
    int status = -1;
    ReapEnded(worker, &status);
    if (status != -1) {
      worker_reaped = true;  // its number may be another process's from now on
      WriteReport({kGuardWorkerEnded, status});
    }
  };
  struct pollfd fds[2] = {{kGuardControlFd, POLLIN, 0}, {signals, POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) {
      struct signalfd_siginfo info;
      bool stop = false;
      while (::read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        stop = stop || (info.ssi_signo != SIGCHLD && info.ssi_signo != SIGINT);
      }
      reap();
      if (stop) return;
    }
    if (fds[0].revents != 0) {
      char command = 0;
      ssize_t n;
      do {
        n = ::read(kGuardControlFd, &command, 1);
      } while (n < 0 && errno == EINTR);
      reap();
      // A kill, or the controller is gone. A worker that ended first (its
      // end is what the controller answers) is reported still.
      if (n != 1 || command != kGuardInterrupt) return;
      if (!worker_reaped) ::kill(worker, SIGINT);
    }
  }
}

// Kills every descendant until the guard has no child left: a process
// missed by one walk (forked meanwhile, or orphaned to the guard by a death)
// is found by the next, and nothing below the guard can leave it.
void EndTheTree(int signals) {
  const pid_t self = ::getpid();
  while (ReapEnded()) {
    KillDescendants(self, {});
    // Wake at the next child's end, or soon in any case to walk again.
    struct pollfd fd = {signals, POLLIN, 0};
    if (::poll(&fd, 1, 5) > 0) {
      struct signalfd_siginfo info;
      while (::read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      }
    }
  }
}

int RunJobGuard(char** argv) {
  ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
  ::fcntl(kGuardControlFd, F_SETFD, FD_CLOEXEC);
  ::fcntl(kGuardStatusFd, F_SETFD, FD_CLOEXEC);
  sigset_t set = GuardSignals();
  ::sigprocmask(SIG_BLOCK, &set, nullptr);
  int signals = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  // Before the worker is forked, so that it and all it starts are in the
  // job's cgroup too.
  const bool in_cgroup = JoinJobCgroup();

  GuardReport report = StartWorker(argv, signals, in_cgroup);
  WriteReport(report);
  if (report.started != kGuardStarted) return 127;
  // Only the worker holds its streams now: the controller learns of its end
  // from the end of its output, which a copy here would hide.
  int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  for (int fd = 0; fd <= 2; ++fd) ::dup2(null, fd);
  if (null > 2) ::close(null);
  if (::chdir("/") != 0) {
    // Staying in the worker's directory only keeps it busy.
  }
  if (signals >= 0) {
    WaitForTheEnd(signals, static_cast<pid_t>(report.value));
  } else {
    // Nothing is reaped here, so the worker's number stays its own.
    char byte = kGuardInterrupt;
    for (;;) {
      ssize_t n = ::read(kGuardControlFd, &byte, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n != 1 || byte != kGuardInterrupt) break;
      ::kill(static_cast<pid_t>(report.value), SIGINT);
    }
  }
  EndTheTree(signals);
  return 0;
}

}  // namespace

int RunJobGuardIfInvoked(int argc, char** argv) {
  if (int status = RunCgroupSweeperIfInvoked(argc, argv); status >= 0) return status;
  if (argc < 2 || argv == nullptr || argv[0] == nullptr || ::strcmp(argv[0], kJobGuardName) != 0) return -1;
  return RunJobGuard(argv);
}

}  // namespace aurvane
