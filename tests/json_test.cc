#include <gtest/gtest.h>
#include <rapidjson/encodings.h>
#include <rapidjson/stream.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "json/json.h"
#include "json/reader.h"

namespace aurvane::json {
namespace {

Value MustParse(std::string_view text) {
  Result<Value> v = Parse(text);
  EXPECT_TRUE(v.ok()) << text << ": " << (v.ok() ? "" : v.message());
  return v.ok() ? std::move(v).value() : Value();
}

std::string ParseError(std::string_view text) {
  Result<Value> v = Parse(text);
  EXPECT_FALSE(v.ok()) << text;
  return v.ok() ? "" : v.message();
}

TEST(JsonParse, NumbersKeepTheirKind) {
  EXPECT_EQ(MustParse("1").kind(), Kind::kUint);
  EXPECT_EQ(MustParse("18446744073709551615").as_uint(), UINT64_MAX);
  EXPECT_EQ(MustParse("-1").kind(), Kind::kInt);
  EXPECT_EQ(MustParse("-9223372036854775808").as_int(), INT64_MIN);
  EXPECT_EQ(MustParse("1.0").kind(), Kind::kDouble);
  EXPECT_EQ(MustParse("1e2").kind(), Kind::kDouble);
  // Too large for any integer kind: a double.
  EXPECT_EQ(MustParse("18446744073709551616").kind(), Kind::kDouble);
  EXPECT_EQ(MustParse("-9223372036854775809").kind(), Kind::kDouble);
  // "-0" is a negative zero, not an integer.
  Value negative_zero = MustParse("-0");
  ASSERT_TRUE(negative_zero.is_double());
  EXPECT_TRUE(std::signbit(negative_zero.as_double()));
  // Full precision: 17-digit doubles read back exactly.
  EXPECT_EQ(MustParse("0.30000000000000004").as_double(), 0.1 + 0.2);
}

TEST(JsonParse, RejectsWhatIsNotExactlyOneValue) {
  EXPECT_EQ(ParseError(""), "EOF while parsing a value at line 1 column 0");
  EXPECT_EQ(ParseError("  \n "), "EOF while parsing a value at line 2 column 1");
  EXPECT_EQ(ParseError("{} {}"), "trailing characters at line 1 column 4");
  EXPECT_EQ(ParseError("1 2\n"), "trailing characters at line 1 column 3");
  EXPECT_NE(ParseError("\xEF\xBB\xBF{}").find(" at line 1 column 1"), std::string::npos);
  EXPECT_NE(ParseError("1e400").find("number out of range"), std::string::npos);
  EXPECT_NE(ParseError("\"\xff\"").find(" at line 1"), std::string::npos);
  // A NUL byte after the value is not an end of input.
  EXPECT_FALSE(Parse(std::string_view("{}\0", 3)).ok());
  EXPECT_NE(ParseError("{\"a\":\n  tru}").find(" at line 2 column"), std::string::npos);
  // Whitespace around the value is fine, including CRLF.
  EXPECT_TRUE(Parse(" \t{\"a\":[]}\r\n").ok());
}

TEST(JsonParse, DepthLimitIs127Levels) {
  std::string ok = std::string(127, '[') + std::string(127, ']');
  EXPECT_TRUE(Parse(ok).ok());
  std::string deep = std::string(128, '[') + std::string(128, ']');
  EXPECT_EQ(ParseError(deep), "recursion limit exceeded at line 1 column 128");
  // Deep input far beyond the limit stops early instead of recursing.
  std::string huge(200000, '[');
  EXPECT_NE(ParseError(huge).find("recursion limit exceeded"), std::string::npos);
}

TEST(JsonParse, ObjectsKeepLastOfRepeatedKeys) {
  Value v = MustParse(R"({"b":1,"a":2,"b":3})");
  ASSERT_TRUE(v.is_object());
  EXPECT_EQ(v.as_object().size(), 2u);
  EXPECT_EQ(v.Find("b")->as_uint(), 3u);
  EXPECT_EQ(ToCompact(v), R"({"a":2,"b":3})");
}

TEST(JsonParse, StringsMayHoldEscapedNul) {
  Value v = MustParse(R"("a\u0000b")");
  EXPECT_EQ(v.as_string(), std::string("a\0b", 3));
}

TEST(JsonEquality, ComparesKinds) {
  EXPECT_NE(MustParse("1"), MustParse("1.0"));
  EXPECT_NE(MustParse("-1"), MustParse("-1.0"));
  EXPECT_EQ(MustParse("1.0"), MustParse("1e0"));
  EXPECT_EQ(MustParse(R"({"a":1,"b":[null,true]})"), MustParse(R"({"b":[null,true],"a":1})"));
  EXPECT_NE(MustParse("[1,2]"), MustParse("[2,1]"));
  EXPECT_NE(MustParse("null"), MustParse("false"));
  EXPECT_EQ(Value(0.0), Value(-0.0));  // IEEE equality
}

TEST(JsonWrite, CompactGolden) {
  Object o;
  o["zeta"] = Value(Array{Value(1), Value(-2), Value(2.0), Value(0.1), Value(nullptr), Value(true)});
  o["alpha"] = Value("a/\"b\"\\\n\t\x01\x7f\xc3\xa9");
  o["empty"] = Value(Object());
  o["Zed"] = Value(Array());
  EXPECT_EQ(ToCompact(Value(o)),
            R"({"Zed":[],"alpha":"a/\"b\"\\\n\t\u0001)" "\x7f\xc3\xa9" R"(","empty":{},"zeta":[1,-2,2.0,0.1,null,true]})");
}

TEST(JsonWrite, KeysInUnsignedByteOrder) {
  Object o;
  o["\xc3\xa9"] = Value(1);
  o["z"] = Value(2);
  o["A"] = Value(3);
  EXPECT_EQ(ToCompact(Value(o)), "{\"A\":3,\"z\":2,\"\xc3\xa9\":1}");
}

TEST(JsonWrite, DoublesShortestWithFraction) {
  auto text = [](double d) {
    std::string s;
    AppendDouble(s, d);
    return s;
  };
  EXPECT_EQ(text(2.0), "2.0");
  EXPECT_EQ(text(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(text(-0.0), "-0.0");
  EXPECT_EQ(text(1e300), "1e+300");
  EXPECT_EQ(text(4.182733), "4.182733");
  EXPECT_EQ(text(5e-324), "5e-324");
  for (double d : {0.1, 1.0 / 3, 123456789.125, 1e-7, 2.5e15, 1.7976931348623157e308}) {
    EXPECT_EQ(MustParse(text(d)).as_double(), d) << text(d);
  }
}

TEST(JsonWrite, PrettyGolden) {
  Value v = MustParse(R"({"tests":[{"b":1,"a":"x"}],"empty":[],"o":{},"n":2.0})");
  EXPECT_EQ(ToPretty(v),
            "{\n"
            "  \"empty\": [],\n"
            "  \"n\": 2.0,\n"
            "  \"o\": {},\n"
            "  \"tests\": [\n"
            "    {\n"
            "      \"a\": \"x\",\n"
            "      \"b\": 1\n"
            "    }\n"
            "  ]\n"
            "}");
}

TEST(JsonDescribe, NamesWhatWasFound) {
  EXPECT_EQ(DescribeUnexpected(MustParse("null")), "null");
  EXPECT_EQ(DescribeUnexpected(MustParse("true")), "boolean `true`");
  EXPECT_EQ(DescribeUnexpected(MustParse("-1")), "integer `-1`");
  EXPECT_EQ(DescribeUnexpected(MustParse("4.0")), "floating point `4.0`");
  EXPECT_EQ(DescribeUnexpected(MustParse("\"x\"")), "string \"x\"");
  EXPECT_EQ(DescribeUnexpected(MustParse("[]")), "sequence");
  EXPECT_EQ(DescribeUnexpected(MustParse("{}")), "map");
}

constexpr std::array<std::string_view, 3> kFields = {"a", "b", "c"};

Status Read(std::string_view text, std::string* seen = nullptr) {
  return ReadRecord(text, "Rec", kFields, [&](size_t i, Value&& v) -> Status {
    if (seen) *seen += std::string(kFields[i]) + "=" + ToCompact(v) + ";";
    if (v.is_string() && v.as_string() == "bad") return Error{"invalid value: bad"};
    return Status::Ok();
  });
}

std::string ReadError(std::string_view text) {
  Status s = Read(text);
  EXPECT_FALSE(s.ok()) << text;
  return s.ok() ? "" : s.message();
}

TEST(JsonRecord, ObjectAndArrayForms) {
  std::string seen;
  EXPECT_TRUE(Read(R"({"c":3,"x":{"deep":[1,{"a":2}]},"a":1,"b":[2]})", &seen).ok());
  EXPECT_EQ(seen, "c=3;a=1;b=[2];");
  seen.clear();
  EXPECT_TRUE(Read(R"([1,[2],3])", &seen).ok());
  EXPECT_EQ(seen, "a=1;b=[2];c=3;");
}

TEST(JsonRecord, ErrorsWithPositions) {
  EXPECT_EQ(ReadError("{\"a\":1,\"b\":2,\n\"a\":3,\"c\":4}"), "duplicate field `a` at line 2 column 3");
  // Equal values are still a duplicate.
  EXPECT_EQ(ReadError(R"({"a":1,"a":1})"), "duplicate field `a` at line 1 column 10");
  EXPECT_EQ(ReadError("{\n\"a\":1,\n\"c\":3\n}"), "missing field `b` at line 4 column 1");
  EXPECT_EQ(ReadError(R"([1,2])"), "invalid length 2, expected struct Rec with 3 elements at line 1 column 5");
  EXPECT_EQ(ReadError(R"([1,2,3,4])"), "trailing characters at line 1 column 8");
  EXPECT_EQ(ReadError(R"("s")"), "invalid type: string \"s\", expected struct Rec at line 1 column 3");
  EXPECT_EQ(ReadError(R"({"a":"bad","b":1,"c":1})"), "invalid value: bad at line 1 column 10");
  EXPECT_EQ(ReadError(R"({"a":1,"b":2,"c":3} x)"), "trailing characters at line 1 column 21");
  EXPECT_EQ(ReadError(R"({"a":1,"b":2,"c":3)"), "EOF while parsing a value at line 1 column 18");
}

TEST(JsonRecord, IgnoredValuesObeyTheDepthLimit) {
  std::string ok = R"({"a":1,"b":2,"c":3,"x":)" + std::string(126, '[') + std::string(126, ']') + "}";
  EXPECT_TRUE(Read(ok).ok());
  std::string deep = R"({"a":1,"b":2,"c":3,"x":)" + std::string(127, '[') + std::string(127, ']') + "}";
  EXPECT_NE(ReadError(deep).find("recursion limit exceeded"), std::string::npos);
}

}  // namespace
}  // namespace aurvane::json

namespace aurvane::json {
namespace {

TEST(JsonParse, NumbersConvertExactlyAndSafely) {
  // A long run of zeros after the decimal point once read out of bounds.
  std::string zeros = "[0." + std::string(300, '0') + "1e5]";
  EXPECT_EQ(MustParse(zeros).as_array()[0].as_double(), 1e-296);
  EXPECT_EQ(MustParse("[0." + std::string(400, '0') + "1e5]").as_array()[0].as_double(), 0.0);
  EXPECT_EQ(MustParse("0." + std::string(5000, '0')).as_double(), 0.0);
  EXPECT_EQ(MustParse("1e-400").as_double(), 0.0);
  EXPECT_EQ(MustParse("4.9406564584124654e-324").as_double(), 5e-324);
  EXPECT_EQ(MustParse("1.7976931348623157e308").as_double(), 1.7976931348623157e308);
  EXPECT_EQ(ParseError("[1.8e308]"), "number out of range at line 1 column 8");
  EXPECT_EQ(MustParse("123456789012345678901234567890").as_double(), 1.2345678901234568e29);
  EXPECT_EQ(MustParse("-1E+2").as_double(), -100.0);
  EXPECT_TRUE(std::signbit(MustParse("-0.0").as_double()));
  EXPECT_EQ(MustParse("9007199254740993.0").as_double(), 9007199254740992.0);
}

}  // namespace
}  // namespace aurvane::json

namespace aurvane::json {
namespace {

TEST(JsonParse, StringsStayValidUtf8) {
  // A surrogate pair is one code point; a lone surrogate is no character.
  EXPECT_EQ(MustParse(R"("\ud83d\ude00")").as_string(), "\xF0\x9F\x98\x80");
  EXPECT_EQ(MustParse(R"("\ud7ff\ue000")").as_string(), "\xED\x9F\xBF\xEE\x80\x80");
  EXPECT_EQ(ParseError(R"(["\uDDDD"])"), "lone surrogate in string escape at line 1 column 9");
  EXPECT_EQ(ParseError(R"({"\udc00":1})"), "lone surrogate in string escape at line 1 column 9");
  EXPECT_NE(ParseError(R"("\ud800x")").find(" at line 1"), std::string::npos);
  EXPECT_NE(ParseError("\"\xED\xA0\x80\"").find(" at line 1"), std::string::npos);
}

// rapidjson's own check, which the parser skips for text IsUtf8 accepts.
bool RapidjsonAcceptsUtf8(const std::string& bytes) {
  rapidjson::StringStream in(bytes.c_str());
  struct Sink {
    void Put(char) {}
  } sink;
  while (static_cast<size_t>(in.Tell()) < bytes.size()) {
    if (!rapidjson::UTF8<char>::Validate(in, sink)) return false;
  }
  return true;
}

TEST(JsonParse, Utf8CheckAgreesWithRapidjsonOnEverySequenceShape) {
  // Every one- and two-byte sequence, every three-byte one with a
  // multi-byte lead, and four-byte ones over every lead and second byte;
  // each alone and after eight bytes of ASCII (the fast path's stride).
  std::vector<std::string> cases;
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const std::string two{static_cast<char>(a), static_cast<char>(b)};
      cases.push_back(two);
      if (a < 0xE0) continue;
      for (int c : {0x00, 0x41, 0x7F, 0x80, 0x9F, 0xA0, 0xBF, 0xC0, 0xFF}) {
        cases.push_back(two + static_cast<char>(c));
        if (a >= 0xF0) {
          for (int d : {0x41, 0x80, 0xBF, 0xC0}) cases.push_back(two + static_cast<char>(c) + static_cast<char>(d));
        }
      }
    }
  }
  size_t differences = 0;
  for (const std::string& bytes : cases) {
    if (bytes.find('\0') != std::string::npos) continue;  // rapidjson's stream ends there
    for (const std::string& text : {bytes, "abcdefgh" + bytes, bytes + "abcdefgh"}) {
      if (IsUtf8(text) != RapidjsonAcceptsUtf8(text)) ++differences;
    }
  }
  EXPECT_EQ(differences, 0U);
  // A bad byte past the fast path's first strides is still reported where it is.
  EXPECT_EQ(ParseError("[\"abcdefghijklmnop\xC0\x80\"]"), "Invalid encoding in string at line 1 column 19");
}

}  // namespace
}  // namespace aurvane::json

namespace aurvane::json {
namespace {

// Keeps what ParseStreamingMember hands over: each element rebuilt and
// written compact.
class Collect : public ElementSink {
 public:
  void Begin() override {
    values.clear();
    texts.clear();
  }
  void Element(const ElementTokens& element) override {
    values.push_back(element.ToValue());
    std::string text;
    element.AppendCompact(text);
    texts.push_back(std::move(text));
  }
  Array values;
  std::vector<std::string> texts;
};

// The streamed reading must see exactly what the tree parser sees: the same
// acceptance and error texts, the streamed elements equal to the tree's,
// their compact texts the tree writer's, and the rest of the object intact.
TEST(JsonStreamingMember, AgreesWithTheTreeParser) {
  const std::string deep_ok = R"({"items":[)" + std::string(125, '[') + std::string(125, ']') + "]}";
  const std::string too_deep = R"({"items":[)" + std::string(126, '[') + std::string(126, ']') + "]}";
  const std::string texts[] = {
      R"({"event":"collected_items","items":[[0,"a.py::t",["a.py",3,"t"],"a.py"],[1,"b",null,""]],"more":true})",
      R"({"items":[1,-2,-0,2.50,1e400]})",
      R"({"items":[1,-2,-0,2.50,18446744073709551616,"é\u00e9\n\"",true,false,null,{},[]]})",
      R"({"items":[{"b":1,"a":[{"z":0,"y":-0.0}],"b":2},[0,{"k":"v"}]], "z": {"items": [1]}})",
      R"({"items":[{"a":{"b":[{},{"c":null,"d":"é"}]},"e":[1]},{"a":1,"a":2},{"é":1,"z":2}]})",
      R"( { "items" : [ [ 0 , "x" ] ] , "event" : "e" } )",
      R"({"items":[1],"items":null})",
      R"({"items":null,"items":[2]})",
      R"({"items":[1],"items":[2,3]})",
      R"({"items":{"a":[1]}})",
      R"([{"items":[1]}])",
      R"("items")",
      deep_ok,
      too_deep,
      R"({"items":[1,2)",
      R"({"items":[1,2]} x)",
      R"({"items":[["\udc00"]]})",
      R"({"items":[{"\udc00":1}]})",
      R"({"items":[0.1e400]})",
      R"({"items":[01]})",
      "{\"items\":[\"\xff\"]}",
      R"({"items":[1,]})",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    Result<Value> tree = Parse(text);
    Collect sink;
    Result<StreamedParse> streamed = ParseStreamingMember(text, "items", sink);
    ASSERT_EQ(streamed.ok(), tree.ok()) << (tree.ok() ? streamed.message() : tree.message());
    if (!tree.ok()) {
      EXPECT_EQ(streamed.message(), tree.message());
      continue;
    }
    Value rebuilt = std::move(streamed.value().value);
    const Value* items = tree.value().Find("items");
    EXPECT_EQ(streamed.value().streamed, items != nullptr && items->is_array());
    if (streamed.value().streamed) {
      EXPECT_EQ(rebuilt.Find("items"), nullptr);
      EXPECT_EQ(sink.values, items->as_array());
      std::vector<std::string> texts_of_tree;
      for (const Value& element : items->as_array()) texts_of_tree.push_back(ToCompact(element));
      EXPECT_EQ(sink.texts, texts_of_tree);
      rebuilt.as_object().emplace("items", Value(sink.values));
      std::string with;
      Object rest = tree.value().as_object();
      rest.erase("items");
      AppendCompactWith(with, rest, "items", ToCompact(*items));
      EXPECT_EQ(with, ToCompact(tree.value()));
    }
    EXPECT_EQ(rebuilt, tree.value());
  }
}

}  // namespace
}  // namespace aurvane::json
