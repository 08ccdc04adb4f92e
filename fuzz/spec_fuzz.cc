// The specification decoder on arbitrary bytes: every failure is one message
// with a position, and nothing crashes.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "spec/spec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  aurvane::Result<aurvane::Spec> spec = aurvane::ParseSpec(text);
  if (!spec.ok()) {
    if (spec.message().find(" at line ") == std::string::npos) abort();
    return 0;
  }
  (void)aurvane::ValidateSpec(spec.value());
  return 0;
}
