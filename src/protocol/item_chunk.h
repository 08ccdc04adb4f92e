// The items of one manifest message, read off the line straight into one
// buffer. A large suite's items arrive as chunks of about 1 MiB; building
// each into a value tree first cost most of the agreement's time.
#ifndef AURVANE_PROTOCOL_ITEM_CHUNK_H_
#define AURVANE_PROTOCOL_ITEM_CHUNK_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.h"
#include "json/reader.h"
#include "protocol/item.h"

namespace aurvane {

// An item whose texts live elsewhere (in a chunk, or in an Item).
struct ItemView {
  uint64_t index = 0;
  std::string_view nodeid;
  // A location [file, line or null, name], which is what pytest gives, by
  // its parts; any other location as its compact JSON text.
  bool triple = false;
  std::string_view file;
  std::optional<uint64_t> line;
  std::string_view name;
  std::string_view location_text;
  std::string_view group;
};

// `item` as a view. A location that is not a triple is written into `text`,
// which the view then refers to.
ItemView ViewOf(const Item& item, std::string& text);

class ItemChunk {
 public:
  // The items read, in order: every element up to the first that is not an
  // item.
  size_t size() const { return entries_.size(); }
  ItemView operator[](size_t i) const;
  // Item i rebuilt as a value.
  Item ItemAt(size_t i) const;
  // Why element size() is not an item, in DecodeItem's words (or why the
  // member is not an array, in DecodeManifest's); nothing when all are.
  const std::optional<std::string>& error() const { return error_; }
  // The whole array's compact JSON text, for the event log: what
  // json::AppendCompact writes for the array as a value.
  const std::string& text() const { return text_; }

 private:
  friend class ItemChunkReader;
  friend ItemChunk ChunkOf(const json::Value* items);
  struct Span {
    uint32_t offset = 0;
    uint32_t size = 0;
  };
  struct Entry {
    uint64_t index = 0;
    uint64_t line = 0;
    Span nodeid, file, name, location_text, group;
    bool triple = false;
    bool line_null = false;
  };
  Span Keep(std::string_view text);
  std::string_view At(Span span) const { return std::string_view(arena_).substr(span.offset, span.size); }
  void Add(const ItemView& item);

  std::string arena_;
  std::vector<Entry> entries_;
  std::optional<std::string> error_;
  std::string text_;
};

// Decodes the elements of an "items" array into a chunk as the reader hands
// them over (see json::ParseStreamingMember), with the judgement DecodeItem
// gives each.
class ItemChunkReader : public json::ElementSink {
 public:
  void Begin() override;
  void Element(const json::ElementTokens& element) override;
  // The chunk read since the last Begin, its text closed.
  ItemChunk Take();

 private:
  ItemChunk chunk_;
};

// The chunk for an "items" member already built as a value (null when the
// member is missing): the same as if it had been read off the line.
ItemChunk ChunkOf(const json::Value* items);

}  // namespace aurvane

#endif  // AURVANE_PROTOCOL_ITEM_CHUNK_H_
