// The reference manifest in compact form: the one copy of the suite that a
// run keeps.
//
// A pytest item's node id starts with its file ("pkg/test_x.py::TestC::t[1]")
// and its location repeats that file and the rest of the id
// ("pkg/test_x.py", 12, "TestC.t[1]"). The table keeps each file and group
// once, the node id without the file prefix it shares, and the location's
// name only when it is not that same rest with "::" written as "."; every
// other location is kept as its compact JSON text. Items come back as whole
// `Item` values, equal to the ones appended.
#ifndef AURVANE_SCHEDULER_MANIFEST_TABLE_H_
#define AURVANE_SCHEDULER_MANIFEST_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "protocol/item.h"
#include "protocol/item_chunk.h"

namespace aurvane {

class ManifestTable {
 public:
  ManifestTable() = default;
  explicit ManifestTable(const Manifest& manifest);

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

  // Appends `item` at position size(); its `index` is not kept, the item's
  // position is its index (the index rule is checked before appending).
  void Append(const Item& item);
  void Append(const ItemView& item);

  // The item at position i, rebuilt.
  Item operator[](size_t i) const;
  // The node id of item i, written into `out` (cleared first).
  void NodeIdInto(size_t i, std::string& out) const;
  std::string NodeId(size_t i) const;

  // A group that is its item's own node id is not interned: under fixture
  // grouping most tests are a group of their own, named by their node id,
  // and interning those names would keep every node id a second time.
  static constexpr uint32_t kOwnGroup = UINT32_MAX;
  // The interned number of item i's group, or kOwnGroup.
  uint32_t GroupKey(size_t i) const { return entries_[i].group; }
  // How many strings are interned (files and groups share one table), and
  // the number of `text` among them.
  size_t InternedCount() const { return strings_.size(); }
  std::optional<uint32_t> FindInterned(std::string_view text) const;

  // Whether `item` equals the item at position i under item equality (its
  // index must be i), without rebuilding the stored item.
  bool Matches(size_t i, const Item& item) const;
  bool Matches(size_t i, const ItemView& item) const;

  // Same length and equal items, position by position.
  friend bool operator==(const ManifestTable& a, const ManifestTable& b);

  // Bytes held, for the benchmark's accounting.
  size_t MemoryBytes() const;

 private:
  enum Flags : uint8_t {
    kNodeIdAfterFile = 1,   // node id = file + "::" + stored bytes
    kLocationTriple = 2,    // location = [file, line or null, name]
    kLineNull = 4,          // the triple's line is null
    kNameFromNodeId = 8,    // the triple's name = stored node id, "::" as "."
  };
  struct Entry {
    uint64_t offset = 0;       // in arena_: stored node id, then the extra bytes
    uint32_t nodeid_size = 0;  // stored node id bytes
    uint32_t extra_size = 0;   // the triple's name, or the location's JSON text
    uint32_t file = 0;         // interned location file (triples only)
    uint32_t group = 0;        // interned group, or kOwnGroup: the node id
    uint64_t line = 0;
    uint8_t flags = 0;
  };

  uint32_t Intern(std::string_view text);
  std::string_view Stored(const Entry& e) const { return std::string_view(arena_).substr(e.offset, e.nodeid_size); }
  std::string_view Extra(const Entry& e) const {
    return std::string_view(arena_).substr(e.offset + e.nodeid_size, e.extra_size);
  }
  bool NodeIdEquals(const Entry& e, std::string_view nodeid) const;
  bool LocationEquals(const Entry& e, const ItemView& item) const;
  json::Value Location(const Entry& e) const;

  std::string arena_;
  std::vector<Entry> entries_;
  // Interned files and groups; a deque keeps the views of the index valid.
  std::deque<std::string> strings_;
  std::unordered_map<std::string_view, uint32_t> string_ids_;
};

// Duplicate rule over a table: no two items share a node id.
bool HasDuplicateNodeIds(const ManifestTable& table);

}  // namespace aurvane

#endif  // AURVANE_SCHEDULER_MANIFEST_TABLE_H_
