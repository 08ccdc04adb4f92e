#include <charconv>
#include <cmath>
#include <cstring>

#include "json/json.h"

namespace aurvane::json {

void AppendDouble(std::string& out, double d) {
  if (!std::isfinite(d)) {
    out += "null";
    return;
  }
  char buf[32];
  // The shortest text that reads back to the same double.
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
  assert(ec == std::errc() && "to_chars cannot fail on a 32-byte buffer");
  std::string_view text(buf, static_cast<size_t>(end - buf));
  out += text;
  if (text.find_first_of(".e") == std::string_view::npos) out += ".0";
}

namespace {

// Whether any byte of the 8-byte word `w` is a control character, a
// quotation mark or a backslash: the classic "has a byte less than n" and
// "has a zero byte" word tricks.
bool WordNeedsEscape(uint64_t w) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHighs = 0x8080808080808080ULL;
  auto has_zero = [](uint64_t x) { return (x - kOnes) & ~x & kHighs; };
  uint64_t below_space = (w - kOnes * 0x20) & ~w & kHighs;
  return (below_space | has_zero(w ^ (kOnes * '"')) | has_zero(w ^ (kOnes * '\\'))) != 0;
}

}  // namespace

void AppendQuoted(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  size_t run = 0;  // start of the pending run of bytes that need no escape
  size_t i = 0;
  while (i < s.size()) {
    // Skip eight plain bytes at a time; most text has nothing to escape.
    if (s.size() - i >= 8) {
      uint64_t word;
      std::memcpy(&word, s.data() + i, 8);
      if (!WordNeedsEscape(word)) {
        i += 8;
        continue;
      }
    }
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') {
      ++i;
      continue;
    }
    out.append(s.data() + run, i - run);
    run = ++i;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    }
  }
  out.append(s.data() + run, s.size() - run);
  out += '"';
}

namespace {

void AppendPretty(std::string& out, const Value& value, size_t indent);

void Newline(std::string& out, size_t indent) {
  out += '\n';
  out.append(indent * 2, ' ');
}

void AppendScalar(std::string& out, const Value& value) {
  switch (value.kind()) {
    case Kind::kNull: out += "null"; break;
    case Kind::kBool: out += value.as_bool() ? "true" : "false"; break;
    case Kind::kUint: {
      char buf[24];
      auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value.as_uint());
      out.append(buf, end);
      break;
    }
    case Kind::kInt: {
      char buf[24];
      auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value.as_int());
      out.append(buf, end);
      break;
    }
    case Kind::kDouble: AppendDouble(out, value.as_double()); break;
    case Kind::kString: AppendQuoted(out, value.as_string()); break;
    default: assert(false && "AppendScalar on a container");
  }
}

void AppendPretty(std::string& out, const Value& value, size_t indent) {
  if (value.is_array()) {
    const Array& array = value.as_array();
    if (array.empty()) {
      out += "[]";
      return;
    }
    out += '[';
    for (size_t i = 0; i < array.size(); ++i) {
      if (i > 0) out += ',';
      Newline(out, indent + 1);
      AppendPretty(out, array[i], indent + 1);
    }
    Newline(out, indent);
    out += ']';
  } else if (value.is_object()) {
    const Object& object = value.as_object();
    if (object.empty()) {
      out += "{}";
      return;
    }
    out += '{';
    bool first = true;
    for (const auto& [key, member] : object) {
      if (!first) out += ',';
      first = false;
      Newline(out, indent + 1);
      AppendQuoted(out, key);
      out += ": ";
      AppendPretty(out, member, indent + 1);
    }
    Newline(out, indent);
    out += '}';
  } else {
    AppendScalar(out, value);
  }
}

}  // namespace

void AppendCompact(std::string& out, const Value& value) {
  if (value.is_array()) {
    out += '[';
    bool first = true;
    for (const Value& element : value.as_array()) {
      if (!first) out += ',';
      first = false;
      AppendCompact(out, element);
    }
    out += ']';
  } else if (value.is_object()) {
    out += '{';
    bool first = true;
    for (const auto& [key, member] : value.as_object()) {
      if (!first) out += ',';
      first = false;
      AppendQuoted(out, key);
      out += ':';
      AppendCompact(out, member);
    }
    out += '}';
  } else {
    AppendScalar(out, value);
  }
}

void AppendCompactWith(std::string& out, const Object& object, std::string_view key, std::string_view member_json) {
  assert(object.find(key) == object.end() && "the added member is not in the object");
  out += '{';
  bool first = true;
  bool added = false;
  auto add = [&] {
    if (!first) out += ',';
    first = false;
    AppendQuoted(out, key);
    out += ':';
    out += member_json;
    added = true;
  };
  for (const auto& [name, member] : object) {
    // Keys compare as unsigned bytes, the order the map keeps.
    if (!added && std::string_view(name) > key) add();
    if (!first) out += ',';
    first = false;
    AppendQuoted(out, name);
    out += ':';
    AppendCompact(out, member);
  }
  if (!added) add();
  out += '}';
}

std::string ToCompact(const Value& value) {
  std::string out;
  out.reserve(128);
  AppendCompact(out, value);
  return out;
}

std::string ToPretty(const Value& value) {
  std::string out;
  AppendPretty(out, value, 0);
  return out;
}

}  // namespace aurvane::json
