// The messages a worker writes on its standard output, one JSON object a
// line, decoded once where the line arrives (the event reader) into a typed
// message that the supervisor visits. A message's kind is read here and
// nowhere else.
//
// Decoding never fails on a message's content: fields keep what the line
// held (absent, or of the wrong type, as an empty optional), and the
// supervisor judges them in the state the worker is in. Only a line that is
// not JSON is refused.
#ifndef AURVANE_PROTOCOL_WORKER_MESSAGE_H_
#define AURVANE_PROTOCOL_WORKER_MESSAGE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "json/json.h"
#include "protocol/item_chunk.h"
#include "util/result.h"

namespace aurvane {

// The version of the protocol between the controller and its workers,
// which a worker's "hello" names.
inline constexpr int64_t kWorkerProtocolVersion = 1;

// The longest line a worker may write, its line feed included.
inline constexpr size_t kMaxWorkerLineBytes = size_t{8} * 1024 * 1024;

namespace wire {

struct Hello {
  std::optional<int64_t> protocol;  // an integer that fits 64 signed bits
};
// The worker's manifest: whole, or announced by count and digest (then
// asked for in chunks, which come as CollectedItems).
struct Collected {
  bool failed = false;               // "failed" is true
  bool has_items = false;            // the line had an "items" member
  std::optional<std::string> digest;
  std::optional<uint64_t> count;
  ItemChunk items;                   // "items" read (an error when missing or not an array)
};
struct CollectedItems {
  bool more = false;                 // "more" is true
  ItemChunk items;
};
struct CollectionReport {};
struct Phase {
  std::optional<std::string> phase;
};
struct Report {};
struct Finished {
  std::optional<double> duration;    // a number
  std::optional<json::Value> failed; // as sent; empty when absent
  bool failed_true() const { return failed && failed->is_true(); }
};
struct Exited {
  std::optional<int64_t> code;       // an integer that fits 64 signed bits
};
struct InternalError {
  std::string quoted;                // "message" as compact JSON ("null" when absent)
};
// Any other line: its "event" when it is a string, else empty (and empty
// for a line that is not an object).
struct Unknown {
  std::string kind;
};

using Body = std::variant<Hello, Collected, CollectedItems, CollectionReport, Phase, Report, Finished, Exited,
                          InternalError, Unknown>;

}  // namespace wire

struct WorkerMessage {
  // The line as parsed, for the event log, which records it as it came.
  // A manifest's "items" read straight off the line are left out of it
  // (see items_apart).
  json::Value raw;
  // The test the message names: an "index" that fits 64 unsigned bits.
  std::optional<uint64_t> index;
  wire::Body body;
  // The manifest's "items" were read straight off the line into the body's
  // chunk and are not in `raw`.
  bool items_streamed = false;

  template <typename T>
  bool is() const {
    return std::holds_alternative<T>(body);
  }
  // Whether the supervisor may take the message late, with the next one
  // that needs it: "phase" and "report" only restart a clock and hold a
  // report back.
  bool can_wait() const { return is<wire::Phase>() || is<wire::Report>(); }
  // The compact text of the items left out of `raw`, which the event log
  // puts back in its record; empty when none were.
  std::string_view items_apart() const;
};

// Decodes a parsed line whose "items" array, when `streamed_items` is set,
// was read apart into that chunk (see json::ParseStreamingMember).
WorkerMessage DecodeWorkerMessage(json::Value value, std::optional<ItemChunk> streamed_items = std::nullopt);

// Parses and decodes one line; fails only when it is not JSON, with the
// parser's message.
Result<WorkerMessage> DecodeWorkerLine(std::string_view line);

}  // namespace aurvane

#endif  // AURVANE_PROTOCOL_WORKER_MESSAGE_H_
