// The monotonic clock every time reading of a run comes from.
#ifndef AURVANE_UTIL_CLOCK_H_
#define AURVANE_UTIL_CLOCK_H_

#include <chrono>

namespace aurvane {

using Clock = std::chrono::steady_clock;
using Instant = Clock::time_point;

// Seconds from `start` to `end`: whole seconds plus nanoseconds / 1e9.
inline double SecondsBetween(Instant start, Instant end) {
  auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(end - start);
  auto whole = std::chrono::duration_cast<std::chrono::seconds>(elapsed);
  auto nanos = elapsed - whole;
  return static_cast<double>(whole.count()) + static_cast<double>(nanos.count()) / 1e9;
}

inline double SecondsSince(Instant start) { return SecondsBetween(start, Clock::now()); }

}  // namespace aurvane

#endif  // AURVANE_UTIL_CLOCK_H_
