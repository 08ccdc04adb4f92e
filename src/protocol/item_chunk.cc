#include "protocol/item_chunk.h"

#include <cassert>
#include <limits>
#include <utility>

namespace aurvane {

namespace {

using Type = json::ElementTokens::Type;

bool IsTriple(const json::Value& location) {
  if (!location.is_array()) return false;
  const json::Array& parts = location.as_array();
  return parts.size() == 3 && parts[0].is_string() && (parts[1].is_uint() || parts[1].is_null()) &&
         parts[2].is_string();
}

}  // namespace

ItemView ViewOf(const Item& item, std::string& text) {
  ItemView view;
  view.index = item.index;
  view.nodeid = item.nodeid;
  view.group = item.group;
  if (IsTriple(item.location)) {
    const json::Array& parts = item.location.as_array();
    view.triple = true;
    view.file = parts[0].as_string();
    if (!parts[1].is_null()) view.line = parts[1].as_uint();
    view.name = parts[2].as_string();
  } else {
    text.clear();
    json::AppendCompact(text, item.location);
    view.location_text = text;
  }
  return view;
}

ItemChunk::Span ItemChunk::Keep(std::string_view text) {
  assert(arena_.size() + text.size() <= std::numeric_limits<uint32_t>::max() && "a chunk of 4 GiB");
  Span span{static_cast<uint32_t>(arena_.size()), static_cast<uint32_t>(text.size())};
  arena_.append(text);
  return span;
}

void ItemChunk::Add(const ItemView& item) {
  Entry e;
  e.index = item.index;
  e.nodeid = Keep(item.nodeid);
  e.group = Keep(item.group);
  e.triple = item.triple;
  if (item.triple) {
    e.file = Keep(item.file);
    e.name = Keep(item.name);
    e.line_null = !item.line.has_value();
    e.line = item.line.value_or(0);
  } else {
    e.location_text = Keep(item.location_text);
  }
  entries_.push_back(e);
}

ItemView ItemChunk::operator[](size_t i) const {
  const Entry& e = entries_[i];
  ItemView view;
  view.index = e.index;
  view.nodeid = At(e.nodeid);
  view.group = At(e.group);
  view.triple = e.triple;
  if (e.triple) {
    view.file = At(e.file);
    view.name = At(e.name);
    if (!e.line_null) view.line = e.line;
  } else {
    view.location_text = At(e.location_text);
  }
  return view;
}

Item ItemChunk::ItemAt(size_t i) const {
  const ItemView view = (*this)[i];
  Item item{view.index, std::string(view.nodeid), json::Value(), std::string(view.group)};
  if (view.triple) {
    // Built in place: moving fresh values in makes GCC 12 warn about
    // moved-from variants at -O2.
    json::Array& parts = item.location.emplace_array();
    parts.emplace_back(view.file);
    if (view.line) {
      parts.emplace_back(*view.line);
    } else {
      parts.emplace_back();
    }
    parts.emplace_back(view.name);
  } else {
    Result<json::Value> location = json::Parse(view.location_text);
    assert(location.ok() && "a location's compact text is valid JSON");
    if (location.ok()) item.location = std::move(location).value();
  }
  return item;
}

void ItemChunkReader::Begin() {
  chunk_ = ItemChunk();
  chunk_.text_.push_back('[');
}

namespace {

// Where the four fields of an item start among an element's tokens.
struct FieldTokens {
  size_t index = 0, nodeid = 0, location = 0, group = 0;
};

// The fields of the shapes every worker sends, [index, nodeid, location,
// group] or an object of exactly those four members, found without building
// a value; false for anything else.
bool FindFields(const json::ElementTokens& element, FieldTokens& at) {
  const size_t n = element.size();
  if (n >= 6 && element.type(0) == Type::kStartArray) {
    at = FieldTokens{1, 2, 3, element.End(3)};
    return at.group + 2 == n && element.type(n - 1) == Type::kEndArray;
  }
  if (n < 10 || element.type(0) != Type::kStartObject) return false;
  size_t* slots[] = {&at.index, &at.nodeid, &at.location, &at.group};
  constexpr std::string_view kNames[] = {"index", "nodeid", "location", "group"};
  size_t seen = 0;
  size_t next = 1;
  while (next < n && element.type(next) == Type::kKey) {
    size_t field = 0;
    while (field < 4 && element.text(next) != kNames[field]) ++field;
    // Another member, or one repeated: judged on the value instead.
    if (field == 4 || *slots[field] != 0) return false;
    *slots[field] = next + 1;
    ++seen;
    next = element.End(next + 1);
  }
  return seen == 4 && next + 1 == n && element.type(next) == Type::kEndObject;
}

}  // namespace

void ItemChunkReader::Element(const json::ElementTokens& element) {
  ItemChunk& chunk = chunk_;
  if (chunk.text_.size() > 1) chunk.text_ += ',';
  element.AppendCompact(chunk.text_);
  // After a bad element the rest are only written: the run ends on it.
  if (chunk.error_) return;
  // The usual shapes with the usual types are taken from the tokens;
  // anything else is built and judged as a value.
  FieldTokens at;
  if (FindFields(element, at) && element.type(at.index) == Type::kUint && element.type(at.nodeid) == Type::kString &&
      element.type(at.group) == Type::kString) {
    ItemView item;
    item.index = element.uint(at.index);
    item.nodeid = element.text(at.nodeid);
    item.group = element.text(at.group);
    const size_t l = at.location;
    std::string location_text;
    if (element.End(l) == l + 5 && element.type(l) == Type::kStartArray && element.type(l + 1) == Type::kString &&
        (element.type(l + 2) == Type::kUint || element.type(l + 2) == Type::kNull) &&
        element.type(l + 3) == Type::kString) {
      item.triple = true;
      item.file = element.text(l + 1);
      if (element.type(l + 2) == Type::kUint) item.line = element.uint(l + 2);
      item.name = element.text(l + 3);
    } else {
      element.AppendCompact(location_text, l);
      item.location_text = location_text;
    }
    chunk.Add(item);
    return;
  }
  Result<Item> item = DecodeItem(element.ToValue());
  if (!item.ok()) {
    chunk.error_ = item.message();
    return;
  }
  std::string location_text;
  chunk.Add(ViewOf(item.value(), location_text));
}

ItemChunk ItemChunkReader::Take() {
  chunk_.text_ += ']';
  ItemChunk chunk = std::move(chunk_);
  chunk_ = ItemChunk();
  return chunk;
}

ItemChunk ChunkOf(const json::Value* items) {
  if (items == nullptr || !items->is_array()) {
    ItemChunk chunk;
    chunk.error_ = DecodeManifest(items).message();
    return chunk;
  }
  // Read back from its text: the one way items are decoded.
  std::string text = "{\"items\":";
  json::AppendCompact(text, *items);
  text += '}';
  ItemChunkReader reader;
  Result<json::StreamedParse> parsed = json::ParseStreamingMember(text, "items", reader);
  assert(parsed.ok() && parsed.value().streamed && "compact text reads back");
  return reader.Take();
}

}  // namespace aurvane
