// What flows between the supervisor and a worker's I/O threads.
#ifndef AURVANE_PROCESS_WORKER_EVENT_H_
#define AURVANE_PROCESS_WORKER_EVENT_H_

#include <cstddef>
#include <optional>
#include <string>
#include <variant>

#include "json/json.h"
#include "protocol/item_chunk.h"

namespace aurvane {

// One incoming line of worker `worker` (its parsed value), or the text of the
// transport failure that stopped one of its I/O threads (always that thread's
// last event).
struct WorkerEvent {
  size_t worker = 0;
  std::variant<json::Value, std::string> payload;
  // A message's "items" array, read straight into compact form and left out
  // of the parsed value (manifests are the one kind of line that is large).
  std::optional<ItemChunk> items;

  bool is_failure() const { return payload.index() == 1; }
  const json::Value& message() const { return std::get<0>(payload); }
  const std::string& failure() const { return std::get<1>(payload); }
};

// One command object for a worker's standard input ("init", "run", "shutdown").
using WorkerCommand = json::Value;

// The most tests a worker is handed at once: the one it runs and those
// waiting in its input (see HandOutDepth).
inline constexpr size_t kMostTestsHandedOut = 8;

// Capacities of the two kinds of queue. A worker's commands wait for its
// writer only while its pipe is full or, where pipes cannot be written
// without waiting (Windows), until the writer takes them: at most every
// test handed out at once, and one more command.
inline constexpr size_t kCommandQueueCapacity = kMostTestsHandedOut + 1;
inline constexpr size_t kEventQueueCapacity = 1024;

}  // namespace aurvane

#endif  // AURVANE_PROCESS_WORKER_EVENT_H_
