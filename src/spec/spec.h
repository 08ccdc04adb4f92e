// The run specification: the one JSON file that configures a run.
#ifndef AURVANE_SPEC_SPEC_H_
#define AURVANE_SPEC_SPEC_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "util/result.h"

namespace aurvane {

// Fields in declaration order, which is also the order of the array form.
struct Spec {
  uint32_t protocol = 0;
  std::string python;
  std::filesystem::path cwd;
  uint64_t workers = 0;
  double phase_timeout = 0;
  double startup_timeout = 0;
  double shutdown_timeout = 0;
  uint64_t max_restarts = 0;
  uint32_t retries = 0;
  std::string schedule;
  bool history = false;
  std::filesystem::path history_path;
  std::filesystem::path run_dir;
  std::string run_id;
  uint64_t maxfail = 0;
};

// Reads and decodes the file at `path`. Errors are the operating system's
// text (the file cannot be read) or the decoder's, with its position.
Result<Spec> LoadSpec(const std::filesystem::path& path);

// Decodes specification text.
Result<Spec> ParseSpec(std::string_view text);

// Checks what decoding cannot: the protocol version, the worker count and
// the deadlines.
Status ValidateSpec(const Spec& spec);

}  // namespace aurvane

#endif  // AURVANE_SPEC_SPEC_H_
