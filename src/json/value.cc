#include <string>

#include "json/json.h"

namespace aurvane::json {

double Value::number() const {
  switch (kind()) {
    case Kind::kUint:
      return static_cast<double>(as_uint());
    case Kind::kInt:
      return static_cast<double>(as_int());
    case Kind::kDouble:
      return as_double();
    default:
      assert(false && "number() of a value that is not a number");
      return 0.0;
  }
}

const Value* Value::Find(std::string_view key) const {
  if (!is_object()) return nullptr;
  const Object& object = as_object();
  auto it = object.find(key);
  return it == object.end() ? nullptr : &it->second;
}

bool operator==(const Value& a, const Value& b) {
  // std::variant's == compares the index first, so kinds must match; double
  // alternatives use IEEE equality and containers recurse.
  return a.v_ == b.v_;
}

std::string DescribeUnexpected(const Value& value) {
  std::string out;
  switch (value.kind()) {
    case Kind::kNull:
      return "null";
    case Kind::kBool:
      return value.as_bool() ? "boolean `true`" : "boolean `false`";
    case Kind::kUint:
      return "integer `" + std::to_string(value.as_uint()) + "`";
    case Kind::kInt:
      return "integer `" + std::to_string(value.as_int()) + "`";
    case Kind::kDouble:
      out = "floating point `";
      AppendDouble(out, value.as_double());
      out += "`";
      return out;
    case Kind::kString:
      out = "string ";
      AppendQuoted(out, value.as_string());
      return out;
    case Kind::kArray:
      return "sequence";
    case Kind::kObject:
      return "map";
  }
  return "value";
}

}  // namespace aurvane::json
