#include "core/json.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tarnwick::json {
namespace {

using namespace std::string_literals;

Document::Result parse(Document& doc, const std::string& text) { return doc.parse(text.data(), text.size()); }

Value root_of(Document& doc, const std::string& text) {
  auto r = parse(doc, text);
  EXPECT_TRUE(r.root) << text << ": " << r.refusal.what;
  return r.root.value_or(Value{});
}

struct RefusalCase {
  const char* name;
  std::string text;
  const char* what;  // a part of the reason
  bool retry;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class Refused : public testing::TestWithParam<RefusalCase> {};

// retry is set where json.loads may read the text: the numbers and escapes
// it takes, and bytes it decodes otherwise than as strict UTF-8.  A
// malformed number shares its error code with a big one, so it is retried
// too (json.loads then refuses it).
TEST_P(Refused, WithAPlainReason) {
  const RefusalCase& c = GetParam();
  Document doc;
  auto r = parse(doc, c.text);
  ASSERT_FALSE(r.root);
  EXPECT_NE(std::string(r.refusal.what).find(c.what), std::string::npos) << r.refusal.what;
  EXPECT_EQ(r.refusal.retry, c.retry);
  EXPECT_EQ(r.refusal.offset, SIZE_MAX);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Refused,
    testing::Values(
        RefusalCase{"Empty", "", "empty or blank", false}, RefusalCase{"Blank", " \n\t", "empty or blank", false},
        RefusalCase{"Unclosed", "{\"a\":1", "not valid JSON", false},
        RefusalCase{"TrailingComma", "[1,]", "not valid JSON", false},
        RefusalCase{"Trailing", "{} x", "not valid JSON", false},
        RefusalCase{"NaN", "{\"a\":NaN}", "not valid JSON", false},
        RefusalCase{"Infinity", "[Infinity]", "not valid JSON", false},
        RefusalCase{"BadWord", "[tru]", "true, false or null", false},
        RefusalCase{"InvalidUtf8", "{\"a\":\"\xff\"}", "not valid UTF-8", false},
        RefusalCase{"OverlongUtf8", "\"\xc0\xaf\"", "not valid UTF-8", false},
        RefusalCase{"ControlChar", "\"a\x01\"", "unescaped control", false},
        RefusalCase{"OpenString", "\"abc", "not closed", false},
        RefusalCase{"BigInt", "[18446744073709551616]", "beyond 64 bits", true},
        RefusalCase{"BigNegative", "-9223372036854775809", "beyond 64 bits", true},
        RefusalCase{"HugeFloat", "1e400", "beyond the doubles", true},
        RefusalCase{"MinusInfinity", "[-Infinity]", "number", true},
        RefusalCase{"LeadingZero", "01", "malformed", true},
        RefusalCase{"LoneHighSurrogate", "\"\\ud800\"", "lone surrogate", true},
        RefusalCase{"LoneLowSurrogate", "{\"k\":\"\\udc00x\"}", "lone surrogate", true},
        RefusalCase{"BadEscape", "\"\\x\"", "bad escape", true},
        RefusalCase{"EncodedSurrogate", "\"\xed\xa0\x80\"", "not valid UTF-8", true},
        RefusalCase{"Bom", "\xef\xbb\xbf{}", "not valid JSON", true},
        RefusalCase{"Utf16", "{\0}\0"s, "not valid JSON", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JsonBounds, SizeBoundIsCheckedBeforeParsing) {
  // One text just over the bound, whose first kMaxBytes bytes are a valid
  // document: refused by size alone, then read at the bound.
  std::string text(kMaxBytes + 1, ' ');
  text[0] = '7';
  Document doc;
  auto over = doc.parse(text.data(), text.size());
  ASSERT_FALSE(over.root);
  EXPECT_STREQ(over.refusal.what, "a frame of 134217729 bytes is over the bound of 134217728");
  EXPECT_FALSE(over.refusal.retry);
  auto at = doc.parse(text.data(), kMaxBytes);
  ASSERT_TRUE(at.root) << at.refusal.what;
  EXPECT_EQ(at.root->as_u64(), 7u);
}

std::string nested(std::size_t depth, const char* open, const char* inner, const char* close) {
  std::string s;
  for (std::size_t i = 0; i < depth; ++i) s += open;
  s += inner;
  for (std::size_t i = 0; i < depth; ++i) s += close;
  return s;
}

class Depth : public testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(Depth, BoundIsKMaxDepthLevels) {
  const auto [open, close] = GetParam();
  Document doc;
  Value v = root_of(doc, nested(kMaxDepth, open, "1", close));
  for (std::size_t i = 0; i < kMaxDepth; ++i) {
    std::string_view key;
    if (v.type() == Type::Object) {
      auto f = v.fields();
      ASSERT_TRUE(f.next(&key, &v));
    } else {
      auto e = v.elements();
      ASSERT_TRUE(e.next(&v));
    }
  }
  EXPECT_EQ(v.as_u64(), 1u);

  auto deeper = parse(doc, nested(kMaxDepth + 1, open, "1", close));
  ASSERT_FALSE(deeper.root);
  EXPECT_STREQ(deeper.refusal.what, "arrays and objects nested deeper than 128");
  EXPECT_FALSE(deeper.refusal.retry);
  // An empty one innermost holds nothing and is not counted.
  EXPECT_TRUE(parse(doc, nested(kMaxDepth, open, "[]", close)).root);
  EXPECT_FALSE(parse(doc, nested(kMaxDepth + 1, open, "{}", close)).root);
}

INSTANTIATE_TEST_SUITE_P(Containers, Depth,
                         testing::Values(std::pair{"[", "]"}, std::pair{"{\"k\":", "}"}));

TEST(JsonRead, LastOfRepeatedKeysWinsAndFieldsSeeAll) {
  Document doc;
  Value v = root_of(doc, R"({"a":1,"b":"x","a":{"c":[]},"a":3})");
  ASSERT_EQ(v.type(), Type::Object);
  auto a = v.get("a");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->as_u64(), 3u);
  EXPECT_EQ(v.get("b")->as_string(), "x");
  EXPECT_FALSE(v.get("c"));
  EXPECT_FALSE(v.get(""));
  std::vector<std::pair<std::string, Type>> seen;
  std::string_view key;
  Value field;
  for (auto f = v.fields(); f.next(&key, &field);) seen.emplace_back(key, field.type());
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, Type>>{
                      {"a", Type::Int}, {"b", Type::String}, {"a", Type::Object}, {"a", Type::Int}}));
}

TEST(JsonRead, NonContainersHaveNoFieldsOrElements) {
  Document doc;
  for (const char* text : {"{}", "[]", "\"s\"", "null", "0"}) {
    Value v = root_of(doc, text);
    std::string_view key;
    Value x;
    EXPECT_FALSE(v.get("a")) << text;
    EXPECT_FALSE(v.fields().next(&key, &x)) << text;
    EXPECT_FALSE(v.elements().next(&x)) << text;
    EXPECT_EQ(v.size(), 0u) << text;
  }
  EXPECT_EQ(root_of(doc, "{}").type(), Type::Object);
  EXPECT_EQ(root_of(doc, " [ ] ").type(), Type::Array);
}

TEST(JsonRead, ScalarsAndArrays) {
  Document doc;
  Value v = root_of(doc, R"([true, false, null, "", [1, [2]], {"k": 2}])");
  EXPECT_EQ(v.size(), 6u);
  std::vector<Type> types;
  Value e;
  for (auto it = v.elements(); it.next(&e);) types.push_back(e.type());
  EXPECT_EQ(types, (std::vector<Type>{Type::Bool, Type::Bool, Type::Null, Type::String, Type::Array, Type::Object}));
  auto it = v.elements();
  it.next(&e);
  EXPECT_TRUE(e.as_bool());
  it.next(&e);
  EXPECT_FALSE(e.as_bool());
}

struct IntCase {
  const char* text;
  bool negative;
  std::uint64_t u;  // for the non-negative
  std::int64_t i;   // for the negative
};

class Ints : public testing::TestWithParam<IntCase> {};

TEST_P(Ints, FitSixtyFourBitsEitherSign) {
  const IntCase& c = GetParam();
  Document doc;
  Value v = root_of(doc, c.text);
  ASSERT_EQ(v.type(), Type::Int);
  EXPECT_EQ(v.is_negative(), c.negative);
  if (c.negative) {
    EXPECT_EQ(v.as_i64(), c.i);
  } else {
    EXPECT_EQ(v.as_u64(), c.u);
  }
}

INSTANTIATE_TEST_SUITE_P(Edges, Ints,
                         testing::Values(IntCase{"0", false, 0, 0}, IntCase{"-0", false, 0, 0},
                                         IntCase{"9223372036854775807", false, 9223372036854775807u, 0},
                                         IntCase{"9223372036854775808", false, 9223372036854775808u, 0},
                                         IntCase{"18446744073709551615", false, UINT64_MAX, 0},
                                         IntCase{"-1", true, 0, -1},
                                         IntCase{"-9223372036854775808", true, 0, INT64_MIN}));

TEST(JsonRead, FloatsReadAsPythonFloatDoes) {
  Document doc;
  // (text, the value Python's float() gives)
  const std::pair<const char*, double> cases[] = {
      {"1.0", 1.0},        {"0.1", 0.1},        {"1E+2", 100.0},     {"-2.5e-3", -0.0025},
      {"1e-400", 0.0},     {"1.7976931348623157e308", 1.7976931348623157e308},
      {"123456789012345678901234567890.0", 1.2345678901234568e29}};
  for (const auto& [text, want] : cases) {
    Value v = root_of(doc, text);
    ASSERT_EQ(v.type(), Type::Float) << text;
    EXPECT_EQ(v.as_double(), want) << text;
  }
  Value neg_zero = root_of(doc, "-0.0");
  ASSERT_EQ(neg_zero.type(), Type::Float);
  EXPECT_TRUE(std::signbit(neg_zero.as_double()));
}

TEST(JsonRead, StringEscapesAreDecoded) {
  Document doc;
  Value v = root_of(doc, R"({"k\u00e9y":"a\"b\\c\/\n\t\u00e9\ud83d\ude00\u0000z"})");
  std::string_view key;
  Value s;
  ASSERT_TRUE(v.fields().next(&key, &s));
  EXPECT_EQ(key, "k\xc3\xa9y");
  EXPECT_EQ(s.as_string(), "a\"b\\c/\n\t\xc3\xa9\xf0\x9f\x98\x80\0z"s);
  EXPECT_TRUE(v.get("k\xc3\xa9y"));
}

TEST(JsonDocument, ParsesAgainWithItsBuffers) {
  Document doc;
  // Small, then large (the buffers grow), then a refusal, then small again.
  EXPECT_EQ(root_of(doc, R"({"id":"1"})").get("id")->as_string(), "1");
  std::string big = "[";
  for (int i = 0; i < 100000; ++i) big += std::to_string(i) + ",";
  big.back() = ']';
  Value arr = root_of(doc, big);
  EXPECT_EQ(arr.size(), 100000u);
  Value last;
  for (auto e = arr.elements(); e.next(&last);) {
  }
  EXPECT_EQ(last.as_u64(), 99999u);
  EXPECT_FALSE(parse(doc, "[1,").root);
  Value again = root_of(doc, R"({"id":"2","x":[]})");
  EXPECT_EQ(again.get("id")->as_string(), "2");
  EXPECT_EQ(again.get("x")->size(), 0u);
}

// A text that ends at, or just before, an unreadable page is parsed without
// the parser reading past the text's page; one that ends mid-page is read
// in place.  Either way it reads the same.
class NearAGuardPage : public testing::TestWithParam<std::size_t> {};

TEST_P(NearAGuardPage, ParsesWithoutReadingPastThePage) {
  const std::size_t page = 4096;
  auto* mem = static_cast<char*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(mem, MAP_FAILED);
  ASSERT_EQ(mprotect(mem + page, page, PROT_NONE), 0);
  const std::string text = R"({"id":"80351110224678912","roles":["1","2"],"n":12})";
  char* at = mem + page - GetParam() - text.size();
  std::memcpy(at, text.data(), text.size());
  Document doc;
  auto r = doc.parse(at, text.size());
  ASSERT_TRUE(r.root) << r.refusal.what;
  EXPECT_EQ(r.root->get("id")->as_string(), "80351110224678912");
  EXPECT_EQ(r.root->get("roles")->size(), 2u);
  EXPECT_EQ(r.root->get("n")->as_u64(), 12u);
  munmap(mem, 2 * page);
}

INSTANTIATE_TEST_SUITE_P(BytesLeftInThePage, NearAGuardPage, testing::Values(0, 1, 63, 64, 65, 2000));

TEST(JsonDocument, BigBuffersAreGivenBackAfterARunOfSmallTexts) {
  Document doc;
  std::string big = "[" + std::string(2 * Document::kKeepBytes, ' ') + "]";
  ASSERT_TRUE(parse(doc, big).root);
  const std::size_t grown = doc.capacity();
  EXPECT_GE(grown, big.size());
  const std::string small = R"({"n":"7"})";
  for (unsigned round = 0; round < 2; ++round) {
    for (unsigned i = 1; i < Document::kShrinkAfter; ++i) ASSERT_TRUE(parse(doc, small).root);
    EXPECT_EQ(doc.capacity(), grown);
    // A text needing a quarter or more ends the run.
    if (round == 0) {
      ASSERT_TRUE(parse(doc, big.substr(0, big.size() / 2) + "]").root);
    }
  }
  EXPECT_EQ(root_of(doc, small).get("n")->as_string(), "7");
  EXPECT_LT(doc.capacity(), Document::kKeepBytes);
  EXPECT_GE(doc.capacity(), small.size());
}

TEST(JsonDocument, EachThreadHasItsOwn) {
  Document* mine = &local_document();
  EXPECT_EQ(mine, &local_document());
  Document* theirs = nullptr;
  std::uint64_t read = 0;
  std::thread t([&] {
    theirs = &local_document();
    auto r = theirs->parse("[41]", 4);
    Value v;
    if (r.root && r.root->elements().next(&v)) read = v.as_u64();
  });
  auto r = mine->parse("{\"a\":1}", 7);
  t.join();
  EXPECT_NE(mine, theirs);
  EXPECT_EQ(read, 41u);
  ASSERT_TRUE(r.root);
  EXPECT_EQ(r.root->get("a")->as_u64(), 1u);
}

}  // namespace
}  // namespace tarnwick::json

namespace tarnwick::json {
namespace {

// The array under d.members as a scan finds it, or "-" for none; then its
// runs of one element each, joined by "|" ("!" if the scan refused them).
std::string found(std::string_view text) {
  const std::optional<Span> s = find_nested_array(text, "d", "members");
  if (!s) return "-";
  std::string out(text.substr(s->begin, s->end - s->begin));
  ArrayScan scan(text, *s);
  std::string_view run;
  std::string runs;
  while (scan.next_run(&run, 1)) {
    if (!runs.empty()) runs += '|';
    runs.append(run);
  }
  return out + " " + (scan.ok() ? runs : "!");
}

TEST(JsonScan, FindsTheLastArrayOnTheWayAndSplitsItsElements) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"d":{"members":[1, {"a":"]"} ,"x\"]"]}})", R"([1, {"a":"]"} ,"x\"]"] 1|{"a":"]"}|"x\"]")"},
      {R"({"d":{"members":[]}})", "[] "},
      {R"( { "op" : 0 , "d" : { "members" : [ [ ] ] , "x" : "\\" } } )", "[ [ ] ] [ ]"},
      {R"({"d":{"members":[1]},"d":{"members":[2]}})", "[2] 2"},                  // the last d
      {R"({"d":{"members":[1],"members":[2,3]}})", "[2,3] 2|3"},                  // the last members
      {R"({"d":{"members":[1]},"d":5})", "-"},                                    // the last d is no object
      {R"({"d":{"members":"x"}})", "-"},
      {R"({"\u0064":{"members":[1]}})", "-"},                                     // an escaped key on the way
      {R"({"d":{"members":[1]}} x)", "-"},
      {R"({"d":{"members":[1,]}})", "[1,] !"},
      {R"({"d":{"members":[,1]}})", "[,1] !"},
      {R"({"d":{"members":[1 2]}})", "[1 2] !"},
      {R"({"d":{"members":["a\\\"]"]}})", R"(["a\\\"]"] "a\\\"]")"},
      {R"({"d":{"members":[1})", "-"},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(found(text), want) << text;
}

TEST(JsonScan, RunsGatherElementsUpToTheirSize) {
  const std::string_view text = R"({"d":{"members":[1,22,333,4444]}})";
  const std::optional<Span> s = find_nested_array(text, "d", "members");
  ASSERT_TRUE(s);
  ArrayScan scan(text, *s);
  std::string_view run;
  std::vector<std::string> runs;
  while (scan.next_run(&run, 4)) runs.emplace_back(run);
  EXPECT_EQ(runs, (std::vector<std::string>{"1,22", "333,4444"}));
  EXPECT_TRUE(scan.ok());
}

}  // namespace
}  // namespace tarnwick::json
