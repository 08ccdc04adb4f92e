// The strict JSON reader on arbitrary bytes: no crash, no sanitizer report,
// and whatever it accepts survives a write and a second read unchanged.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "json/json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  aurvane::Result<aurvane::json::Value> value = aurvane::json::Parse(text);
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
