// Windows cancellation: every console control event (Ctrl-C, Ctrl-Break,
// close, logoff, shutdown) releases a semaphore from the system's handler
// thread; a waiting thread turns each release into the flag, so the handler
// itself does nothing but count.
#include <windows.h>

#include <thread>

#include "cancel/cancel.h"

namespace aurvane {

namespace {

HANDLE g_interrupts = nullptr;
std::atomic<bool> g_installed{false};

BOOL WINAPI OnConsoleEvent(DWORD) {
  ::ReleaseSemaphore(g_interrupts, 1, nullptr);
  // Handled: Ctrl-C and Ctrl-Break must not end the process; the run stops
  // in order instead.
  return TRUE;
}

void WaitForInterrupts(CancelFlag flag) {
  int interrupts = 0;
  for (;;) {
    if (::WaitForSingleObject(g_interrupts, INFINITE) != WAIT_OBJECT_0) {
      static constexpr char kMessage[] = "Critical system error while waiting for Ctrl-C\n";
      DWORD written = 0;
      ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), kMessage, sizeof kMessage - 1, &written, nullptr);
      return;
    }
    ++interrupts;
    RaiseCancel(flag, interrupts > 1 ? kCancelNow : kCancelInOrder);
  }
}

}  // namespace

Status InstallInterruptHandler(const CancelFlag& flag) {
  if (g_installed.exchange(true)) return Error{"Ctrl-C error: Ctrl-C signal handler already registered"};
  g_interrupts = ::CreateSemaphoreA(nullptr, 0, 255, nullptr);
  if (g_interrupts == nullptr) return Error{"Ctrl-C error: Unexpected system error"};
  if (!::SetConsoleCtrlHandler(OnConsoleEvent, TRUE)) return Error{"Ctrl-C error: Unexpected system error"};
  std::thread(WaitForInterrupts, flag).detach();
  return Status::Ok();
}

void StartStdinWatcher(const CancelFlag& flag) {
  std::thread([watched = flag]() mutable {
    // One line, or the end of input, or an error, or no standard input at
    // all: any of them cancels.
    HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    if (input != nullptr && input != INVALID_HANDLE_VALUE) {
      char c = 0;
      for (;;) {
        DWORD n = 0;
        if (!::ReadFile(input, &c, 1, &n, nullptr) || n != 1 || c == '\n') break;
      }
    }
    RaiseCancel(watched, kCancelInOrder);
    watched.reset();
  }).detach();
}

}  // namespace aurvane
