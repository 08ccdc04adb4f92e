// One collected test and the manifest a worker reports.
//
// A test is named everywhere by its position in the reference manifest, so an
// item's `index` must equal that position (checked in tables.h, not here).
#ifndef AURVANE_PROTOCOL_ITEM_H_
#define AURVANE_PROTOCOL_ITEM_H_

#include <cstdint>
#include <string>
#include <vector>

#include "json/json.h"
#include "util/result.h"

namespace aurvane {

struct Item {
  uint64_t index = 0;
  std::string nodeid;
  // Kept verbatim and never interpreted; takes part in equality, where 1 and
  // 1.0 differ and object member order does not matter.
  json::Value location;
  std::string group;

  // Field by field in declaration order (index, nodeid, location, group),
  // stopping at the first difference.
  friend bool operator==(const Item&, const Item&) = default;
};

// Equality of manifests is std::vector's: same length, then item by item.
using Manifest = std::vector<Item>;

// Decodes an item from an object with the keys "index", "nodeid", "location"
// and "group" (others ignored), or from an array of exactly those four values
// in that order. Errors are decoder messages such as "missing field `group`",
// "invalid type: null, expected a string", "invalid value: integer `-1`,
// expected an unsigned 64-bit integer",
// "invalid length 3, expected struct Item with 4 elements".
Result<Item> DecodeItem(const json::Value& value);
// The same, but moves strings and the location out of `value` instead of
// copying them; `value` is left valid but unspecified.
Result<Item> DecodeItem(json::Value&& value);

// Decodes the "items" member of a "collected" message; nullptr (the member
// is missing) is treated like null and rejected as not being an array.
Result<Manifest> DecodeManifest(const json::Value* items);
// Moving variant for large manifests: no string of the message is copied.
Result<Manifest> DecodeManifest(json::Value&& items);

}  // namespace aurvane

#endif  // AURVANE_PROTOCOL_ITEM_H_
