// The strict JSON reader on arbitrary bytes: no crash, no sanitizer report,
// and whatever it accepts survives a write and a second read unchanged. The
// reader of objects of numbers (the duration history) judges the bytes alike
// whole and in pieces of any size, and accepts every object of numbers that
// the tree parser accepts.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/json.h"
#include "json/reader.h"

namespace {

using Members = std::vector<std::pair<std::string, double>>;

// The number reader's verdict and members, the text given in pieces of
// `size` bytes (0: whole).
bool ReadNumbers(std::string_view text, size_t size, Members& members) {
  auto keep = [&members](std::string_view key, double value) { members.emplace_back(std::string(key), value); };
  if (size == 0) return aurvane::json::ReadNumberObject(text, keep).ok();
  size_t at = 0;
  return aurvane::json::ReadNumberObject(
             [&]() -> aurvane::Result<std::string_view> {
               std::string_view piece = text.substr(at, size);
               at += piece.size();
               return piece;
             },
             keep)
      .ok();
}

void CheckNumberReader(std::string_view text, const aurvane::Result<aurvane::json::Value>& tree) {
  Members whole;
  const bool ok = ReadNumbers(text, 0, whole);
  for (size_t size : {size_t{1}, size_t{3}, size_t{64}}) {
    Members pieces;
    if (ReadNumbers(text, size, pieces) != ok || (ok && pieces != whole)) abort();
  }
  bool numbers = tree.ok() && tree.value().is_object();
  if (numbers) {
    for (const auto& [key, value] : tree.value().as_object()) numbers = numbers && value.is_number();
  }
  if (numbers && !ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  aurvane::Result<aurvane::json::Value> value = aurvane::json::Parse(text);
  CheckNumberReader(text, value);
  if (!value.ok()) {
    if (value.message().find(" at line ") == std::string::npos) abort();
    return 0;
  }
  std::string compact = aurvane::json::ToCompact(value.value());
  aurvane::Result<aurvane::json::Value> again = aurvane::json::Parse(compact);
  if (!again.ok() || aurvane::json::ToCompact(again.value()) != compact) abort();
  aurvane::Result<aurvane::json::Value> pretty = aurvane::json::Parse(aurvane::json::ToPretty(value.value()));
  if (!pretty.ok() || aurvane::json::ToCompact(pretty.value()) != compact) abort();
  return 0;
}
