// The per-test status kept in the status table, one entry per test index.
#ifndef AURVANE_SCHEDULER_TEST_STATE_H_
#define AURVANE_SCHEDULER_TEST_STATE_H_

#include <cstdint>
#include <string_view>

namespace aurvane {

// One byte per test keeps the table small for suites of a million tests; the
// text form appears only in records and the summary.
enum class TestState : uint8_t { kPending, kReserved, kRunning, kCompleted, kInterrupted };

// "pending", "reserved", "running", "completed" or "interrupted".
std::string_view StateName(TestState state);

}  // namespace aurvane

#endif  // AURVANE_SCHEDULER_TEST_STATE_H_
