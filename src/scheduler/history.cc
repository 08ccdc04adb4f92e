#include "scheduler/history.h"

#include <cmath>
#include <utility>

#include "json/json.h"
#include "util/file.h"

namespace aurvane {

bool DurationHistory::IsUsable(double seconds) {
  // -0.0 >= 0.0 holds, NaN fails the comparison.
  return seconds >= 0.0 && std::isfinite(seconds);
}

DurationHistory DurationHistory::Load(bool enabled, const std::filesystem::path& path) {
  if (!enabled) return DurationHistory();
  Result<std::string> text = ReadFile(path);
  if (!text.ok()) return DurationHistory();
  return Parse(text.value());
}

DurationHistory DurationHistory::Parse(std::string_view text) {
  // The JSON reader already rejects a byte-order mark, trailing text and
  // numbers that overflow a double.
  Result<json::Value> parsed = json::Parse(text);
  if (!parsed.ok() || !parsed.value().is_object()) return DurationHistory();
  json::Object& members = parsed.value().as_object();
  DurationHistory history;
  history.entries_.reserve(members.size());
  while (!members.empty()) {
    // Extracting the node makes its key movable, so no name is copied.
    auto node = members.extract(members.begin());
    if (!node.mapped().is_number()) return DurationHistory();
    history.entries_.emplace(std::move(node.key()), node.mapped().number());
  }
  return history;
}

void DurationHistory::Record(std::string_view nodeid, double seconds) {
  if (!IsUsable(seconds)) return;
  auto it = entries_.find(nodeid);
  if (it != entries_.end()) {
    it->second = seconds;
  } else {
    entries_.emplace(std::string(nodeid), seconds);
  }
}

double DurationHistory::Expected(std::string_view nodeid) const {
  auto it = entries_.find(nodeid);
  if (it == entries_.end() || !IsUsable(it->second)) return 1.0;
  return it->second;
}

std::optional<double> DurationHistory::Lookup(std::string_view nodeid) const {
  auto it = entries_.find(nodeid);
  if (it == entries_.end()) return std::nullopt;
  return it->second;
}

std::string DurationHistory::Serialize() const {
  std::string out;
  out.reserve(2 + entries_.size() * 32);
  out += '{';
  bool first = true;
  for (const auto& [name, seconds] : entries_) {
    if (!first) out += ',';
    first = false;
    json::AppendQuoted(out, name);
    out += ':';
    json::AppendDouble(out, seconds);
  }
  out += '}';
  return out;
}

std::filesystem::path HistoryTempPath(const std::filesystem::path& history_path,
                                      std::string_view run_id) {
  using Native = std::filesystem::path::string_type;
  Native name = history_path.filename().native();
  const auto dot = name.rfind(static_cast<Native::value_type>('.'));
  if (dot == Native::npos || dot == 0) {
    name += static_cast<Native::value_type>('.');
  } else {
    name.resize(dot + 1);
  }
  name += std::filesystem::path(std::string(run_id) + ".tmp").native();
  return history_path.parent_path() / name;
}

}  // namespace aurvane
