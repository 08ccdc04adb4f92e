#include "protocol/worker_message.h"

#include <cassert>
#include <limits>
#include <utility>

#include "json/reader.h"

namespace aurvane {

namespace {

const json::Value* Member(const json::Object& fields, std::string_view key) {
  auto it = fields.find(key);
  return it == fields.end() ? nullptr : &it->second;
}

bool IsTrue(const json::Object& fields, std::string_view key) {
  const json::Value* v = Member(fields, key);
  return v != nullptr && v->is_true();
}

// "protocol" and "code" count only as integers that fit 64 signed bits.
std::optional<int64_t> ReadInteger(const json::Object& fields, std::string_view key) {
  const json::Value* v = Member(fields, key);
  if (v == nullptr) return std::nullopt;
  if (v->is_int()) return v->as_int();
  if (v->is_uint() && v->as_uint() <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return static_cast<int64_t>(v->as_uint());
  }
  return std::nullopt;
}

std::optional<uint64_t> ReadUint(const json::Object& fields, std::string_view key) {
  const json::Value* v = Member(fields, key);
  if (v == nullptr || !v->is_uint()) return std::nullopt;
  return v->as_uint();
}

std::optional<std::string> ReadString(const json::Object& fields, std::string_view key) {
  const json::Value* v = Member(fields, key);
  if (v == nullptr || !v->is_string()) return std::nullopt;
  return v->as_string();
}

// The manifest's items: those read off the line, or the member as a value
// (a missing one, or one not an array, is the chunk's error).
ItemChunk ItemsOf(const json::Object& fields, std::optional<ItemChunk>& streamed) {
  if (streamed) return std::move(*streamed);
  return ChunkOf(Member(fields, "items"));
}

wire::Body DecodeBody(const json::Object& fields, const std::string& kind, std::optional<ItemChunk>& streamed) {
  if (kind == "hello") return wire::Hello{ReadInteger(fields, "protocol")};
  if (kind == "collected") {
    wire::Collected collected;
    collected.failed = IsTrue(fields, "failed");
    collected.has_items = streamed.has_value() || Member(fields, "items") != nullptr;
    collected.digest = ReadString(fields, "digest");
    collected.count = ReadUint(fields, "count");
    collected.items = ItemsOf(fields, streamed);
    return collected;
  }
  if (kind == "collected_items") return wire::CollectedItems{IsTrue(fields, "more"), ItemsOf(fields, streamed)};
  if (kind == "collection_report") return wire::CollectionReport{};
  if (kind == "phase") return wire::Phase{ReadString(fields, "phase")};
  if (kind == "report") return wire::Report{};
  if (kind == "finished") {
    wire::Finished finished;
    if (const json::Value* d = Member(fields, "duration"); d != nullptr && d->is_number()) {
      finished.duration = d->number();
    }
    if (const json::Value* f = Member(fields, "failed")) finished.failed = *f;
    return finished;
  }
  if (kind == "exited") return wire::Exited{ReadInteger(fields, "code")};
  if (kind == "internal_error") {
    const json::Value* text = Member(fields, "message");
    return wire::InternalError{text == nullptr ? std::string("null") : json::ToCompact(*text)};
  }
  return wire::Unknown{kind};
}

}  // namespace

std::string_view WorkerMessage::items_apart() const {
  if (!items_streamed) return {};
  if (const auto* collected = std::get_if<wire::Collected>(&body)) return collected->items.text();
  if (const auto* chunk = std::get_if<wire::CollectedItems>(&body)) return chunk->items.text();
  return {};
}

WorkerMessage DecodeWorkerMessage(json::Value value, std::optional<ItemChunk> streamed_items) {
  WorkerMessage message;
  message.raw = std::move(value);
  if (!message.raw.is_object()) {
    message.body = wire::Unknown{};
    return message;
  }
  json::Object& fields = message.raw.as_object();
  message.index = ReadUint(fields, "index");
  const std::optional<std::string> kind = ReadString(fields, "event");
  const bool manifest = kind == "collected" || kind == "collected_items";
  message.items_streamed = manifest && streamed_items.has_value();
  if (streamed_items && !manifest) {
    // Only manifests use their items; any other message is whole again.
    Result<json::Value> restored = json::Parse(streamed_items->text());
    assert(restored.ok() && "compact text reads back");
    if (restored.ok()) fields.insert_or_assign("items", std::move(restored).value());
    streamed_items.reset();
  }
  message.body = DecodeBody(fields, kind.value_or(std::string()), streamed_items);
  return message;
}

Result<WorkerMessage> DecodeWorkerLine(std::string_view line) {
  // A manifest's items go straight into their compact form.
  ItemChunkReader items;
  Result<json::StreamedParse> parsed = json::ParseStreamingMember(line, "items", items);
  if (!parsed.ok()) return std::move(parsed).TakeError();
  std::optional<ItemChunk> streamed;
  if (parsed.value().streamed) streamed = items.Take();
  return DecodeWorkerMessage(std::move(parsed.value().value), std::move(streamed));
}

}  // namespace aurvane
