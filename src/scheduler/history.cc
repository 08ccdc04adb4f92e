#include "scheduler/history.h"

#include <bit>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <utility>

#include "json/json.h"
#include "json/reader.h"
#include "util/file.h"

namespace aurvane {

namespace {

uint64_t Load64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

uint64_t Mix64(uint64_t k) {
  k ^= k >> 33;
  k *= 0xff51afd7ed558ccdULL;
  k ^= k >> 33;
  k *= 0xc4ceb9fe1a85ec53ULL;
  k ^= k >> 33;
  return k;
}

}  // namespace

// MurmurHash3's x64 128-bit function (public domain, by Austin Appleby), with
// words read in the machine's byte order: the fingerprints never leave the
// process.
NodeFingerprint FingerprintOf(std::string_view nodeid) {
  constexpr uint64_t c1 = 0x87c37b91114253d5ULL;
  constexpr uint64_t c2 = 0x4cf5ad432745937fULL;
  const char* data = nodeid.data();
  const size_t len = nodeid.size();
  uint64_t h1 = 0x9e3779b97f4a7c15ULL;
  uint64_t h2 = 0x9e3779b97f4a7c15ULL;
  size_t at = 0;
  for (; at + 16 <= len; at += 16) {
    uint64_t k1 = Load64(data + at);
    uint64_t k2 = Load64(data + at + 8);
    k1 *= c1;
    k1 = std::rotl(k1, 31);
    k1 *= c2;
    h1 ^= k1;
    h1 = std::rotl(h1, 27);
    h1 += h2;
    h1 = h1 * 5 + 0x52dce729;
    k2 *= c2;
    k2 = std::rotl(k2, 33);
    k2 *= c1;
    h2 ^= k2;
    h2 = std::rotl(h2, 31);
    h2 += h1;
    h2 = h2 * 5 + 0x38495ab5;
  }
  if (at < len) {
    char tail[16] = {};
    std::memcpy(tail, data + at, len - at);
    uint64_t k1 = Load64(tail);
    uint64_t k2 = Load64(tail + 8);
    if (len - at > 8) {
      k2 *= c2;
      k2 = std::rotl(k2, 33);
      k2 *= c1;
      h2 ^= k2;
    }
    k1 *= c1;
    k1 = std::rotl(k1, 31);
    k1 *= c2;
    h1 ^= k1;
  }
  h1 ^= len;
  h2 ^= len;
  h1 += h2;
  h2 += h1;
  h1 = Mix64(h1);
  h2 = Mix64(h2);
  h1 += h2;
  h2 += h1;
  return NodeFingerprint{h1, h2};
}

size_t FingerprintTable::Probe(NodeFingerprint key) const {
  assert(!slots_.empty() && "Probe() needs a table");
  const size_t mask = slots_.size() - 1;
  for (size_t at = static_cast<size_t>(key.a) & mask;; at = (at + 1) & mask) {
    const uint32_t slot = slots_[at];
    if (slot == 0 || entries_[slot - 1].key == key) return at;
  }
}

void FingerprintTable::Grow() {
  slots_.assign(slots_.empty() ? 16 : slots_.size() * 2, 0);
  const size_t mask = slots_.size() - 1;
  for (size_t i = 0; i < entries_.size(); ++i) {
    size_t at = static_cast<size_t>(entries_[i].key.a) & mask;
    while (slots_[at] != 0) at = (at + 1) & mask;
    slots_[at] = static_cast<uint32_t>(i + 1);
  }
}

double& FingerprintTable::At(NodeFingerprint key, double fallback) {
  // At most half full, so probe runs stay short.
  if ((entries_.size() + 1) * 2 > slots_.size()) Grow();
  uint32_t& slot = slots_[Probe(key)];
  if (slot == 0) {
    assert(entries_.size() < UINT32_MAX && "too many entries for the history");
    entries_.push_back(Entry{key, fallback});
    slot = static_cast<uint32_t>(entries_.size());
  }
  return entries_[slot - 1].value;
}

std::optional<size_t> FingerprintTable::Find(NodeFingerprint key) const {
  if (entries_.empty()) return std::nullopt;
  const uint32_t slot = slots_[Probe(key)];
  if (slot == 0) return std::nullopt;
  return slot - 1;
}

bool DurationHistory::IsUsable(double seconds) {
  // -0.0 >= 0.0 holds, NaN fails the comparison.
  return seconds >= 0.0 && std::isfinite(seconds);
}

std::optional<std::string> NotReplaceableText(const std::filesystem::path& path) {
  std::error_code ignored;
  const std::filesystem::file_type type = std::filesystem::symlink_status(path, ignored).type();
  if (type == std::filesystem::file_type::not_found || type == std::filesystem::file_type::regular) {
    return std::nullopt;
  }
  if (type == std::filesystem::file_type::symlink) {
    return path.string() + " is a symbolic link: a history is never written through one";
  }
  if (type == std::filesystem::file_type::none) return path.string() + " cannot be looked at";
  return NotRegularFileText(path);
}

DurationHistory DurationHistory::Load(bool enabled, const std::filesystem::path& path) {
  if (!enabled) return DurationHistory();
  DurationHistory history;
  // Only a regular file is read: a link or anything else at the path is
  // left alone, and so is kept at the end.
  if (std::optional<std::string> kept = NotReplaceableText(path)) {
    history.kept_because_ = std::move(*kept);
    return history;
  }
  // Read member by member into the table, in pieces: neither the text nor a
  // value tree is held whole. The reader already rejects a byte-order mark,
  // trailing text, non-number values and numbers that overflow a double;
  // whatever was read before a failure is dropped.
  Result<FileReader> file = FileReader::Open(path);
  if (!file.ok()) {
    // Gone meanwhile: as if it never was.
    std::error_code ignored;
    if (std::filesystem::exists(std::filesystem::symlink_status(path, ignored))) {
      history.kept_because_ = path.string() + " cannot be read: " + file.message();
    }
    return history;
  }
  uint64_t bytes = 0;
  Status failed;
  Status read = json::ReadNumberObject(
      [&file, &bytes, &failed]() {
        Result<std::string_view> piece = file.value().Next();
        if (piece.ok()) {
          bytes += piece.value().size();
        } else {
          failed = Error{piece.message()};
        }
        return piece;
      },
      [&history](std::string_view nodeid, double seconds) {
        history.table_.At(FingerprintOf(nodeid), seconds) = seconds;
      });
  if (!read.ok()) {
    DurationHistory none;
    // An empty file holds nothing to lose (a `touch`ed path).
    if (!failed.ok()) {
      none.kept_because_ = failed.message();
    } else if (bytes > 0) {
      none.kept_because_ = path.string() + " is not a duration history (a JSON object of node ids and seconds)";
    }
    return none;
  }
  history.table_.ShrinkToFit();
  return history;
}

DurationHistory DurationHistory::Parse(std::string_view text) {
  DurationHistory history;
  Status read = json::ReadNumberObject(text, [&history](std::string_view nodeid, double seconds) {
    history.table_.At(FingerprintOf(nodeid), seconds) = seconds;
  });
  if (!read.ok()) return DurationHistory();
  return history;
}

void DurationHistory::Record(std::string_view nodeid, double seconds) {
  if (IsUsable(seconds)) table_.At(FingerprintOf(nodeid), seconds) = seconds;
}

std::optional<double> DurationHistory::Lookup(std::string_view nodeid) const {
  std::optional<size_t> at = table_.Find(FingerprintOf(nodeid));
  if (!at) return std::nullopt;
  return table_.value(*at);
}

double DurationHistory::Expected(std::string_view nodeid) const {
  std::optional<double> seconds = Lookup(nodeid);
  return seconds && IsUsable(*seconds) ? *seconds : 1.0;
}

std::vector<double> DurationHistory::TakeCollected(const ManifestTable& tests) {
  std::vector<double> by_index(tests.size(), std::numeric_limits<double>::quiet_NaN());
  if (table_.size() == 0) return by_index;
  // Each entry is found at most once: the tests' node ids are unique.
  std::string nodeid;
  size_t taken = 0;
  for (size_t i = 0; i < tests.size(); ++i) {
    tests.NodeIdInto(i, nodeid);
    std::optional<size_t> at = table_.Find(FingerprintOf(nodeid));
    if (!at) continue;
    by_index[i] = table_.value(*at);
    ++taken;
  }
  others_ = others_ || taken < table_.size();
  table_ = FingerprintTable();
  return by_index;
}

Result<bool> WriteHistory(const json::TextPieces* previous, const ManifestTable* tests,
                          const std::vector<double>& by_index, const HistorySink& sink) {
  assert((tests != nullptr || by_index.empty()) && "durations by index need their tests");
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
  bool previous_read = true;
  if (previous != nullptr) {
    // The entries of this run's tests are written from `by_index`; every
    // other entry goes through as it was read.
    FingerprintTable collected;
    std::string nodeid;
    for (size_t i = 0; tests != nullptr && i < tests->size(); ++i) {
      tests->NodeIdInto(i, nodeid);
      collected.At(FingerprintOf(nodeid), 0.0);
    }
    Status read = json::ReadNumberObject(*previous, [&](std::string_view key, double seconds) {
      if (!collected.Find(FingerprintOf(key))) add(key, seconds);
    });
    if (!written.ok()) return std::move(written).TakeError();
    previous_read = read.ok();
    if (!previous_read) return false;
  }
  std::string nodeid;
  for (size_t i = 0; i < by_index.size(); ++i) {
    if (std::isnan(by_index[i])) continue;
    tests->NodeIdInto(i, nodeid);
    add(nodeid, by_index[i]);
  }
  if (!written.ok()) return std::move(written).TakeError();
  text += '}';
  if (Status last = sink(text); !last.ok()) return std::move(last).TakeError();
  return previous_read;
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
