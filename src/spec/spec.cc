#include "spec/spec.h"

#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "json/json.h"
#include "json/reader.h"
#include "util/file.h"

namespace aurvane {

namespace {

constexpr std::array<std::string_view, 15> kFields = {
    "protocol",   "python",  "cwd",      "workers",      "phase_timeout", "startup_timeout", "shutdown_timeout",
    "max_restarts", "retries", "schedule", "history",    "history_path",  "run_dir",         "run_id",
    "maxfail"};

Error InvalidType(const json::Value& v, std::string_view expected) {
  return Error{"invalid type: " + json::DescribeUnexpected(v) + ", expected " + std::string(expected)};
}

// An unsigned integer no greater than `max`.
Result<uint64_t> ReadUnsigned(const json::Value& v, uint64_t max, std::string_view expected) {
  if (v.is_int()) return Error{"invalid value: " + json::DescribeUnexpected(v) + ", expected " + std::string(expected)};
  if (!v.is_uint()) return InvalidType(v, expected);
  if (v.as_uint() > max) {
    return Error{"invalid value: " + json::DescribeUnexpected(v) + ", expected " + std::string(expected)};
  }
  return v.as_uint();
}

Status ReadInto(uint32_t& out, const json::Value& v) {
  Result<uint64_t> n = ReadUnsigned(v, UINT32_MAX, "an unsigned 32-bit integer");
  if (!n.ok()) return std::move(n).TakeError();
  out = static_cast<uint32_t>(n.value());
  return Status::Ok();
}

Status ReadInto(uint64_t& out, const json::Value& v) {
  Result<uint64_t> n = ReadUnsigned(v, UINT64_MAX, "an unsigned integer");
  if (!n.ok()) return std::move(n).TakeError();
  out = n.value();
  return Status::Ok();
}

Status ReadInto(double& out, const json::Value& v) {
  if (!v.is_number()) return InvalidType(v, "a number");
  out = v.number();
  return Status::Ok();
}

Status ReadInto(bool& out, const json::Value& v) {
  if (!v.is_bool()) return InvalidType(v, "a boolean");
  out = v.as_bool();
  return Status::Ok();
}

Status ReadInto(std::string& out, json::Value& v) {
  if (!v.is_string()) return InvalidType(v, "a string");
  out = std::move(v.as_string());
  return Status::Ok();
}

Status ReadInto(std::filesystem::path& out, json::Value& v) {
  if (!v.is_string()) return InvalidType(v, "a string");
  // Paths are held as given: the text is UTF-8 on every platform.
  out = std::filesystem::path(std::u8string(v.as_string().begin(), v.as_string().end()));
  return Status::Ok();
}

}  // namespace

Result<Spec> ParseSpec(std::string_view text) {
  Spec spec;
  Status status = json::ReadRecord(text, "Spec", kFields, [&spec](size_t index, json::Value&& v) -> Status {
    switch (index) {
      case 0: return ReadInto(spec.protocol, v);
      case 1: return ReadInto(spec.python, v);
      case 2: return ReadInto(spec.cwd, v);
      case 3: return ReadInto(spec.workers, v);
      case 4: return ReadInto(spec.phase_timeout, v);
      case 5: return ReadInto(spec.startup_timeout, v);
      case 6: return ReadInto(spec.shutdown_timeout, v);
      case 7: return ReadInto(spec.max_restarts, v);
      case 8: return ReadInto(spec.retries, v);
      case 9: return ReadInto(spec.schedule, v);
      case 10: return ReadInto(spec.history, v);
      case 11: return ReadInto(spec.history_path, v);
      case 12: return ReadInto(spec.run_dir, v);
      case 13: return ReadInto(spec.run_id, v);
      case 14: return ReadInto(spec.maxfail, v);
    }
    assert(false && "field index out of range");
    return Status::Ok();
  });
  if (!status.ok()) return std::move(status).TakeError();
  return spec;
}

Result<Spec> LoadSpec(const std::filesystem::path& path) {
  Result<std::string> text = ReadFile(path);
  if (!text.ok()) return NamingPath(std::move(text).TakeError(), "Cannot read run specification", path);
  return ParseSpec(text.value());
}

Status ValidateSpec(const Spec& spec) {
  if (spec.protocol != 1 || spec.workers == 0 || spec.workers > 256) {
    return Error{"Invalid protocol version or worker count (supported: 1..256)"};
  }
  for (double deadline : {spec.phase_timeout, spec.startup_timeout, spec.shutdown_timeout}) {
    if (!std::isfinite(deadline) || !(deadline > 0)) return Error{"Deadlines must be finite and positive"};
  }
  // It names the history's temporary file: anything but a plain name would
  // put that file elsewhere.
  if (spec.run_id.empty() || spec.run_id == "." || spec.run_id == ".." ||
      spec.run_id.find_first_of(std::string_view("/\\\0:", 4)) != std::string::npos) {
    return Error{"run_id must be a plain name (no path separators, not . or ..)"};
  }
  // The system's calls take a path up to its first NUL byte: the rest would
  // be dropped without a word, and another file or folder used.
  if (spec.python.find('\0') != std::string::npos) return Error{"python contains a NUL byte"};
  const std::pair<const char*, const std::filesystem::path*> paths[] = {
      {"cwd", &spec.cwd}, {"history_path", &spec.history_path}, {"run_dir", &spec.run_dir}};
  for (const auto& [key, path] : paths) {
    if (path->native().find(std::filesystem::path::value_type{}) != std::filesystem::path::string_type::npos) {
      return Error{std::string(key) + " contains a NUL byte"};
    }
  }
  return Status::Ok();
}

}  // namespace aurvane
