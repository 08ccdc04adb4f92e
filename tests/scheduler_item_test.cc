// Decoding of collected items and the acceptance of worker manifests.
#include <string>

#include <gtest/gtest.h>

#include "json/json.h"
#include "protocol/item.h"
#include "protocol/item_chunk.h"
#include "scheduler/manifest_table.h"
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
TEST(ManifestTable, GivesBackEveryItemAsAppendedAndComparesLikeItems) {
  // The shapes the table stores apart: a pytest triple whose name is the
  // node id's rest (dotted), one whose name is not, a null line, an id
  // that does not start with its file, and locations kept as JSON text.
  const Manifest manifest = MustDecode(R"([
      [0,"pkg/t.py::TestC::test_a[1-x]",["pkg/t.py",12,"TestC.test_a[1-x]"],"pkg/t.py"],
      [1,"pkg/t.py::test_b",["pkg/t.py",null,"other"],"pkg/t.py"],
      [2,"elsewhere::test_c",["pkg/t.py",3,"test_c"],"grp"],
      [3,"pkg/t.py::",["pkg/t.py",0,""],""],
      [4,"n",{"b":[1.5,-2],"a":null},"g"],
      [5,"m",["pkg/t.py",-1,"x"],"g"],
      [6,"o",-0.0,"g"],
      [7,"pkg/t.py::test_own",["pkg/t.py",7,"test_own"],"pkg/t.py::test_own"]])");
  ManifestTable table(manifest);
  ASSERT_EQ(table.size(), manifest.size());
  for (size_t i = 0; i < manifest.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(table[i], manifest[i]);
    EXPECT_EQ(table.NodeId(i), manifest[i].nodeid);
    EXPECT_TRUE(table.Matches(i, manifest[i]));
  }
  // Every field takes part in the comparison, and so does the index.
  const Item& first = manifest[0];
  EXPECT_FALSE(table.Matches(1, first));
  EXPECT_FALSE(table.Matches(0, Item{0, "pkg/t.py::TestC::test_a[1-y]", first.location, first.group}));
  EXPECT_FALSE(table.Matches(0, Item{0, "pkg/u.py::TestC::test_a[1-x]", first.location, first.group}));
  EXPECT_FALSE(table.Matches(0, Item{0, first.nodeid, ParseJson(R"(["pkg/t.py",12,"TestC::test_a[1-x]"])"),
                                     first.group}));
  EXPECT_FALSE(table.Matches(0, Item{0, first.nodeid, ParseJson(R"(["pkg/t.py",12.0,"TestC.test_a[1-x]"])"),
                                     first.group}));
  EXPECT_FALSE(table.Matches(0, Item{0, first.nodeid, first.location, "x"}));
  EXPECT_FALSE(table.Matches(1, Item{1, manifest[1].nodeid, ParseJson(R"(["pkg/t.py",0,"other"])"), "pkg/t.py"}));
  // Members in another order are the same location; 0.0 equals -0.0.
  EXPECT_TRUE(table.Matches(4, Item{4, "n", ParseJson(R"({"a":null,"b":[1.5,-2]})"), "g"}));
  EXPECT_FALSE(table.Matches(4, Item{4, "n", ParseJson(R"({"a":null,"b":[1.5,-2.0]})"), "g"}));
  EXPECT_TRUE(table.Matches(6, Item{6, "o", ParseJson("0.0"), "g"}));
  EXPECT_FALSE(table.Matches(6, Item{6, "o", ParseJson("0"), "g"}));
  // A group that is the item's own node id is compared as such.
  EXPECT_FALSE(table.Matches(7, Item{7, manifest[7].nodeid, manifest[7].location, "pkg/t.py"}));
  EXPECT_FALSE(table.Matches(1, Item{1, manifest[1].nodeid, manifest[1].location, manifest[1].nodeid}));
  EXPECT_FALSE(table.Matches(8, Item{8, "p", nullptr, "g"}));
  EXPECT_FALSE(HasDuplicateNodeIds(table));
  table.Append(Item{8, "pkg/t.py::test_b", nullptr, ""});
  EXPECT_TRUE(HasDuplicateNodeIds(table));
}

// The items of a manifest reported by count and digest, asked for in chunks.
class ItemTransferTest : public AcceptManifestTest {
 protected:
  AgreementStep Claim(size_t worker, uint64_t count, const std::string& digest) {
    return ClaimManifest(tables_, DigestClaim{worker, count, digest});
  }
  Result<AgreementStep> Items(size_t worker, const std::string& items, bool more) {
    const json::Value value = ParseJson(items);
    return ReceiveItems(tables_, worker, ChunkOf(&value), more, "load", history_);
  }
  static std::vector<size_t> Accepted(const AgreementStep& step) { return step.accepted; }
};

TEST_F(ItemTransferTest, FirstWorkerSendsItemsAndEqualDigestsAreAcceptedWithoutThem) {
  AgreementStep first = Claim(0, 3, "d");
  ASSERT_EQ(first.ask_worker, std::optional<size_t>(0));
  EXPECT_EQ(first.items_from, 0u);
  // Claims that come while av0's items arrive wait for the reference.
  EXPECT_FALSE(Claim(1, 3, "d").ask_worker.has_value());
  EXPECT_FALSE(Claim(2, 3, "e").ask_worker.has_value());
  EXPECT_EQ(Items(1, R"([])", false).message(), "Unexpected collected items from av1");

  Result<AgreementStep> part = Items(0, R"([[0,"a",null,"f"],[1,"b",null,"f"]])", true);
  ASSERT_TRUE(part.ok()) << part.message();
  EXPECT_EQ(part.value().ask_worker, std::optional<size_t>(0));
  EXPECT_EQ(part.value().items_from, 2u);
  EXPECT_FALSE(tables_.reference.has_value());
  Result<AgreementStep> last = Items(0, R"([{"index":2,"nodeid":"c","location":null,"group":"g"}])", false);
  ASSERT_TRUE(last.ok()) << last.message();
  ASSERT_TRUE(tables_.reference.has_value());
  EXPECT_EQ(tables_.test_count(), 3u);
  // av1's digest settles it; av2's differs, so its items are compared.
  EXPECT_EQ(Accepted(last.value()), (std::vector<size_t>{0, 1}));
  EXPECT_EQ(last.value().ask_worker, std::optional<size_t>(2));
  Result<AgreementStep> compared = Items(2, R"([[0,"a",null,"f"],[1,"b",null,"f"],[2,"c",null,"g"]])", false);
  ASSERT_TRUE(compared.ok()) << compared.message();
  EXPECT_EQ(Accepted(compared.value()), (std::vector<size_t>{2}));
  // A replacement with the reference's digest needs no items.
  EXPECT_EQ(Accepted(Claim(5, 3, "d")), (std::vector<size_t>{5}));
  EXPECT_EQ(Claim(6, 4, "d").ask_worker, std::optional<size_t>(6));
}

TEST_F(ItemTransferTest, ChunkedManifestsGetTheJudgementOfWholeOnes) {
  struct Case {
    const char* reference;  // items of av0, in one chunk ("" for none)
    std::vector<const char*> chunks;  // av1's
    std::string message;
  };
  const Case cases[] = {
      // An index error in a later chunk outranks a difference in an earlier one.
      {R"([[0,"a",null,""],[1,"b",null,""]])", {R"([[0,"x",null,""]])", R"([[5,"b",null,""]])"},
       "Invalid collection indices"},
      {R"([[0,"a",null,""],[1,"b",null,""]])", {R"([[0,"a",null,""]])", R"([[1,"B",null,""]])"},
       "Collection mismatch in av1; worker manifests differ"},
      {R"([[0,"a",null,""]])", {R"([[0,"a",null,""]])", R"([[1,"b",null,""]])"},
       "Worker av1 reported 1 collected items and sent 2"},
      {R"([[0,"a",null,""],[1,"b",null,""]])", {R"([[0,"a",null,""]])"},
       "Worker av1 reported 2 collected items and sent 1"},
      {"", {R"([[0,"a",null,""]])", R"([[1,"a",null,""]])"}, "Duplicate node IDs are unsupported in this prototype"},
      {"", {R"([[0,"a",null,""]])", R"([{"index":1,"nodeid":"b","location":null}])"}, "missing field `group`"},
      {"", {R"({"items":[]})"}, "invalid type: map, expected a sequence of items"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    tables_ = RunTables();
    uint64_t count = 0;
    for (const char* chunk : c.chunks) count += ParseJson(chunk).is_array() ? ParseJson(chunk).as_array().size() : 0;
    if (*c.reference != '\0') {
      const uint64_t size = ParseJson(c.reference).as_array().size();
      ASSERT_TRUE(Claim(0, size, "ref").ask_worker.has_value());
      ASSERT_TRUE(Items(0, c.reference, false).ok());
      if (c.message.starts_with("Worker av1 reported 2")) count = size;
      if (c.message.starts_with("Worker av1 reported 1")) count = 1;
    }
    ASSERT_EQ(Claim(1, count, "other").ask_worker, std::optional<size_t>(1));
    Status result;
    for (size_t i = 0; i < c.chunks.size() && result.ok(); ++i) {
      Result<AgreementStep> step = Items(1, c.chunks[i], i + 1 < c.chunks.size());
      if (!step.ok()) result = std::move(step).TakeError();
    }
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.message(), c.message);
  }
}

TEST_F(ItemTransferTest, AWorkerSendingPastItsCountIsStoppedAtTheChunkThatPassesIt) {
  // Nothing to compare against yet, so each item would be kept: the run ends
  // as soon as the worker has sent more than it reported, "more" or not.
  ASSERT_TRUE(Claim(0, 2, "d").ask_worker.has_value());
  ASSERT_TRUE(Items(0, R"([[0,"a",null,""]])", true).ok());
  EXPECT_EQ(Items(0, R"([[1,"b",null,""],[2,"c",null,""]])", true).message(),
            "Worker av0 reported 2 collected items and sent 3");
}

// Items read off the line into a chunk get the judgement DecodeItem gives
// them, come back equal, match a table built from the decoded items, and
// keep the array's compact text for the log.
TEST(ItemChunk, ReadsItemsAsTheDecoderJudgesThem) {
  const std::string arrays[] = {
      std::string(R"([[0,"pkg/t.py::TestC::t[1]",["pkg/t.py",12,"TestC.t[1]"],"pkg/t.py"],[1,"n",null,"g"],)") +
          R"([2,"o",["f",null,"x"],"g"],[3,"p",{"b":[1.5,-2],"a":null},"g"],[4,"q",["f",-1,"x"],"g"],)" +
          R"([5,"r",["f",1,"x",4],"g"],[6,"s\"\u00e9",[-0.0],""]])",
      R"([{"group":"g","location":[1],"nodeid":"n","index":0,"extra":{}},[1,"b",null,"g"]])",
      std::string(R"([{"location":["f",2,"x"],"group":"g","index":0,"nodeid":"f::x"},)") +
          R"({"index":1,"nodeid":"n","location":null,"group":"g","index":1},{"index":2,"nodeid":"o","group":"g"}])",
      R"([])",
      R"([[0,"a",null,"g"],[1,"a",null]])",
      R"([[0,"a",null,"g",5]])",
      R"([[0,"a",null,"g"],[-1,"a",null,"g"]])",
      R"([[0,5,null,"g"]])",
      R"([[0,"a",null,"g"],7,[2,"b",null,"g"]])",
      R"([[1.0,"a",null,"g"]])",
      R"([{"index":0,"nodeid":"a","location":null}])",
      R"([["x","a",null,"g"]])",
  };
  for (const std::string& text : arrays) {
    SCOPED_TRACE(text);
    const json::Value items = ParseJson(text);
    const ItemChunk chunk = ChunkOf(&items);
    EXPECT_EQ(chunk.text(), json::ToCompact(items));
    Result<Manifest> whole = DecodeManifest(&items);
    Manifest good;
    for (const json::Value& element : items.as_array()) {
      Result<Item> item = DecodeItem(element);
      if (!item.ok()) break;
      good.push_back(std::move(item).value());
    }
    if (whole.ok()) {
      EXPECT_FALSE(chunk.error().has_value()) << *chunk.error();
    } else {
      ASSERT_TRUE(chunk.error().has_value());
      EXPECT_EQ(*chunk.error(), whole.message());
    }
    ASSERT_EQ(chunk.size(), good.size());
    ManifestTable table;
    for (size_t i = 0; i < good.size(); ++i) {
      EXPECT_EQ(chunk.ItemAt(i), good[i]) << i;
      good[i].index = i;
      table.Append(good[i]);
      EXPECT_EQ(table.Matches(i, chunk[i]), chunk[i].index == i) << i;
    }
    ManifestTable from_chunk;
    for (size_t i = 0; i < chunk.size(); ++i) from_chunk.Append(chunk[i]);
    EXPECT_TRUE(from_chunk == table);
  }
  const ItemChunk missing = ChunkOf(nullptr);
  EXPECT_EQ(missing.error(), std::optional<std::string>("invalid type: null, expected a sequence of items"));
}

}  // namespace aurvane
