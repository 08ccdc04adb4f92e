#include "scheduler/history.h"

#include <cassert>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <utility>

#include "json/json.h"
#include "json/reader.h"
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
  // Read member by member into the table: a value tree of a large history
  // cost several times the file's size at start-up. The reader already
  // rejects a byte-order mark, trailing text, non-number values and numbers
  // that overflow a double; whatever was read before a failure is dropped.
  DurationHistory history;
  // The names take less than the text they come from.
  history.names_.reserve(text.size());
  Status read = json::ReadNumberObject(
      text, [&history](std::string_view nodeid, double seconds) { history.Set(nodeid, seconds); });
  if (!read.ok()) return DurationHistory();
  return history;
}

size_t DurationHistory::Probe(std::string_view nodeid, uint64_t hash) const {
  assert(!slots_.empty() && "Probe() needs a table");
  const size_t mask = slots_.size() - 1;
  for (size_t at = static_cast<size_t>(hash) & mask;; at = (at + 1) & mask) {
    const Slot& slot = slots_[at];
    if (!slot.used || (slot.hash == hash && NameAt(slot) == nodeid)) return at;
  }
}

void DurationHistory::Grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.empty() ? 16 : old.size() * 2, Slot{});
  const size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (!slot.used) continue;
    size_t at = static_cast<size_t>(slot.hash) & mask;
    while (slots_[at].used) at = (at + 1) & mask;
    slots_[at] = slot;
  }
}

void DurationHistory::Set(std::string_view nodeid, double seconds) {
  // At most half full, so probe runs stay short.
  if ((size_ + 1) * 2 > slots_.size()) Grow();
  const uint64_t hash = std::hash<std::string_view>{}(nodeid);
  Slot& slot = slots_[Probe(nodeid, hash)];
  if (!slot.used) {
    assert(nodeid.size() <= UINT32_MAX && "node id too long for the history");
    slot.used = true;
    slot.hash = hash;
    slot.name_offset = names_.size();
    slot.name_size = static_cast<uint32_t>(nodeid.size());
    names_.append(nodeid);
    ++size_;
  }
  slot.seconds = seconds;
}

void DurationHistory::Record(std::string_view nodeid, double seconds) {
  if (IsUsable(seconds)) Set(nodeid, seconds);
}

std::optional<double> DurationHistory::Lookup(std::string_view nodeid) const {
  if (size_ == 0) return std::nullopt;
  const Slot& slot = slots_[Probe(nodeid, std::hash<std::string_view>{}(nodeid))];
  if (!slot.used) return std::nullopt;
  return slot.seconds;
}

double DurationHistory::Expected(std::string_view nodeid) const {
  std::optional<double> seconds = Lookup(nodeid);
  return seconds && IsUsable(*seconds) ? *seconds : 1.0;
}

std::string DurationHistory::Serialize() const {
  std::string out;
  out.reserve(2 + names_.size() + size_ * 28);
  Status written = WriteHistory(*this, nullptr, {}, [&out](std::string_view piece) {
    out += piece;
    return Status::Ok();
  });
  assert(written.ok() && "appending to a string cannot fail");
  return out;
}

void DurationHistory::ForEach(const std::function<void(std::string_view nodeid, double seconds)>& each) const {
  for (const Slot& slot : slots_) {
    if (slot.used) each(NameAt(slot), slot.seconds);
  }
}

std::vector<double> DurationHistory::TakeCollected(const ManifestTable& tests) {
  std::vector<double> by_index(tests.size(), std::numeric_limits<double>::quiet_NaN());
  if (size_ == 0) return by_index;
  // Slots of collected tests are marked while their values are taken; the
  // rest are then put in a table of their own.
  std::string nodeid;
  size_t taken = 0;
  for (size_t i = 0; i < tests.size(); ++i) {
    tests.NodeIdInto(i, nodeid);
    Slot& slot = slots_[Probe(nodeid, std::hash<std::string_view>{}(nodeid))];
    if (!slot.used || slot.taken) continue;
    by_index[i] = slot.seconds;
    slot.taken = true;
    ++taken;
  }
  if (taken == 0) return by_index;
  DurationHistory rest;
  for (const Slot& slot : slots_) {
    if (slot.used && !slot.taken) rest.Set(NameAt(slot), slot.seconds);
  }
  *this = std::move(rest);
  return by_index;
}

Status WriteHistory(const DurationHistory& history, const ManifestTable* tests, const std::vector<double>& by_index,
                    const HistorySink& sink) {
  constexpr size_t kPieceBytes = size_t{1} << 20;
  std::string text = "{";
  bool first = true;
  Status written;
  auto add = [&](std::string_view nodeid, double seconds) {
    if (!written.ok()) return;
    if (!first) text += ',';
    first = false;
    json::AppendQuoted(text, nodeid);
    text += ':';
    json::AppendDouble(text, seconds);
    if (text.size() >= kPieceBytes) {
      written = sink(text);
      text.clear();
    }
  };
  history.ForEach(add);
  assert((tests != nullptr || by_index.empty()) && "durations by index need their tests");
  std::string nodeid;
  for (size_t i = 0; i < by_index.size(); ++i) {
    if (std::isnan(by_index[i])) continue;
    tests->NodeIdInto(i, nodeid);
    add(nodeid, by_index[i]);
  }
  if (!written.ok()) return written;
  text += '}';
  return sink(text);
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
  // run_id is UTF-8 text; a plain std::string would be read in the Windows
  // code page.
  std::u8string id(run_id.begin(), run_id.end());
  name += std::filesystem::path(id + u8".tmp").native();
  return history_path.parent_path() / name;
}

}  // namespace aurvane
