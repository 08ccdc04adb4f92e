// Decoding of collected items and the acceptance of worker manifests.
#include <string>

#include <gtest/gtest.h>

#include "json/json.h"
#include "scheduler/item.h"
#include "scheduler/tables.h"

namespace aurvane {
namespace {

json::Value ParseJson(const std::string& text) {
  Result<json::Value> v = json::Parse(text);
  EXPECT_TRUE(v.ok()) << text << ": " << (v.ok() ? "" : v.message());
  return v.ok() ? std::move(v).value() : json::Value();
}

// The decoder's message for `text`, or "ok".
std::string ItemError(const std::string& text) {
  Result<Item> item = DecodeItem(ParseJson(text));
  return item.ok() ? "ok" : item.message();
}

Manifest MustDecode(const std::string& items_text) {
  Result<Manifest> m = DecodeManifest(ParseJson(items_text));
  EXPECT_TRUE(m.ok()) << items_text << ": " << (m.ok() ? "" : m.message());
  return m.ok() ? std::move(m).value() : Manifest();
}

TEST(ItemDecode, ObjectAndFourElementArrayGiveTheSameItem) {
  Result<Item> object = DecodeItem(ParseJson(
      R"({"group":"t.py","location":["t.py",3,"test_a"],"nodeid":"t.py::test_a","index":7,"extra":{}})"));
  Result<Item> array = DecodeItem(ParseJson(R"([7,"t.py::test_a",["t.py",3,"test_a"],"t.py"])"));
  ASSERT_TRUE(object.ok()) << object.message();
  ASSERT_TRUE(array.ok()) << array.message();
  EXPECT_EQ(object.value(), array.value());
  EXPECT_EQ(object.value().index, 7u);
  EXPECT_EQ(object.value().nodeid, "t.py::test_a");
  EXPECT_EQ(object.value().group, "t.py");
  EXPECT_EQ(json::ToCompact(object.value().location), R"(["t.py",3,"test_a"])");
}

TEST(ItemDecode, LocationIsKeptVerbatimWhateverItsKind) {
  for (const char* location : {"null", "1", "1.0", "-2", R"({"b":1,"a":[]})", R"("")", "true"}) {
    const std::string text =
        std::string(R"({"index":0,"nodeid":"n","group":"","location":)") + location + "}";
    Result<Item> item = DecodeItem(ParseJson(text));
    ASSERT_TRUE(item.ok()) << text << ": " << item.message();
    EXPECT_EQ(item.value().location, ParseJson(location)) << text;
  }
}

TEST(ItemDecode, MovingDecodeMatchesCopyingDecode) {
  const std::string text =
      R"([{"index":0,"nodeid":"a","location":{"k":["x",1]},"group":"g"},[1,"b",null,"g"]])";
  json::Value parsed = ParseJson(text);
  Result<Manifest> copied = DecodeManifest(&parsed);
  Result<Manifest> moved = DecodeManifest(std::move(parsed));
  ASSERT_TRUE(copied.ok()) << copied.message();
  ASSERT_TRUE(moved.ok()) << moved.message();
  EXPECT_EQ(copied.value(), moved.value());
  EXPECT_EQ(moved.value().size(), 2u);
}

TEST(ItemDecode, RejectsBadFieldsWithDecoderMessages) {
  EXPECT_EQ(ItemError(R"({"index":0,"nodeid":"n","location":null})"), "missing field `group`");
  EXPECT_EQ(ItemError(R"({"nodeid":"n","location":null,"group":""})"), "missing field `index`");
  // A null location is present, but an absent one is missing.
  EXPECT_EQ(ItemError(R"({"index":0,"nodeid":"n","group":""})"), "missing field `location`");
  EXPECT_EQ(ItemError(R"({"Index":0,"index":0,"nodeid":"n","location":null,"group":null})"),
            "invalid type: null, expected a string");
  EXPECT_EQ(ItemError(R"({"index":1.0,"nodeid":"n","location":null,"group":""})"),
            "invalid type: floating point `1.0`, expected an unsigned 64-bit integer");
  EXPECT_EQ(ItemError(R"({"index":1e0,"nodeid":"n","location":null,"group":""})"),
            "invalid type: floating point `1.0`, expected an unsigned 64-bit integer");
  EXPECT_EQ(ItemError(R"({"index":-1,"nodeid":"n","location":null,"group":""})"),
            "invalid value: integer `-1`, expected an unsigned 64-bit integer");
  EXPECT_EQ(ItemError(R"({"index":"0","nodeid":"n","location":null,"group":""})"),
            "invalid type: string \"0\", expected an unsigned 64-bit integer");
  EXPECT_EQ(ItemError(R"({"index":0,"nodeid":5,"location":null,"group":""})"),
            "invalid type: integer `5`, expected a string");
  // The largest u64 fits; one more is read as a float.
  EXPECT_EQ(ItemError(R"([18446744073709551615,"n",null,""])"), "ok");
  EXPECT_EQ(ItemError(R"([18446744073709551616,"n",null,""])").rfind("invalid type: floating", 0),
            0u);
}

TEST(ItemDecode, RejectsWrongShapes) {
  EXPECT_EQ(ItemError(R"([0,"n",null])"), "invalid length 3, expected struct Item with 4 elements");
  EXPECT_EQ(ItemError("[]"), "invalid length 0, expected struct Item with 4 elements");
  EXPECT_EQ(ItemError(R"([0,"n",null,"",1])"), "invalid length 5, expected fewer elements in array");
  EXPECT_EQ(ItemError(R"("x")"), "invalid type: string \"x\", expected struct Item");
  EXPECT_EQ(ItemError("null"), "invalid type: null, expected struct Item");
  EXPECT_EQ(ItemError(R"([0,null,null,""])"), "invalid type: null, expected a string");
}

TEST(ManifestDecode, ItemsMustBeAnArray) {
  Result<Manifest> missing = DecodeManifest(nullptr);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.message(), "invalid type: null, expected a sequence of items");
  json::Value object = ParseJson("{}");
  Result<Manifest> not_array = DecodeManifest(&object);
  ASSERT_FALSE(not_array.ok());
  EXPECT_EQ(not_array.message(), "invalid type: map, expected a sequence of items");
  // One bad element fails the whole manifest with that element's message.
  Result<Manifest> bad = DecodeManifest(ParseJson(R"([[0,"a",null,""],[1,"b",null]])"));
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.message(), "invalid length 3, expected struct Item with 4 elements");
  EXPECT_TRUE(MustDecode("[]").empty());
}

TEST(ItemEquality, LocationComparesKindsAndIgnoresMemberOrder) {
  const Manifest a = MustDecode(R"([[0,"n",{"line":1,"file":"t.py"},"g"]])");
  const Manifest b = MustDecode(R"([[0,"n",{"file":"t.py","line":1},"g"]])");
  const Manifest c = MustDecode(R"([[0,"n",{"file":"t.py","line":1.0},"g"]])");
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_NE(MustDecode(R"([[0,"n",1,"g"]])"), MustDecode(R"([[0,"n",1.0,"g"]])"));
  EXPECT_NE(MustDecode(R"([[0,"n",null,"g"]])"), MustDecode(R"([[0,"n",null,"G"]])"));
}

class AcceptManifestTest : public ::testing::Test {
 protected:
  Status Accept(size_t worker, const std::string& items) {
    return AcceptManifest(tables_, worker, MustDecode(items), "load", history_);
  }
  RunTables tables_;
  DurationHistory history_;
};

TEST_F(AcceptManifestTest, FirstManifestCreatesTablesAndLaterOnesMustEqualIt) {
  const std::string items = R"([[0,"a",null,"f"],[1,"b",[1,2],"f"],[2,"c",null,"g"]])";
  ASSERT_TRUE(Accept(0, items).ok());
  ASSERT_TRUE(tables_.reference.has_value());
  EXPECT_EQ(tables_.reference->size(), 3u);
  EXPECT_EQ(tables_.states, std::vector<TestState>(3, TestState::kPending));
  EXPECT_EQ(tables_.attempts, std::vector<uint32_t>(3, 0));
  EXPECT_EQ(tables_.schedule.groups_waiting(), 3u);

  EXPECT_TRUE(Accept(1, items).ok());
  // The same tests listed in another order carry other indices: a mismatch.
  Status reordered = Accept(2, R"([[0,"b",[1,2],"f"],[1,"a",null,"f"],[2,"c",null,"g"]])");
  ASSERT_FALSE(reordered.ok());
  EXPECT_EQ(reordered.message(), "Collection mismatch in av2; worker manifests differ");
  // A replacement worker whose collection lost a test names itself.
  Status shorter = Accept(12, R"([[0,"a",null,"f"],[1,"b",[1,2],"f"]])");
  ASSERT_FALSE(shorter.ok());
  EXPECT_EQ(shorter.message(), "Collection mismatch in av12; worker manifests differ");
  // Failures leave the reference and tables as they were.
  EXPECT_EQ(tables_.reference->size(), 3u);
  EXPECT_EQ(tables_.schedule.groups_waiting(), 3u);
}

TEST_F(AcceptManifestTest, IndexRuleComesBeforeEverythingElse) {
  Status permuted = Accept(0, R"([[1,"a",null,""],[0,"b",null,""]])");
  ASSERT_FALSE(permuted.ok());
  EXPECT_EQ(permuted.message(), "Invalid collection indices");
  Status from_one = Accept(0, R"([[1,"a",null,""]])");
  ASSERT_FALSE(from_one.ok());
  EXPECT_EQ(from_one.message(), "Invalid collection indices");
  // Duplicates with bad indices report the index rule.
  Status both = Accept(0, R"([[0,"a",null,""],[2,"a",null,""]])");
  ASSERT_FALSE(both.ok());
  EXPECT_EQ(both.message(), "Invalid collection indices");
  EXPECT_FALSE(tables_.reference.has_value());

  ASSERT_TRUE(Accept(0, R"([[0,"a",null,""]])").ok());
  // Against a reference, bad indices are still reported as such, not as a
  // mismatch.
  Status later = Accept(1, R"([[1,"a",null,""]])");
  ASSERT_FALSE(later.ok());
  EXPECT_EQ(later.message(), "Invalid collection indices");
}

TEST_F(AcceptManifestTest, DuplicateNodeIdsAreRejected) {
  Status dup = Accept(0, R"([[0,"a",null,"x"],[1,"b",null,"x"],[2,"a",1,"y"]])");
  ASSERT_FALSE(dup.ok());
  EXPECT_EQ(dup.message(), "Duplicate node IDs are unsupported in this prototype");
  EXPECT_FALSE(tables_.reference.has_value());
  EXPECT_TRUE(tables_.states.empty());
  // Node identifiers are compared byte by byte: case differs, so no clash.
  EXPECT_TRUE(Accept(0, R"([[0,"a",null,""],[1,"A",null,""]])").ok());
}

TEST(CheckUniqueNodeIds, FindsADuplicateAmongManyWhereverItIs) {
  // Enough items to fill and wrap the probe table, with ids sharing long
  // prefixes as real node ids do.
  Manifest manifest;
  for (uint64_t i = 0; i < 5000; ++i) {
    manifest.push_back(Item{i, "tests/test_mod.py::test_" + std::to_string(i), nullptr, ""});
  }
  EXPECT_TRUE(CheckUniqueNodeIds(manifest).ok());
  for (size_t first : {size_t{0}, size_t{17}, size_t{4998}}) {
    Manifest with_dup = manifest;
    with_dup.push_back(Item{5000, with_dup[first].nodeid, nullptr, ""});
    EXPECT_FALSE(CheckUniqueNodeIds(with_dup).ok()) << "duplicate of item " << first;
  }
  manifest.push_back(Item{5000, "", nullptr, ""});
  manifest.push_back(Item{5001, "tests/test_mod.py::test_", nullptr, ""});
  EXPECT_TRUE(CheckUniqueNodeIds(manifest).ok());
  manifest.push_back(Item{5002, "", nullptr, ""});
  EXPECT_FALSE(CheckUniqueNodeIds(manifest).ok()) << "two empty ids";
}

TEST_F(AcceptManifestTest, EmptyManifestIsAcceptedWithEmptyTables) {
  ASSERT_TRUE(Accept(0, "[]").ok());
  ASSERT_TRUE(tables_.reference.has_value());
  EXPECT_EQ(tables_.test_count(), 0u);
  EXPECT_TRUE(tables_.schedule.empty());
  EXPECT_TRUE(Accept(1, "[]").ok());
  Status more = Accept(2, R"([[0,"a",null,""]])");
  ASSERT_FALSE(more.ok());
  EXPECT_EQ(more.message(), "Collection mismatch in av2; worker manifests differ");
}

}  // namespace
}  // namespace aurvane
