#include "json/reader.h"

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <bit>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace aurvane::json {

bool IsUtf8(std::string_view text) {
  const auto* at = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* const end = at + text.size();
  while (at < end) {
    // Eight bytes of ASCII at a time: what node ids and reports mostly are.
    if (end - at >= 8) {
      uint64_t word;
      std::memcpy(&word, at, sizeof word);
      if ((word & 0x8080808080808080U) == 0) {
        at += 8;
        continue;
      }
    }
    const unsigned char lead = *at;
    if (lead < 0x80) {
      ++at;
      continue;
    }
    // The second byte's range depends on the lead (RFC 3629's table); the
    // rest are plain continuation bytes.
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - at) < length || at[1] < low || at[1] > high) return false;
    for (size_t k = 2; k < length; ++k) {
      if (at[k] < 0x80 || at[k] > 0xBF) return false;
    }
    at += length;
  }
  return true;
}

namespace {

// A byte stream over a string_view. Unlike rapidjson's StringStream it does
// not rely on a terminating NUL, and being a type of our own it has rapidjson's
// copy optimisation off, so Tell() is exact inside handler callbacks.
class ViewStream {
 public:
  using Ch = char;
  explicit ViewStream(std::string_view text) : begin_(text.data()), cur_(text.data()), end_(text.data() + text.size()) {}
  Ch Peek() const { return cur_ < end_ ? *cur_ : '\0'; }
  Ch Take() { return cur_ < end_ ? *cur_++ : '\0'; }
  size_t Tell() const { return static_cast<size_t>(cur_ - begin_); }
  Ch* PutBegin() { assert(false && "read-only stream"); return nullptr; }
  void Put(Ch) { assert(false && "read-only stream"); }
  void Flush() { assert(false && "read-only stream"); }
  size_t PutEnd(Ch*) { assert(false && "read-only stream"); return 0; }

 private:
  const char* begin_;
  const char* cur_;
  const char* end_;
};

// rapidjson reports "-0" as Int(0): that is a negative zero, not an integer.
Value IntValue(int i) { return i == 0 ? Value(-0.0) : Value(i); }

constexpr char kLoneSurrogate[] = "lone surrogate in string escape";

// Whether UTF-8 text holds an encoded UTF-16 surrogate (U+D800..U+DFFF).
// The input bytes are validated by rapidjson, but a "\\uDC00" escape with no
// high surrogate before it is decoded into such bytes, which are not UTF-8
// and would make every line we write with the string invalid.
bool HasEncodedSurrogate(std::string_view text) {
  for (size_t i = text.find('\xED'); i != std::string_view::npos; i = text.find('\xED', i + 1)) {
    if (i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0xA0) return true;
  }
  return false;
}

// The value of a JSON number's text, already checked against the grammar:
// an integer kind when it has no fraction or exponent and fits 64 bits, else
// a double. Nothing when it is too large for a double.
std::optional<Value> NumberValue(std::string_view text) {
  const char* begin = text.data();
  const char* end = begin + text.size();
  if (text.find_first_of(".eE") == std::string_view::npos) {
    if (text.front() == '-') {
      int64_t i = 0;
      auto [stop, ec] = std::from_chars(begin, end, i);
      // "-0" is a negative zero, not an integer.
      if (ec == std::errc() && stop == end) return i == 0 ? Value(-0.0) : Value(i);
    } else {
      uint64_t u = 0;
      auto [stop, ec] = std::from_chars(begin, end, u);
      if (ec == std::errc() && stop == end) return Value(u);
    }
  }
  double d = 0;
  auto [stop, ec] = std::from_chars(begin, end, d);
  if (ec == std::errc() && stop == end) return Value(d);
  if (ec == std::errc::result_out_of_range) {
    // from_chars says the same for overflow and underflow; an underflow
    // reads as zero or a subnormal, as in every JSON reader.
    std::string copy(text);
    double v = std::strtod(copy.c_str(), nullptr);
    if (std::isfinite(v)) return Value(v);
  }
  return std::nullopt;
}

// Numbers reach the handlers as text and are converted by NumberValue:
// rapidjson 1.1.0's own conversion reads out of bounds on some inputs (a long
// run of zeros after the decimal point), and std::from_chars rounds exactly.
constexpr unsigned kParseFlags = rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseValidateEncodingFlag |
                                 rapidjson::kParseStopWhenDoneFlag;
// For text already known to be well-formed UTF-8: rapidjson's own check
// decodes every byte of every string one at a time, which was the largest
// part of reading a large manifest.
constexpr unsigned kParseFlagsValidText = kParseFlags & ~static_cast<unsigned>(rapidjson::kParseValidateEncodingFlag);

// Builds Values from SAX events. Containers under construction live on a
// stack; a finished value is attached to its parent or becomes the result.
class TreeBuilder {
 public:
  // `outer_levels`: containers around the values built here, which count
  // towards the depth limit.
  explicit TreeBuilder(int outer_levels = 0) : outer_levels_(outer_levels) {}

  // Depth of the value being built, counting the container that holds it.
  int depth() const { return static_cast<int>(stack_.size()); }
  // Why a handler stopped the reader, if one did.
  const std::optional<std::string>& stopped() const { return stopped_; }
  bool has_result() const { return result_.has_value(); }
  Value TakeResult() {
    Value v = std::move(*result_);
    result_.reset();
    return v;
  }

  bool Null() { return Add(Value()); }
  bool Bool(bool b) { return Add(Value(b)); }
  bool Int(int i) { return Add(IntValue(i)); }
  bool Uint(unsigned u) { return Add(Value(u)); }
  bool Int64(int64_t i) { return Add(Value(i)); }
  bool Uint64(uint64_t u) { return Add(Value(u)); }
  bool Double(double d) { return Add(Value(d)); }
  bool RawNumber(const char* s, rapidjson::SizeType n, bool) {
    std::optional<Value> number = NumberValue(std::string_view(s, n));
    if (!number) {
      stopped_ = "number out of range";
      return false;
    }
    return Add(std::move(*number));
  }
  bool String(const char* s, rapidjson::SizeType n, bool) {
    if (HasEncodedSurrogate(std::string_view(s, n))) {
      stopped_ = kLoneSurrogate;
      return false;
    }
    return Add(Value(std::string(s, n)));
  }
  bool StartObject() { return Open(Kind::kObject); }
  bool Key(const char* s, rapidjson::SizeType n, bool) {
    if (HasEncodedSurrogate(std::string_view(s, n))) {
      stopped_ = kLoneSurrogate;
      return false;
    }
    stack_.back().key.assign(s, n);
    return true;
  }
  bool EndObject(rapidjson::SizeType) { return Close(); }
  bool StartArray() { return Open(Kind::kArray); }
  bool EndArray(rapidjson::SizeType) { return Close(); }

  // Removes member `key` from the object being built at the top level.
  void Forget(std::string_view key) {
    assert(stack_.size() == 1 && stack_[0].container.is_object() && "Forget() outside the top-level object");
    Object& members = stack_[0].container.as_object();
    if (auto it = members.find(key); it != members.end()) members.erase(it);
  }

  // Attaches a complete value to the container being built, or makes it the
  // result at the top level.
  bool Add(Value v) {
    if (stack_.empty()) {
      result_ = std::move(v);
      return true;
    }
    Frame& top = stack_.back();
    if (top.container.is_array()) {
      top.container.as_array().push_back(std::move(v));
    } else {
      // A repeated key keeps its last value.
      top.container.as_object().insert_or_assign(std::move(top.key), std::move(v));
    }
    return true;
  }

 private:
  struct Frame {
    Value container;
    std::string key;
  };

  bool Open(Kind kind) {
    if (outer_levels_ + depth() + 1 > kMaxDepth) {
      stopped_ = "recursion limit exceeded";
      return false;
    }
    // Built in place: moving a fresh container into the frame makes GCC 12
    // warn about the moved-from variant at -O2.
    Frame& frame = stack_.emplace_back();
    if (kind == Kind::kObject) {
      frame.container.emplace_object();
    } else {
      frame.container.emplace_array();
    }
    return true;
  }
  bool Close() {
    Value done = std::move(stack_.back().container);
    stack_.pop_back();
    return Add(std::move(done));
  }
  std::vector<Frame> stack_;
  std::optional<Value> result_;
  int outer_levels_;
  std::optional<std::string> stopped_;
};

bool IsJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The message for a rapidjson error, or for our own handler having stopped.
std::string ReaderMessage(rapidjson::ParseErrorCode code, const std::optional<std::string>& stopped, bool at_end) {
  if (stopped) return *stopped;
  if (at_end) return "EOF while parsing a value";
  switch (code) {
    case rapidjson::kParseErrorDocumentEmpty:
      return "EOF while parsing a value";
    case rapidjson::kParseErrorValueInvalid:
      return "expected value";
    case rapidjson::kParseErrorNumberTooBig:
      return "number out of range";
    default: {
      // rapidjson's sentences end with a full stop; ours do not.
      std::string text = rapidjson::GetParseError_En(code);
      if (!text.empty() && text.back() == '.') text.pop_back();
      return text;
    }
  }
}

// Offset of the last byte consumed when rapidjson stopped at `offset`: the
// offending byte itself, unless the input ended there.
size_t ErrorOffset(std::string_view text, size_t offset) { return offset < text.size() ? offset + 1 : offset; }

// Runs `handler` over `text`, which must hold one JSON value and nothing but
// white space after it. The error names where parsing stopped: the offending
// byte, or where the handler stopped (its stopped() message); a handler with
// an error() of its own has that reported instead, without a position.
template <typename Handler>
Status ParseWhole(ViewStream& stream, std::string_view text, Handler& handler) {
  rapidjson::Reader reader;
  // Text that is UTF-8 throughout passes rapidjson's check in every string,
  // so skipping it changes nothing; any other text takes the checking parse,
  // which stops and reports exactly where it always did.
  rapidjson::ParseResult ok = IsUtf8(text) ? reader.Parse<kParseFlagsValidText>(stream, handler)
                                           : reader.Parse<kParseFlags>(stream, handler);
  if (!ok) {
    if constexpr (requires { handler.error(); }) {
      if (handler.error()) return Error{*handler.error()};
    }
    size_t at = handler.stopped() ? stream.Tell() : ErrorOffset(text, ok.Offset());
    return Error{ReaderMessage(ok.Code(), handler.stopped(), ok.Offset() >= text.size()) + PositionSuffix(text, at)};
  }
  size_t pos = stream.Tell();
  while (pos < text.size() && IsJsonSpace(text[pos])) ++pos;
  if (pos < text.size()) return Error{"trailing characters" + PositionSuffix(text, pos + 1)};
  return Status::Ok();
}

}  // namespace

std::string PositionSuffix(std::string_view text, size_t offset) {
  if (offset > text.size()) offset = text.size();
  size_t line = 1;
  size_t line_start = 0;
  for (size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return " at line " + std::to_string(line) + " column " + std::to_string(offset - line_start);
}

Result<Value> Parse(std::string_view text) {
  ViewStream stream(text);
  TreeBuilder builder;
  if (Status parsed = ParseWhole(stream, text, builder); !parsed.ok()) return std::move(parsed).TakeError();
  assert(builder.has_result() && "a successful parse yields a value");
  return builder.TakeResult();
}

namespace {

// Reads a record: the top level is handled here, every value below it is
// built by a TreeBuilder and handed over once complete.
class RecordHandler {
 public:
  RecordHandler(const ViewStream& stream, std::string_view text, std::string_view struct_name,
                std::span<const std::string_view> fields, const FieldHandler& on_field)
      : stream_(stream), text_(text), struct_name_(struct_name), fields_(fields), on_field_(on_field),
        seen_(fields.size(), false) {}

  const std::optional<std::string>& error() const { return error_; }
  const std::optional<std::string>& stopped() const { return builder_.stopped(); }

  bool Null() { return AddScalar(Value()); }
  bool Bool(bool b) { return AddScalar(Value(b)); }
  bool Int(int i) { return AddScalar(IntValue(i)); }
  bool Uint(unsigned u) { return AddScalar(Value(u)); }
  bool Int64(int64_t i) { return AddScalar(Value(i)); }
  bool Uint64(uint64_t u) { return AddScalar(Value(u)); }
  bool Double(double d) { return AddScalar(Value(d)); }
  bool RawNumber(const char* s, rapidjson::SizeType n, bool c) {
    if (level_ > 0) return builder_.RawNumber(s, n, c) && Finished();
    std::optional<Value> number = NumberValue(std::string_view(s, n));
    return number ? TopLevelScalar(*number) : Fail("number out of range");
  }
  bool String(const char* s, rapidjson::SizeType n, bool c) {
    if (level_ > 0) return builder_.String(s, n, c) && Finished();
    if (HasEncodedSurrogate(std::string_view(s, n))) return Fail(kLoneSurrogate);
    return TopLevelScalar(Value(std::string(s, n)));
  }

  bool StartObject() {
    if (level_ == 0) {
      level_ = 1;
      is_object_ = true;
      return true;
    }
    ++level_;
    return builder_.StartObject();
  }
  bool StartArray() {
    if (level_ == 0) {
      level_ = 1;
      is_object_ = false;
      return true;
    }
    ++level_;
    return builder_.StartArray();
  }
  bool Key(const char* s, rapidjson::SizeType n, bool c) {
    if (level_ > 1) return builder_.Key(s, n, c);
    std::string_view key(s, n);
    if (HasEncodedSurrogate(key)) return Fail(kLoneSurrogate);
    current_ = kSkip;
    for (size_t i = 0; i < fields_.size(); ++i) {
      if (fields_[i] == key) {
        if (seen_[i]) return Fail("duplicate field `" + std::string(key) + "`");
        current_ = i;
        break;
      }
    }
    return true;
  }
  bool EndObject(rapidjson::SizeType) {
    if (level_ > 1) {
      --level_;
      return builder_.EndObject(0) && Finished();
    }
    for (size_t i = 0; i < fields_.size(); ++i) {
      if (!seen_[i]) return Fail("missing field `" + std::string(fields_[i]) + "`");
    }
    done_ = true;
    return true;
  }
  bool EndArray(rapidjson::SizeType) {
    if (level_ > 1) {
      --level_;
      return builder_.EndArray(0) && Finished();
    }
    if (elements_ < fields_.size()) {
      return Fail("invalid length " + std::to_string(elements_) + ", expected struct " + std::string(struct_name_) +
                  " with " + std::to_string(fields_.size()) + " elements");
    }
    done_ = true;
    return true;
  }

  // A top-level scalar is not a record.
  bool TopLevelScalar(const Value& v) {
    return Fail("invalid type: " + DescribeUnexpected(v) + ", expected struct " + std::string(struct_name_));
  }

 private:
  static constexpr size_t kSkip = static_cast<size_t>(-1);

  bool AddScalar(Value v) {
    if (level_ == 0) return TopLevelScalar(v);
    return builder_.Add(std::move(v)) && Finished();
  }

  // Called after every value below the top level; acts once the value that
  // belongs to a field (level 1) is complete.
  bool Finished() {
    if (level_ != 1 || !builder_.has_result()) return true;
    Value value = builder_.TakeResult();
    size_t index = kSkip;
    if (is_object_) {
      index = current_;
    } else {
      // In the array form the elements are the fields in declaration order;
      // an element after the last field is trailing data.
      if (elements_ >= fields_.size()) return Fail("trailing characters");
      index = elements_++;
    }
    if (index == kSkip) return true;
    seen_[index] = true;
    Status status = on_field_(index, std::move(value));
    if (!status.ok()) return Fail(status.message());
    return true;
  }

  bool Fail(std::string message) {
    error_ = std::move(message) + PositionSuffix(text_, stream_.Tell());
    return false;
  }

 public:
  bool done() const { return done_; }

 private:
  const ViewStream& stream_;
  std::string_view text_;
  std::string_view struct_name_;
  std::span<const std::string_view> fields_;
  const FieldHandler& on_field_;
  std::vector<bool> seen_;
  TreeBuilder builder_{1};
  int level_ = 0;  // 1 inside the top-level container
  bool is_object_ = true;
  bool done_ = false;
  size_t current_ = kSkip;
  size_t elements_ = 0;
  std::optional<std::string> error_;
};

// Reads a flat object of numbers from SAX events; see ReadNumberObject.
class NumberObjectHandler {
 public:
  explicit NumberObjectHandler(const NumberMemberHandler& on_member) : on_member_(on_member) {}

  const std::optional<std::string>& stopped() const { return stopped_; }

  bool Null() { return Unexpected(Value()); }
  bool Bool(bool b) { return Unexpected(Value(b)); }
  // Numbers arrive as RawNumber (kParseNumbersAsStringsFlag); these complete
  // the handler interface.
  bool Int(int i) { return Number(IntValue(i)); }
  bool Uint(unsigned u) { return Number(Value(u)); }
  bool Int64(int64_t i) { return Number(Value(i)); }
  bool Uint64(uint64_t u) { return Number(Value(u)); }
  bool Double(double d) { return Number(Value(d)); }
  bool RawNumber(const char* s, rapidjson::SizeType n, bool) {
    std::optional<Value> number = NumberValue(std::string_view(s, n));
    if (!number) return Stop("number out of range");
    return Number(*number);
  }
  bool String(const char* s, rapidjson::SizeType n, bool) { return Unexpected(Value(std::string(s, n))); }
  bool StartObject() {
    if (in_object_) return Unexpected(Object());
    in_object_ = true;
    return true;
  }
  bool Key(const char* s, rapidjson::SizeType n, bool) {
    // The reader's buffer holds the key only during this call.
    key_.assign(s, n);
    if (HasEncodedSurrogate(key_)) return Stop(kLoneSurrogate);
    return true;
  }
  bool EndObject(rapidjson::SizeType) { return true; }
  bool StartArray() { return Unexpected(Array()); }
  bool EndArray(rapidjson::SizeType) { return true; }

 private:
  bool Number(const Value& number) {
    if (!in_object_) return Unexpected(number);
    on_member_(key_, number.number());
    return true;
  }
  bool Unexpected(const Value& value) {
    return Stop("invalid type: " + DescribeUnexpected(value) + (in_object_ ? ", expected a number" : ", expected a map"));
  }
  bool Stop(std::string message) {
    stopped_ = std::move(message);
    return false;
  }

  const NumberMemberHandler& on_member_;
  bool in_object_ = false;
  std::string key_;
  std::optional<std::string> stopped_;
};

}  // namespace

namespace {

// A byte stream over text that arrives in pieces. It counts the lines of the
// pieces it has left behind, so an error's position is given as
// PositionSuffix gives it for the whole text.
class PieceStream {
 public:
  using Ch = char;
  explicit PieceStream(const TextPieces& next) : next_(next) {}

  Ch Peek() { return cur_ < end_ || Refill() ? *cur_ : '\0'; }
  Ch Take() { return cur_ < end_ || Refill() ? *cur_++ : '\0'; }
  size_t Tell() const { return piece_offset_ + static_cast<size_t>(cur_ - begin_); }
  Ch* PutBegin() { assert(false && "read-only stream"); return nullptr; }
  void Put(Ch) { assert(false && "read-only stream"); }
  void Flush() { assert(false && "read-only stream"); }
  size_t PutEnd(Ch*) { assert(false && "read-only stream"); return 0; }

  // Whether every byte has been taken (or reading failed).
  bool AtEnd() { return !(cur_ < end_ || Refill()); }
  const std::optional<Error>& error() const { return error_; }

  // " at line L column C" of byte offset `at`, which lies in the current
  // piece or at its end (clamped there).
  std::string Position(size_t at) const {
    std::string_view piece(begin_, static_cast<size_t>(end_ - begin_));
    size_t within = at < piece_offset_ ? 0 : std::min(at - piece_offset_, piece.size());
    size_t line = lines_before_;
    size_t line_start = line_start_;
    for (size_t i = 0; i < within; ++i) {
      if (piece[i] == '\n') {
        ++line;
        line_start = piece_offset_ + i + 1;
      }
    }
    return " at line " + std::to_string(line) + " column " + std::to_string(piece_offset_ + within - line_start);
  }

 private:
  bool Refill() {
    while (!done_) {
      for (const char* p = begin_; p < end_; ++p) {
        p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end_ - p)));
        if (p == nullptr) break;
        ++lines_before_;
        line_start_ = piece_offset_ + static_cast<size_t>(p - begin_) + 1;
      }
      piece_offset_ += static_cast<size_t>(end_ - begin_);
      begin_ = cur_ = end_ = nullptr;
      Result<std::string_view> piece = next_();
      if (!piece.ok()) {
        error_ = std::move(piece).TakeError();
        done_ = true;
      } else if (piece.value().empty()) {
        done_ = true;
      } else {
        begin_ = cur_ = piece.value().data();
        end_ = begin_ + piece.value().size();
        return true;
      }
    }
    return false;
  }

  const TextPieces& next_;
  const char* begin_ = nullptr;
  const char* cur_ = nullptr;
  const char* end_ = nullptr;
  size_t piece_offset_ = 0;  // bytes of the pieces before this one
  size_t lines_before_ = 1;  // line number at the start of this piece
  size_t line_start_ = 0;    // offset where that line starts
  bool done_ = false;
  std::optional<Error> error_;
};

}  // namespace

Status ReadNumberObject(std::string_view text, const NumberMemberHandler& on_member) {
  bool given = false;
  return ReadNumberObject(
      [&]() -> Result<std::string_view> {
        if (given) return std::string_view();
        given = true;
        return text;
      },
      on_member);
}

Status ReadNumberObject(const TextPieces& next, const NumberMemberHandler& on_member) {
  PieceStream stream(next);
  NumberObjectHandler handler(on_member);
  rapidjson::Reader reader;
  rapidjson::ParseResult ok = reader.Parse<kParseFlags>(stream, handler);
  if (stream.error()) return *stream.error();
  if (!ok) {
    // The offending byte itself, unless the text ended there.
    const bool at_end = stream.AtEnd() && ok.Offset() >= stream.Tell();
    size_t at = handler.stopped() ? stream.Tell() : (at_end ? ok.Offset() : ok.Offset() + 1);
    return Error{ReaderMessage(ok.Code(), handler.stopped(), at_end) + stream.Position(at)};
  }
  while (!stream.AtEnd() && IsJsonSpace(stream.Peek())) stream.Take();
  if (stream.error()) return *stream.error();
  if (!stream.AtEnd()) return Error{"trailing characters" + stream.Position(stream.Tell() + 1)};
  return Status::Ok();
}

void ElementTokens::PushText(Type type, std::string_view text) {
  assert(text.size() <= UINT32_MAX && "a string of 4 GiB in one line");
  tokens_.push_back(Token{type, static_cast<uint32_t>(text.size()), strings_.size()});
  strings_.append(text);
}

void ElementTokens::PushNumber(const Value& number) {
  switch (number.kind()) {
    case Kind::kUint:
      Push(Type::kUint, number.as_uint());
      break;
    case Kind::kInt:
      Push(Type::kInt, std::bit_cast<uint64_t>(number.as_int()));
      break;
    default:
      Push(Type::kDouble, std::bit_cast<uint64_t>(number.as_double()));
      break;
  }
}

size_t ElementTokens::End(size_t begin) const {
  size_t depth = 0;
  for (size_t at = begin; at < tokens_.size(); ++at) {
    switch (tokens_[at].type) {
      case Type::kStartArray:
      case Type::kStartObject:
        ++depth;
        break;
      case Type::kEndArray:
      case Type::kEndObject:
        --depth;
        break;
      case Type::kKey:
        continue;  // its value follows
      default:
        break;
    }
    if (depth == 0) return at + 1;
  }
  return tokens_.size();
}

Value ElementTokens::Build(size_t& at) const {
  const Token& token = tokens_[at++];
  switch (token.type) {
    case Type::kNull:
      return Value();
    case Type::kFalse:
      return Value(false);
    case Type::kTrue:
      return Value(true);
    case Type::kUint:
      return Value(token.payload);
    case Type::kInt:
      return Value(std::bit_cast<int64_t>(token.payload));
    case Type::kDouble:
      return Value(std::bit_cast<double>(token.payload));
    case Type::kString:
      return Value(std::string(std::string_view(strings_).substr(token.payload, token.size)));
    case Type::kStartArray: {
      Value array;
      Array& elements = array.emplace_array();
      while (tokens_[at].type != Type::kEndArray) elements.push_back(Build(at));
      ++at;
      return array;
    }
    case Type::kStartObject: {
      Value object;
      Object& members = object.emplace_object();
      while (tokens_[at].type != Type::kEndObject) {
        std::string key(text(at++));
        // A repeated key keeps its last value, as Parse has it.
        members.insert_or_assign(std::move(key), Build(at));
      }
      ++at;
      return object;
    }
    default:
      assert(false && "a value cannot start with this token");
      return Value();
  }
}

Value ElementTokens::ToValue(size_t begin) const {
  assert(begin < tokens_.size() && "ToValue past the last token");
  return Build(begin);
}

bool ElementTokens::KeysInOrder(size_t begin, size_t end) const {
  // The last key of each object open at the point, innermost last.
  std::vector<std::optional<std::string_view>> last;
  for (size_t at = begin; at < end; ++at) {
    switch (tokens_[at].type) {
      case Type::kStartObject:
        last.emplace_back();
        break;
      case Type::kEndObject:
        last.pop_back();
        break;
      case Type::kKey:
        // Strictly ascending: a repeated key is out of order too.
        if (last.back() && !(*last.back() < text(at))) return false;
        last.back() = text(at);
        break;
      default:
        break;
    }
  }
  return true;
}

void ElementTokens::AppendCompact(std::string& out, size_t begin) const {
  const size_t end = End(begin);
  // The writer puts members in key order and keeps the last of a repeated
  // key; objects that already have that form are written as they came.
  if (has_object_ && !KeysInOrder(begin, end)) {
    json::AppendCompact(out, ToValue(begin));
    return;
  }
  for (size_t at = begin; at < end; ++at) {
    const Token& token = tokens_[at];
    if (at > begin && token.type != Type::kEndArray && token.type != Type::kEndObject) {
      const Type before = tokens_[at - 1].type;
      if (before != Type::kStartArray && before != Type::kStartObject && before != Type::kKey) out += ',';
    }
    switch (token.type) {
      case Type::kNull:
        out += "null";
        break;
      case Type::kFalse:
        out += "false";
        break;
      case Type::kTrue:
        out += "true";
        break;
      case Type::kUint: {
        char buf[24];
        auto [stop, ec] = std::to_chars(buf, buf + sizeof buf, token.payload);
        out.append(buf, stop);
        break;
      }
      case Type::kInt: {
        char buf[24];
        auto [stop, ec] = std::to_chars(buf, buf + sizeof buf, std::bit_cast<int64_t>(token.payload));
        out.append(buf, stop);
        break;
      }
      case Type::kDouble:
        AppendDouble(out, std::bit_cast<double>(token.payload));
        break;
      case Type::kString:
        AppendQuoted(out, std::string_view(strings_).substr(token.payload, token.size));
        break;
      case Type::kStartArray:
        out += '[';
        break;
      case Type::kEndArray:
        out += ']';
        break;
      case Type::kStartObject:
        out += '{';
        break;
      case Type::kKey:
        AppendQuoted(out, std::string_view(strings_).substr(token.payload, token.size));
        out += ':';
        break;
      case Type::kEndObject:
        out += '}';
        break;
    }
  }
}

// The handler of ParseStreamingMember: a TreeBuilder for everything but the
// streamed array, whose elements are gathered as tokens and handed over one
// at a time. It stops where the TreeBuilder would, with the same words.
class StreamingHandler {
 public:
  StreamingHandler(std::string_view key, ElementSink& sink) : key_(key), sink_(sink) {}

  const std::optional<std::string>& stopped() const { return stopped_ ? stopped_ : builder_.stopped(); }
  bool streamed() const { return streamed_; }
  bool has_result() const { return builder_.has_result(); }
  Value TakeResult() { return builder_.TakeResult(); }

  bool Null() {
    if (!streaming_) {
      ValueStarts();
      return builder_.Null();
    }
    return Scalar(ElementTokens::Type::kNull);
  }
  bool Bool(bool b) {
    if (!streaming_) {
      ValueStarts();
      return builder_.Bool(b);
    }
    return Scalar(b ? ElementTokens::Type::kTrue : ElementTokens::Type::kFalse);
  }
  // Numbers arrive as RawNumber (kParseNumbersAsStringsFlag); these complete
  // the handler interface.
  bool Int(int i) { return Number(IntValue(i)); }
  bool Uint(unsigned u) { return Number(Value(u)); }
  bool Int64(int64_t i) { return Number(Value(i)); }
  bool Uint64(uint64_t u) { return Number(Value(u)); }
  bool Double(double d) { return Number(Value(d)); }
  bool RawNumber(const char* s, rapidjson::SizeType n, bool copy) {
    if (!streaming_) {
      ValueStarts();
      return builder_.RawNumber(s, n, copy);
    }
    std::optional<Value> number = NumberValue(std::string_view(s, n));
    if (!number) return Stop("number out of range");
    return Number(*number);
  }
  bool String(const char* s, rapidjson::SizeType n, bool copy) {
    if (!streaming_) {
      ValueStarts();
      return builder_.String(s, n, copy);
    }
    if (HasEncodedSurrogate(std::string_view(s, n))) return Stop(kLoneSurrogate);
    tokens_.PushText(ElementTokens::Type::kString, std::string_view(s, n));
    return ElementDone();
  }
  bool Key(const char* s, rapidjson::SizeType n, bool copy) {
    if (!streaming_) {
      pending_ = builder_.depth() == 1 && std::string_view(s, n) == key_;
      return builder_.Key(s, n, copy);
    }
    if (HasEncodedSurrogate(std::string_view(s, n))) return Stop(kLoneSurrogate);
    tokens_.PushText(ElementTokens::Type::kKey, std::string_view(s, n));
    return true;
  }
  bool StartObject() {
    if (!streaming_) {
      ValueStarts();
      return builder_.StartObject();
    }
    return Open(ElementTokens::Type::kStartObject);
  }
  bool EndObject(rapidjson::SizeType n) {
    if (!streaming_) return builder_.EndObject(n);
    return Close(ElementTokens::Type::kEndObject);
  }
  bool StartArray() {
    if (streaming_) return Open(ElementTokens::Type::kStartArray);
    if (!pending_) return builder_.StartArray();
    // The array of the member asked for; should the key repeat, the last
    // member counts, as in a tree.
    pending_ = false;
    builder_.Forget(key_);
    streaming_ = true;
    streamed_ = false;
    depth_ = 0;
    sink_.Begin();
    return true;
  }
  bool EndArray(rapidjson::SizeType n) {
    if (!streaming_) return builder_.EndArray(n);
    if (depth_ == 0) {
      streaming_ = false;
      streamed_ = true;
      return true;
    }
    return Close(ElementTokens::Type::kEndArray);
  }

 private:
  // Containers open around an element: the top-level object and the array.
  static constexpr int kOuterLevels = 2;

  // A value is about to be built into the tree. When it is the value of the
  // member `key`, it replaces an array streamed before.
  void ValueStarts() {
    if (pending_) streamed_ = false;
    pending_ = false;
  }
  bool Number(const Value& number) {
    if (!streaming_) {
      ValueStarts();
      return builder_.Add(number);
    }
    tokens_.PushNumber(number);
    return ElementDone();
  }
  bool Scalar(ElementTokens::Type type) {
    tokens_.Push(type);
    return ElementDone();
  }
  bool Open(ElementTokens::Type type) {
    if (kOuterLevels + depth_ + 1 > kMaxDepth) return Stop("recursion limit exceeded");
    if (type == ElementTokens::Type::kStartObject) tokens_.has_object_ = true;
    ++depth_;
    tokens_.Push(type);
    return true;
  }
  bool Close(ElementTokens::Type type) {
    --depth_;
    tokens_.Push(type);
    return ElementDone();
  }
  // After each token that may end an element: a whole one goes to the sink.
  bool ElementDone() {
    if (depth_ > 0) return true;
    sink_.Element(tokens_);
    tokens_.Clear();
    return true;
  }
  bool Stop(std::string message) {
    stopped_ = std::move(message);
    return false;
  }

  std::string_view key_;
  ElementSink& sink_;
  TreeBuilder builder_;
  ElementTokens tokens_;
  bool pending_ = false;    // the key just read names the streamed member
  bool streaming_ = false;  // inside its array
  bool streamed_ = false;
  int depth_ = 0;  // containers open inside the element being read
  std::optional<std::string> stopped_;
};

Result<StreamedParse> ParseStreamingMember(std::string_view text, std::string_view key, ElementSink& sink) {
  ViewStream stream(text);
  StreamingHandler handler(key, sink);
  if (Status parsed = ParseWhole(stream, text, handler); !parsed.ok()) return std::move(parsed).TakeError();
  assert(handler.has_result() && "a successful parse yields a value");
  return StreamedParse{handler.TakeResult(), handler.streamed()};
}

Status ReadRecord(std::string_view text, std::string_view struct_name, std::span<const std::string_view> fields,
                  const FieldHandler& on_field) {
  ViewStream stream(text);
  RecordHandler handler(stream, text, struct_name, fields, on_field);
  return ParseWhole(stream, text, handler);
}

}  // namespace aurvane::json
