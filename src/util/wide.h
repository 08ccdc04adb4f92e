// UTF-8 <-> UTF-16 for the Windows platform files, which talk to the system
// in UTF-16 while the rest of the program holds UTF-8 text.
#ifndef AURVANE_UTIL_WIDE_H_
#define AURVANE_UTIL_WIDE_H_

#include <string>
#include <string_view>

namespace aurvane {

// Invalid sequences become U+FFFD.
std::wstring WideFromUtf8(std::string_view text);
std::string Utf8FromWide(std::wstring_view text);

}  // namespace aurvane

#endif  // AURVANE_UTIL_WIDE_H_
