#include "supervisor/session.h"

#include <cassert>
#include <utility>

#include "process/launch.h"

namespace aurvane {

bool IsLegalTransition(SessionState from, SessionState to) {
  using enum SessionState;
  if (to == kClosed) return from != kClosed;
  switch (from) {
    case kStarting:
      return to == kReady;
    case kReady:
      return to == kRunning || to == kShuttingDown;
    case kRunning:
      return to == kReady;
    case kShuttingDown:
    case kClosed:
      return false;
  }
  return false;
}

void WorkerSession::MoveTo(SessionState next) {
  assert(IsLegalTransition(state_, next) && "illegal session state transition");
  assert((next == SessionState::kRunning) == current_test.has_value() || next == SessionState::kClosed);
  state_ = next;
}

Result<bool> SendToWorker(WorkerSession& session, size_t n, WorkerCommand command) {
  if (session.control_lost) return false;
  Result<Delivery> sent = SendCommand(session.commands, n, std::move(command));
  if (!sent.ok()) return std::move(sent).TakeError();
  if (sent.value() == Delivery::kQueued) return true;
  session.LoseControl(Clock::now());
  return false;
}

}  // namespace aurvane
