// Streaming reading of JSON text into our Value model, shared by the strict
// parser and by record decoders that need positions while they read.
#ifndef AURVANE_JSON_READER_H_
#define AURVANE_JSON_READER_H_

#include <cstddef>
#include <functional>
#include <span>
#include <string_view>

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

}  // namespace aurvane::json

#endif  // AURVANE_JSON_READER_H_
