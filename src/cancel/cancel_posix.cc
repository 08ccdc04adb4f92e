// POSIX cancellation: SIGINT, SIGTERM, SIGHUP and SIGQUIT stand for the
// console control events. The handler may only do async-signal-safe work, so
// it posts a semaphore; a waiting thread turns each post into the flag.
#include <errno.h>
#include <semaphore.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <thread>

#include "cancel/cancel.h"

namespace aurvane {

namespace {

sem_t g_interrupts;
std::atomic<bool> g_installed{false};

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void OnInterrupt(int) {
  int saved = errno;
  sem_post(&g_interrupts);  // async-signal-safe
  errno = saved;
}

void WaitForInterrupts(CancelFlag flag) {
  int interrupts = 0;
  for (;;) {
    if (sem_wait(&g_interrupts) != 0) {
      if (errno == EINTR) continue;
      static constexpr char kMessage[] = "Critical system error while waiting for Ctrl-C\n";
      [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
      return;
    }
    // Only interrupts count towards a cancellation at once: the front end
    // sends its line with the first.
    ++interrupts;
    RaiseCancel(flag, interrupts > 1 ? kCancelNow : kCancelInOrder);
  }
}

}  // namespace

Status InstallInterruptHandler(const CancelFlag& flag) {
  if (g_installed.exchange(true)) return Error{"Ctrl-C error: Ctrl-C signal handler already registered"};
  if (sem_init(&g_interrupts, 0, 0) != 0) return Error{"Ctrl-C error: Unexpected system error"};
  struct sigaction action = {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // SA_RESTART keeps the interrupted system calls of other threads going.
  action.sa_flags = SA_RESTART;
  for (int signal : kSignals) {
    if (sigaction(signal, &action, nullptr) != 0) return Error{"Ctrl-C error: Unexpected system error"};
  }
  std::thread(WaitForInterrupts, flag).detach();
  return Status::Ok();
}

void StartStdinWatcher(const CancelFlag& flag) {
  std::thread([watched = flag]() mutable {
    // One line, or the end of input, or an error: any of them cancels.
    char c = 0;
    for (;;) {
      ssize_t n = ::read(STDIN_FILENO, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n != 1 || c == '\n') break;
    }
    RaiseCancel(watched, kCancelInOrder);
    watched.reset();
  }).detach();
}

}  // namespace aurvane
