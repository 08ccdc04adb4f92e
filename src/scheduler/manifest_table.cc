#include "scheduler/manifest_table.h"

#include <cassert>
#include <functional>
#include <limits>
#include <utility>

namespace aurvane {

namespace {

// Whether `name` is `stored` with every "::" written as ".": how pytest
// names a test inside its module ("TestC::t[1]" is located as "TestC.t[1]").
bool IsDottedForm(std::string_view stored, std::string_view name) {
  size_t j = 0;
  for (size_t i = 0; i < stored.size(); ++i, ++j) {
    if (j >= name.size()) return false;
    if (stored[i] == ':' && i + 1 < stored.size() && stored[i + 1] == ':') {
      if (name[j] != '.') return false;
      ++i;
    } else if (stored[i] != name[j]) {
      return false;
    }
  }
  return j == name.size();
}

std::string DottedForm(std::string_view stored) {
  std::string out;
  out.reserve(stored.size());
  for (size_t i = 0; i < stored.size(); ++i) {
    if (stored[i] == ':' && i + 1 < stored.size() && stored[i + 1] == ':') {
      out.push_back('.');
      ++i;
    } else {
      out.push_back(stored[i]);
    }
  }
  return out;
}

uint32_t CheckedSize(size_t n) {
  assert(n <= std::numeric_limits<uint32_t>::max() && "one item field of 4 GiB or more");
  return static_cast<uint32_t>(n);
}

}  // namespace

ManifestTable::ManifestTable(const Manifest& manifest) {
  entries_.reserve(manifest.size());
  for (const Item& item : manifest) Append(item);
}

uint32_t ManifestTable::Intern(std::string_view text) {
  auto it = string_ids_.find(text);
  if (it != string_ids_.end()) return it->second;
  const uint32_t id = CheckedSize(strings_.size());
  const std::string& kept = strings_.emplace_back(text);
  string_ids_.emplace(std::string_view(kept), id);
  return id;
}

void ManifestTable::Append(const Item& item) {
  std::string location_text;
  Append(ViewOf(item, location_text));
}

void ManifestTable::Append(const ItemView& item) {
  Entry e;
  e.offset = arena_.size();
  e.group = item.group == item.nodeid ? kOwnGroup : Intern(item.group);
  std::string_view nodeid = item.nodeid;
  if (item.triple) {
    const std::string_view file = item.file;
    e.flags |= kLocationTriple;
    e.file = Intern(file);
    if (!item.line) {
      e.flags |= kLineNull;
    } else {
      e.line = *item.line;
    }
    if (nodeid.size() > file.size() + 1 && nodeid.starts_with(file) && nodeid.substr(file.size(), 2) == "::") {
      e.flags |= kNodeIdAfterFile;
      nodeid.remove_prefix(file.size() + 2);
    }
    arena_.append(nodeid);
    e.nodeid_size = CheckedSize(nodeid.size());
    if (IsDottedForm(nodeid, item.name)) {
      e.flags |= kNameFromNodeId;
    } else {
      arena_.append(item.name);
      e.extra_size = CheckedSize(item.name.size());
    }
  } else {
    arena_.append(nodeid);
    e.nodeid_size = CheckedSize(nodeid.size());
    arena_.append(item.location_text);
    e.extra_size = CheckedSize(item.location_text.size());
  }
  entries_.push_back(e);
}

void ManifestTable::NodeIdInto(size_t i, std::string& out) const {
  const Entry& e = entries_[i];
  out.clear();
  if (e.flags & kNodeIdAfterFile) {
    out.append(strings_[e.file]);
    out.append("::");
  }
  out.append(Stored(e));
}

std::string ManifestTable::NodeId(size_t i) const {
  std::string out;
  NodeIdInto(i, out);
  return out;
}

std::optional<uint32_t> ManifestTable::FindInterned(std::string_view text) const {
  auto it = string_ids_.find(text);
  if (it == string_ids_.end()) return std::nullopt;
  return it->second;
}

json::Value ManifestTable::Location(const Entry& e) const {
  if (!(e.flags & kLocationTriple)) {
    Result<json::Value> parsed = json::Parse(Extra(e));
    assert(parsed.ok() && "a stored location is valid JSON");
    return parsed.ok() ? std::move(parsed).value() : json::Value();
  }
  json::Array parts;
  parts.reserve(3);
  parts.emplace_back(strings_[e.file]);
  if (e.flags & kLineNull) {
    parts.emplace_back();
  } else {
    parts.emplace_back(e.line);
  }
  parts.emplace_back(e.flags & kNameFromNodeId ? DottedForm(Stored(e)) : std::string(Extra(e)));
  return json::Value(std::move(parts));
}

Item ManifestTable::operator[](size_t i) const {
  const Entry& e = entries_[i];
  std::string nodeid = NodeId(i);
  std::string group = e.group == kOwnGroup ? nodeid : strings_[e.group];
  return Item{i, std::move(nodeid), Location(e), std::move(group)};
}

bool ManifestTable::NodeIdEquals(const Entry& e, std::string_view nodeid) const {
  if (e.flags & kNodeIdAfterFile) {
    const std::string& file = strings_[e.file];
    if (!nodeid.starts_with(file) || nodeid.substr(file.size(), 2) != "::") return false;
    nodeid.remove_prefix(file.size() + 2);
  }
  return nodeid == Stored(e);
}

bool ManifestTable::LocationEquals(const Entry& e, const ItemView& item) const {
  if (item.triple != static_cast<bool>(e.flags & kLocationTriple)) return false;
  if (!item.triple) {
    // Equal texts are equal values; unequal ones may still be (0.0 and -0.0).
    if (item.location_text == Extra(e)) return true;
    Result<json::Value> location = json::Parse(item.location_text);
    return location.ok() && Location(e) == location.value();
  }
  if (item.file != strings_[e.file]) return false;
  if (!item.line.has_value() != static_cast<bool>(e.flags & kLineNull)) return false;
  if (item.line && *item.line != e.line) return false;
  return e.flags & kNameFromNodeId ? IsDottedForm(Stored(e), item.name) : item.name == Extra(e);
}

bool ManifestTable::Matches(size_t i, const Item& item) const {
  std::string location_text;
  return Matches(i, ViewOf(item, location_text));
}

bool ManifestTable::Matches(size_t i, const ItemView& item) const {
  if (i >= entries_.size() || item.index != i) return false;
  const Entry& e = entries_[i];
  const bool group_equal = e.group == kOwnGroup ? item.group == item.nodeid : item.group == strings_[e.group];
  return group_equal && NodeIdEquals(e, item.nodeid) && LocationEquals(e, item);
}

bool operator==(const ManifestTable& a, const ManifestTable& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (!a.Matches(i, b[i])) return false;
  }
  return true;
}

size_t ManifestTable::MemoryBytes() const {
  size_t bytes = arena_.capacity() + entries_.capacity() * sizeof(Entry);
  for (const std::string& s : strings_) bytes += sizeof(std::string) + s.capacity();
  return bytes + string_ids_.size() * (sizeof(std::string_view) + 2 * sizeof(void*));
}

bool HasDuplicateNodeIds(const ManifestTable& table) {
  // An open-addressing set in one allocation, 8 bytes a slot: the low bits of
  // a node id's hash pick the slot, its high 32 bits are kept to skip most
  // comparisons. A node-based set costs an allocation and a cache miss or two
  // per test.
  struct Slot {
    uint32_t hash_high;
    uint32_t position_plus_one;  // 0 marks an empty slot
  };
  assert(table.size() < std::numeric_limits<uint32_t>::max() && "test positions fit 32 bits");
  size_t capacity = 16;
  while (capacity < table.size() * 2) capacity *= 2;
  std::vector<Slot> slots(capacity, Slot{0, 0});
  const size_t mask = capacity - 1;
  std::string nodeid;
  std::string other;
  for (size_t i = 0; i < table.size(); ++i) {
    table.NodeIdInto(i, nodeid);
    const uint64_t hash = std::hash<std::string_view>{}(nodeid);
    const auto high = static_cast<uint32_t>(hash >> 32);
    for (size_t at = static_cast<size_t>(hash) & mask;; at = (at + 1) & mask) {
      Slot& slot = slots[at];
      if (slot.position_plus_one == 0) {
        slot = Slot{high, static_cast<uint32_t>(i + 1)};
        break;
      }
      if (slot.hash_high == high) {
        table.NodeIdInto(slot.position_plus_one - 1, other);
        if (other == nodeid) return true;
      }
    }
  }
  return false;
}

}  // namespace aurvane
