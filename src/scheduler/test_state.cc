#include "scheduler/test_state.h"

#include <cassert>

namespace aurvane {

std::string_view StateName(TestState state) {
  switch (state) {
    case TestState::kPending:
      return "pending";
    case TestState::kReserved:
      return "reserved";
    case TestState::kRunning:
      return "running";
    case TestState::kCompleted:
      return "completed";
    case TestState::kInterrupted:
      return "interrupted";
  }
  assert(false && "unknown TestState");
  return "pending";
}

}  // namespace aurvane
