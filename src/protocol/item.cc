#include "protocol/item.h"

#include <string_view>
#include <type_traits>
#include <utility>

namespace aurvane {
namespace {

using json::Value;

constexpr std::string_view kExpectIndex = "an unsigned 64-bit integer";
constexpr std::string_view kExpectString = "a string";
constexpr std::string_view kExpectItem = "struct Item";
constexpr std::string_view kExpectItems = "a sequence of items";
constexpr size_t kItemFields = 4;

Error InvalidType(const Value& found, std::string_view expected) {
  std::string text = "invalid type: ";
  text += json::DescribeUnexpected(found);
  text += ", expected ";
  text += expected;
  return Error{std::move(text)};
}

Error MissingField(std::string_view name) {
  std::string text = "missing field `";
  text += name;
  text += "`";
  return Error{std::move(text)};
}

// Only a non-negative integer without fraction or exponent is an index: 1.0
// is a float even though its value is whole.
Status DecodeIndex(const Value& v, uint64_t& out) {
  if (v.is_uint()) {
    out = v.as_uint();
    return Status::Ok();
  }
  if (v.is_int()) {
    std::string text = "invalid value: ";
    text += json::DescribeUnexpected(v);
    text += ", expected ";
    text += kExpectIndex;
    return Error{std::move(text)};
  }
  return InvalidType(v, kExpectIndex);
}

// V is `const Value` (copy out) or `Value` (move out).
template <class V>
Status DecodeString(V& v, std::string& out) {
  if (!v.is_string()) return InvalidType(v, kExpectString);
  if constexpr (std::is_const_v<V>) {
    out = v.as_string();
  } else {
    out = std::move(v.as_string());
  }
  return Status::Ok();
}

template <class V>
void TakeLocation(V& v, Value& out) {
  if constexpr (std::is_const_v<V>) {
    out = v;
  } else {
    out = std::move(v);
  }
}

// Fields are checked in declaration order, so the first bad or missing one
// (in that order) is the one reported.
template <class V>
Result<Item> DecodeFields(V* index, V* nodeid, V* location, V* group) {
  Item item;
  if (index == nullptr) return MissingField("index");
  if (Status s = DecodeIndex(*index, item.index); !s.ok()) return std::move(s).TakeError();
  if (nodeid == nullptr) return MissingField("nodeid");
  if (Status s = DecodeString(*nodeid, item.nodeid); !s.ok()) return std::move(s).TakeError();
  if (location == nullptr) return MissingField("location");
  TakeLocation(*location, item.location);
  if (group == nullptr) return MissingField("group");
  if (Status s = DecodeString(*group, item.group); !s.ok()) return std::move(s).TakeError();
  return item;
}

template <class V>
V* Member(V& object, std::string_view key) {
  auto& members = object.as_object();
  auto it = members.find(key);
  return it == members.end() ? nullptr : &it->second;
}

template <class V>
Result<Item> DecodeItemImpl(V& value) {
  if (value.is_object()) {
    return DecodeFields<V>(Member(value, "index"), Member(value, "nodeid"),
                           Member(value, "location"), Member(value, "group"));
  }
  if (value.is_array()) {
    auto& elements = value.as_array();
    if (elements.size() < kItemFields) {
      return Error{"invalid length " + std::to_string(elements.size()) +
                   ", expected struct Item with 4 elements"};
    }
    if (elements.size() > kItemFields) {
      return Error{"invalid length " + std::to_string(elements.size()) +
                   ", expected fewer elements in array"};
    }
    return DecodeFields<V>(&elements[0], &elements[1], &elements[2], &elements[3]);
  }
  return InvalidType(value, kExpectItem);
}

template <class V>
Result<Manifest> DecodeManifestImpl(V* items) {
  if (items == nullptr) return InvalidType(Value(), kExpectItems);
  if (!items->is_array()) return InvalidType(*items, kExpectItems);
  auto& elements = items->as_array();
  Manifest manifest;
  manifest.reserve(elements.size());
  for (auto& element : elements) {
    Result<Item> item = DecodeItemImpl(element);
    if (!item.ok()) return std::move(item).TakeError();
    manifest.push_back(std::move(item).value());
  }
  return manifest;
}

}  // namespace

Result<Item> DecodeItem(const json::Value& value) { return DecodeItemImpl(value); }
Result<Item> DecodeItem(json::Value&& value) { return DecodeItemImpl(value); }

Result<Manifest> DecodeManifest(const json::Value* items) { return DecodeManifestImpl(items); }
Result<Manifest> DecodeManifest(json::Value&& items) { return DecodeManifestImpl(&items); }

}  // namespace aurvane
