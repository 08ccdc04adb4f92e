// The JSON value model used for every record, message and file.
//
// Numbers keep their kind: a non-negative integer is kUint, a negative integer
// kInt, anything written with a fraction or exponent (or too large for a
// 64-bit integer) kDouble. Objects are maps ordered by key bytes, so every
// object we write has its keys in ascending byte order, and a repeated key
// keeps its last value. Equality compares kinds: 1 is not 1.0.
#ifndef AURVANE_JSON_JSON_H_
#define AURVANE_JSON_JSON_H_

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "util/result.h"

namespace aurvane::json {

class Value;
using Array = std::vector<Value>;
// std::string orders by unsigned bytes (char_traits<char>::lt), which is the
// key order every written object needs. std::less<> allows string_view lookup.
using Object = std::map<std::string, Value, std::less<>>;

enum class Kind { kNull, kBool, kUint, kInt, kDouble, kString, kArray, kObject };

// Deepest nesting of arrays and objects accepted by the reader; the top-level
// value counts as the first level.
inline constexpr int kMaxDepth = 127;

class Value {
 public:
  Value() noexcept = default;
  Value(std::nullptr_t) noexcept {}  // NOLINT: implicit by design
  Value(bool b) noexcept : v_(b) {}  // NOLINT
  template <std::integral T>
    requires(!std::same_as<T, bool>)
  Value(T n) noexcept {  // NOLINT
    if constexpr (std::is_signed_v<T>) {
      if (n < 0) {
        v_ = static_cast<int64_t>(n);
        return;
      }
    }
    v_ = static_cast<uint64_t>(n);
  }
  Value(double d) noexcept : v_(d) {}  // NOLINT
  Value(std::string s) : v_(std::move(s)) {}  // NOLINT
  Value(std::string_view s) : v_(std::string(s)) {}  // NOLINT
  Value(const char* s) : v_(std::string(s)) {}  // NOLINT
  Value(Array a) : v_(std::move(a)) {}  // NOLINT
  Value(Object o) : v_(std::move(o)) {}  // NOLINT

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool is_null() const { return kind() == Kind::kNull; }
  bool is_bool() const { return kind() == Kind::kBool; }
  bool is_uint() const { return kind() == Kind::kUint; }
  bool is_int() const { return kind() == Kind::kInt; }
  bool is_double() const { return kind() == Kind::kDouble; }
  bool is_number() const {
    return kind() == Kind::kUint || kind() == Kind::kInt || kind() == Kind::kDouble;
  }
  bool is_string() const { return kind() == Kind::kString; }
  bool is_array() const { return kind() == Kind::kArray; }
  bool is_object() const { return kind() == Kind::kObject; }
  bool is_true() const { return is_bool() && as_bool(); }

  bool as_bool() const { return std::get<bool>(v_); }
  uint64_t as_uint() const { return std::get<uint64_t>(v_); }
  int64_t as_int() const { return std::get<int64_t>(v_); }
  double as_double() const { return std::get<double>(v_); }
  // Any number kind converted to a double.
  double number() const;
  const std::string& as_string() const { return std::get<std::string>(v_); }
  std::string& as_string() { return std::get<std::string>(v_); }
  const Array& as_array() const { return std::get<Array>(v_); }
  Array& as_array() { return std::get<Array>(v_); }
  const Object& as_object() const { return std::get<Object>(v_); }
  Object& as_object() { return std::get<Object>(v_); }

  // Makes this an empty object / array in place.
  Object& emplace_object() { return v_.emplace<Object>(); }
  Array& emplace_array() { return v_.emplace<Array>(); }

  // The member `key` of an object, or nullptr when this is not an object or
  // has no such member.
  const Value* Find(std::string_view key) const;

  // Deep, kind-aware equality: numbers are equal only within one kind, doubles
  // by IEEE equality; objects by their (ordered) members.
  friend bool operator==(const Value& a, const Value& b);

 private:
  // Order matches Kind.
  std::variant<std::monostate, bool, uint64_t, int64_t, double, std::string, Array, Object> v_;
};

// Parses exactly one JSON value (UTF-8, no byte-order mark), with whitespace
// allowed around it and at most kMaxDepth nested levels. Every error message
// ends with " at line L column C".
Result<Value> Parse(std::string_view text);

// Whether `text` is well-formed UTF-8: no overlong form, no encoded
// surrogate, nothing above U+10FFFF, no sequence cut short.
bool IsUtf8(std::string_view text);

// 1-based line and column of the byte just before `offset` (the last byte
// consumed when an error was found), as used in every position suffix.
std::string PositionSuffix(std::string_view text, size_t offset);

// Compact form: no whitespace at all, keys in byte order.
void AppendCompact(std::string& out, const Value& value);
std::string ToCompact(const Value& value);
// Compact form of `object` with one member more, `key` (which `object`
// does not hold), whose value is the compact JSON text `member_json`,
// written in its place in key order.
void AppendCompactWith(std::string& out, const Object& object, std::string_view key, std::string_view member_json);
// Pretty form: two-space indentation, `"key": value`, `[]` and `{}` for empty
// containers, no final line feed.
std::string ToPretty(const Value& value);

// A double in the shortest form that reads back to the same value, always
// with a fraction or exponent (2.0). Non-finite values are written as null.
void AppendDouble(std::string& out, double d);
// A JSON string: quotation mark, backslash and control characters escaped,
// everything else (including "/") written as it is.
void AppendQuoted(std::string& out, std::string_view s);

// What a decoding error says it found: "null", "boolean `true`",
// "integer `-1`", "floating point `4.0`", "string \"x\"", "sequence", "map".
std::string DescribeUnexpected(const Value& value);

}  // namespace aurvane::json

#endif  // AURVANE_JSON_JSON_H_
