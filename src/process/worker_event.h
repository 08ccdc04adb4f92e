// What flows between the supervisor and a worker's I/O threads.
#ifndef AURVANE_PROCESS_WORKER_EVENT_H_
#define AURVANE_PROCESS_WORKER_EVENT_H_

#include <cstddef>
#include <string>
#include <variant>

#include "json/json.h"
#include "protocol/worker_message.h"

namespace aurvane {

// One incoming line of worker `worker`, decoded, or the text of the
// transport failure that stopped one of its I/O threads (always that
// thread's last event).
struct WorkerEvent {
  size_t worker = 0;
  std::variant<WorkerMessage, std::string> payload;

  bool is_failure() const { return payload.index() == 1; }
  WorkerMessage& message() { return std::get<0>(payload); }
  const WorkerMessage& message() const { return std::get<0>(payload); }
  const std::string& failure() const { return std::get<1>(payload); }
};

// One command object for a worker's standard input ("init", "run", "shutdown").
using WorkerCommand = json::Value;

// Capacities of the two kinds of queue. A worker's commands wait for its
// writer only while its pipe is full or, where pipes cannot be written
// without waiting (Windows), until the writer takes them: at most every
// test the supervisor hands a worker at once, and one more command (the
// supervisor holds its hand-out depth to this).
inline constexpr size_t kCommandQueueCapacity = 9;
inline constexpr size_t kEventQueueCapacity = 1024;

}  // namespace aurvane

#endif  // AURVANE_PROCESS_WORKER_EVENT_H_
