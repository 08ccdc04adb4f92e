// Streaming reading of JSON text into our Value model, shared by the strict
// parser and by record decoders that need positions while they read.
#ifndef AURVANE_JSON_READER_H_
#define AURVANE_JSON_READER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.h"

namespace aurvane::json {

// Reads a top-level object, or an array of values in field order, as a fixed
// record of `fields`. For each field the reader builds its value and calls
// `on_field(field index, value)`; an error returned from there is reported
// with the position just after the value. Keys that are not fields are read
// (they must be well-formed) and skipped. A field seen twice fails with
// "duplicate field `name`" at the key, before its value is read; an absent
// field fails with "missing field `name`" after the closing brace; an array
// with fewer elements fails with "invalid length N, expected struct <name>
// with <fields> elements". Any other top-level value is an "invalid type".
using FieldHandler = std::function<Status(size_t index, Value&& value)>;
Status ReadRecord(std::string_view text, std::string_view struct_name,
                  std::span<const std::string_view> fields, const FieldHandler& on_field);

// Reads a top-level object whose every member is a number, calling
// `on_member(key, value as a double)` for each member in text order (a
// repeated key is reported again). Anything else fails with a message ending
// in the position suffix: a value that is not a number, a top-level value
// that is not an object, trailing text, and whatever Parse rejects. No value
// tree is built, so memory stays at what the callback keeps.
using NumberMemberHandler = std::function<void(std::string_view key, double value)>;
Status ReadNumberObject(std::string_view text, const NumberMemberHandler& on_member);
// The same over text that arrives in pieces: `next` gives the next piece
// (valid until it is called again), empty at the end, or the error that
// ends the reading, which is then the result. Only the piece being read is
// held, so an error placed in an earlier piece (an invalid UTF-8 sequence
// split across two) is given at the start of the current one.
using TextPieces = std::function<Result<std::string_view>()>;
Status ReadNumberObject(const TextPieces& next, const NumberMemberHandler& on_member);

// One element of an array read by ParseStreamingMember: the flat sequence
// of its tokens, strings in one buffer. Valid only during the call that
// hands it over; the buffers are reused for the next element.
class ElementTokens {
 public:
  enum class Type : uint8_t {
    kNull, kFalse, kTrue, kUint, kInt, kDouble, kString,
    kStartArray, kEndArray, kStartObject, kKey, kEndObject,
  };

  size_t size() const { return tokens_.size(); }
  Type type(size_t i) const { return tokens_[i].type; }
  // The text of a kString or kKey token.
  std::string_view text(size_t i) const {
    return std::string_view(strings_).substr(tokens_[i].payload, tokens_[i].size);
  }
  uint64_t uint(size_t i) const { return tokens_[i].payload; }
  // One past the last token of the value that starts at token `begin`.
  size_t End(size_t begin) const;
  // The value that starts at token `begin`, as Parse builds it.
  Value ToValue(size_t begin = 0) const;
  // Appends the compact text of that value: exactly AppendCompact(out,
  // ToValue(begin)), without building the value unless it holds an object
  // whose keys are out of order (the writer puts them in order).
  void AppendCompact(std::string& out, size_t begin = 0) const;

 private:
  friend class StreamingHandler;
  struct Token {
    Type type;
    uint32_t size;     // strings and keys: bytes in strings_
    uint64_t payload;  // strings and keys: offset; numbers: the bits
  };
  void Clear() {
    tokens_.clear();
    strings_.clear();
    has_object_ = false;
  }
  void Push(Type type, uint64_t payload = 0) { tokens_.push_back(Token{type, 0, payload}); }
  void PushText(Type type, std::string_view text);
  void PushNumber(const Value& number);
  Value Build(size_t& at) const;
  // Whether every object among tokens [begin, end) has its keys in
  // ascending byte order, none repeated.
  bool KeysInOrder(size_t begin, size_t end) const;

  std::vector<Token> tokens_;
  std::string strings_;
  bool has_object_ = false;
};

// Receives the elements of the array ParseStreamingMember streams.
class ElementSink {
 public:
  virtual ~ElementSink() = default;
  // The array begins. A repeated member begins again: what came before is
  // to be dropped.
  virtual void Begin() = 0;
  virtual void Element(const ElementTokens& element) = 0;
};

// Parses `text` exactly as Parse does (the same acceptance, the same error
// texts and positions), except that when the top-level value is an object
// whose member `key` is an array, the array's elements are handed to `sink`
// one by one as they are read instead of being built into the result, which
// then has no such member. `streamed` says whether the last member `key` was
// so handed over. A manifest of a million items is then never a value tree.
struct StreamedParse {
  Value value;
  bool streamed = false;
};
Result<StreamedParse> ParseStreamingMember(std::string_view text, std::string_view key, ElementSink& sink);

}  // namespace aurvane::json

#endif  // AURVANE_JSON_READER_H_
