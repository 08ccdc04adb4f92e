// The process's standard output and error as each platform reaches them.
// WriteStdout and WriteStderr (file.h) are the interface; this is the part
// that differs per platform beneath them.
#ifndef AURVANE_UTIL_STANDARD_STREAM_H_
#define AURVANE_UTIL_STANDARD_STREAM_H_

#include <string_view>

#include "util/result.h"

namespace aurvane {

enum class StandardStream { kOutput, kError };

// Writes every byte to `stream`, retrying short writes; no locking.
Status WriteStandardStream(StandardStream stream, std::string_view bytes);

}  // namespace aurvane

#endif  // AURVANE_UTIL_STANDARD_STREAM_H_
