#include <string>

#include <gtest/gtest.h>

#include "protocol/worker_message.h"

namespace aurvane {
namespace {

WorkerMessage Decode(const std::string& line) {
  Result<WorkerMessage> decoded = DecodeWorkerLine(line);
  EXPECT_TRUE(decoded.ok()) << line;
  return decoded.ok() ? std::move(decoded).value() : WorkerMessage{};
}

TEST(WorkerMessageTest, FieldsKeepWhatTheLineHeldAndWrongTypesReadAsAbsent) {
  WorkerMessage finished = Decode(R"({"event":"finished","index":4,"duration":0.5,"failed":"yes"})");
  ASSERT_TRUE(finished.is<wire::Finished>());
  EXPECT_EQ(finished.index, 4u);
  const auto& f = std::get<wire::Finished>(finished.body);
  EXPECT_EQ(f.duration, 0.5);
  // Logged as sent; only true counts as a failure.
  EXPECT_EQ(f.failed, json::Value("yes"));
  EXPECT_FALSE(f.failed_true());

  WorkerMessage odd = Decode(R"({"event":"finished","index":-1,"duration":"1"})");
  EXPECT_EQ(odd.index, std::nullopt);
  EXPECT_EQ(std::get<wire::Finished>(odd.body).duration, std::nullopt);
  EXPECT_EQ(std::get<wire::Finished>(odd.body).failed, std::nullopt);

  // Version and exit code: integers that fit 64 signed bits.
  EXPECT_EQ(std::get<wire::Hello>(Decode(R"({"event":"hello","protocol":1})").body).protocol, 1);
  EXPECT_EQ(std::get<wire::Hello>(Decode(R"({"event":"hello","protocol":1.0})").body).protocol, std::nullopt);
  EXPECT_EQ(std::get<wire::Exited>(Decode(R"({"event":"exited","code":18446744073709551615})").body).code,
            std::nullopt);
  EXPECT_EQ(std::get<wire::InternalError>(Decode(R"({"event":"internal_error"})").body).quoted, "null");
  EXPECT_EQ(std::get<wire::InternalError>(Decode(R"({"event":"internal_error","message":"a\"b"})").body).quoted,
            R"("a\"b")");
}

TEST(WorkerMessageTest, AnythingElseIsUnknownWithItsKindIfItNamesOne) {
  EXPECT_EQ(std::get<wire::Unknown>(Decode(R"({"event":"warning"})").body).kind, "warning");
  EXPECT_EQ(std::get<wire::Unknown>(Decode(R"({"event":7,"index":1})").body).kind, "");
  WorkerMessage array = Decode("[1]");
  EXPECT_EQ(std::get<wire::Unknown>(array.body).kind, "");
  EXPECT_EQ(array.index, std::nullopt);
  EXPECT_EQ(array.raw, json::Value(json::Array{1}));
}

TEST(WorkerMessageTest, OnlyAManifestKeepsItsItemsApart) {
  // Keys in byte order, as compact text writes them.
  const std::string items = R"([{"group":"t.py","index":0,"location":["t.py",1,"a"],"nodeid":"t.py::a"}])";
  WorkerMessage manifest = Decode(R"({"event":"collected","items":)" + items + "}");
  EXPECT_EQ(manifest.raw.Find("items"), nullptr);
  EXPECT_EQ(manifest.items_apart(), items);
  const auto& collected = std::get<wire::Collected>(manifest.body);
  EXPECT_TRUE(collected.has_items);
  ASSERT_EQ(collected.items.size(), 1u);
  EXPECT_EQ(collected.items[0].nodeid, "t.py::a");

  // Any other message is whole again, for its log record.
  WorkerMessage report = Decode(R"({"event":"report","index":0,"items":)" + items + "}");
  EXPECT_TRUE(report.items_apart().empty());
  ASSERT_NE(report.raw.Find("items"), nullptr);
  EXPECT_EQ(json::ToCompact(*report.raw.Find("items")), items);

  // Announced by digest: no items, and their absence is an error only if used.
  WorkerMessage digest = Decode(R"({"event":"collected","digest":"ab","count":3})");
  const auto& announced = std::get<wire::Collected>(digest.body);
  EXPECT_FALSE(announced.has_items);
  EXPECT_EQ(announced.digest, "ab");
  EXPECT_EQ(announced.count, 3u);
  EXPECT_TRUE(announced.items.error().has_value());

  EXPECT_TRUE(std::get<wire::CollectedItems>(Decode(R"({"event":"collected_items","more":true,"items":[]})").body)
                  .more);
}

TEST(WorkerMessageTest, OnlyPhaseAndReportMayWaitForTheSupervisor) {
  EXPECT_TRUE(Decode(R"({"event":"phase","index":0,"phase":"call"})").can_wait());
  EXPECT_TRUE(Decode(R"({"event":"report","index":0})").can_wait());
  EXPECT_FALSE(Decode(R"({"event":"finished","index":0,"duration":0})").can_wait());
  EXPECT_FALSE(Decode(R"({"event":"phased"})").can_wait());
  EXPECT_FALSE(DecodeWorkerLine("{").ok());
}

}  // namespace
}  // namespace aurvane
