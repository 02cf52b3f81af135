#include "orv/chain.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace {

using orv::Chain;
using orv::ChainNode;

const std::string kExample =
    R"([{"completed":true,"duration_sec":5.0,"parent_task_id":"a","prompt":"p","seed":7,"task_id":"b","video_url":"v"}])";

const std::string kDefaultNode =
    R"([{"completed":false,"duration_sec":0.0,"parent_task_id":"","prompt":"","seed":0,"task_id":"","video_url":""}])";

// A chain that already holds something, to show that load replaces it.
Chain chainWithOneNode() {
  Chain chain;
  chain.load(kExample);
  return chain;
}

// Loads a single node whose seed member is the given JSON text.
Chain loadSeed(const std::string& seedJson) {
  Chain chain = chainWithOneNode();
  chain.load(R"([{"task_id":"t","seed":)" + seedJson + "}]");
  return chain;
}

// ---------------------------------------------------------------------------
// Empty documents

TEST(ChainEmpty, NewChainDumpsEmptyArray) {
  Chain chain;
  EXPECT_TRUE(chain.nodes.empty());
  EXPECT_EQ(chain.dump(), "[]");
}

TEST(ChainEmpty, EmptyTextNullEmptyArrayAndEmptyObjectGiveEmptyChain) {
  for (const std::string text : {"", "null", "[]", "{}", " [ ] "}) {
    Chain chain = chainWithOneNode();
    ASSERT_EQ(chain.nodes.size(), 1u);
    chain.load(text);
    EXPECT_TRUE(chain.nodes.empty()) << "text: '" << text << "'";
    EXPECT_EQ(chain.dump(), "[]") << "text: '" << text << "'";
  }
}

// ---------------------------------------------------------------------------
// Round trips and the written form

TEST(ChainDocument, ExampleLoadsEveryField) {
  Chain chain;
  chain.load(kExample);
  ASSERT_EQ(chain.nodes.size(), 1u);
  const ChainNode& node = chain.nodes[0];
  EXPECT_EQ(node.task_id, "b");
  EXPECT_EQ(node.parent_task_id, "a");
  EXPECT_EQ(node.prompt, "p");
  EXPECT_EQ(node.video_url, "v");
  EXPECT_EQ(node.seed, 7);
  EXPECT_EQ(node.duration_sec, 5.0);
  EXPECT_TRUE(node.completed);
}

TEST(ChainDocument, ExampleRoundTripsExactly) {
  Chain chain;
  chain.load(kExample);
  EXPECT_EQ(chain.dump(), kExample);
}

TEST(ChainDocument, BuiltNodeDumpsAsTheExample) {
  Chain chain;
  ChainNode node;
  node.task_id = "b";
  node.parent_task_id = "a";
  node.prompt = "p";
  node.video_url = "v";
  node.seed = 7;
  node.duration_sec = 5;
  node.completed = true;
  chain.nodes.push_back(node);
  EXPECT_EQ(chain.dump(), kExample);
}

TEST(ChainDocument, DefaultNodeDumpsDefaultText) {
  Chain chain;
  chain.nodes.emplace_back();
  EXPECT_EQ(chain.dump(), kDefaultNode);
}

TEST(ChainDocument, ArrayOfOneEmptyObjectGivesOneDefaultNode) {
  Chain chain;
  chain.load("[{}]");
  ASSERT_EQ(chain.nodes.size(), 1u);
  const ChainNode& node = chain.nodes[0];
  EXPECT_EQ(node.task_id, "");
  EXPECT_EQ(node.parent_task_id, "");
  EXPECT_EQ(node.prompt, "");
  EXPECT_EQ(node.video_url, "");
  EXPECT_EQ(node.seed, 0);
  EXPECT_EQ(node.duration_sec, 0.0);
  EXPECT_FALSE(node.completed);
  EXPECT_EQ(chain.dump(), kDefaultNode);
}

TEST(ChainDocument, NodesKeepDocumentOrder) {
  Chain chain;
  chain.load(R"([{"task_id":"z"},{"task_id":"a","parent_task_id":"z"},{"task_id":"m"}])");
  ASSERT_EQ(chain.nodes.size(), 3u);
  EXPECT_EQ(chain.nodes[0].task_id, "z");
  EXPECT_EQ(chain.nodes[1].task_id, "a");
  EXPECT_EQ(chain.nodes[1].parent_task_id, "z");
  EXPECT_EQ(chain.nodes[2].task_id, "m");
}

TEST(ChainDocument, OtherKeyOrderAndBlanksDumpCompactAndSorted) {
  Chain chain;
  chain.load(
      "[\n  { \"video_url\" : \"v\",\t\"task_id\": \"b\", \"seed\": 7,\r\n"
      "    \"prompt\": \"p\", \"parent_task_id\": \"a\", \"duration_sec\": 5,\n"
      "    \"completed\": true }\n]\n");
  EXPECT_EQ(chain.dump(), kExample);
}

TEST(ChainDocument, UnknownMembersAreDroppedOnDump) {
  Chain chain;
  chain.load(R"([{"task_id":"b","extra":1,"nested":{"seed":99},"list":[1,2]}])");
  ASSERT_EQ(chain.nodes.size(), 1u);
  EXPECT_EQ(chain.nodes[0].task_id, "b");
  EXPECT_EQ(chain.nodes[0].seed, 0);
  EXPECT_EQ(
      chain.dump(),
      R"([{"completed":false,"duration_sec":0.0,"parent_task_id":"","prompt":"","seed":0,"task_id":"b","video_url":""}])");
}

TEST(ChainDocument, ObjectMembersAreWalkedInKeyOrderNotTextOrder) {
  Chain chain;
  chain.load(R"({"second":{"task_id":"2"},"first":{"task_id":"1"},"third":{"task_id":"3"}})");
  ASSERT_EQ(chain.nodes.size(), 3u);
  EXPECT_EQ(chain.nodes[0].task_id, "1");  // key "first"
  EXPECT_EQ(chain.nodes[1].task_id, "2");  // key "second"
  EXPECT_EQ(chain.nodes[2].task_id, "3");  // key "third"
}

TEST(ChainDocument, SingleObjectValueIsNotANode) {
  // A lone object is walked as its member values, so its members must be
  // objects themselves; a plain node object is refused.
  Chain chain;
  chain.load(R"({"task_id":"b"})");
  EXPECT_TRUE(chain.nodes.empty());
}

TEST(ChainDocument, NonAsciiTextIsWrittenAsUtf8WithoutEscapes) {
  Chain chain;
  chain.load(R"([{"prompt":"caf\u00e9 \u2603"}])");
  ASSERT_EQ(chain.nodes.size(), 1u);
  EXPECT_EQ(chain.nodes[0].prompt, "caf\xc3\xa9 \xe2\x98\x83");
  const std::string text = chain.dump();
  EXPECT_NE(text.find("\"prompt\":\"caf\xc3\xa9 \xe2\x98\x83\""), std::string::npos) << text;
  EXPECT_EQ(text.find("\\u"), std::string::npos) << text;
}

TEST(ChainDocument, DurationIsAlwaysWrittenAsFloatingPoint) {
  Chain chain;
  chain.load(R"([{"duration_sec":12},{"duration_sec":2.5},{"duration_sec":-3}])");
  ASSERT_EQ(chain.nodes.size(), 3u);
  EXPECT_EQ(chain.nodes[0].duration_sec, 12.0);
  EXPECT_EQ(chain.nodes[1].duration_sec, 2.5);
  EXPECT_EQ(chain.nodes[2].duration_sec, -3.0);
  const std::string text = chain.dump();
  EXPECT_NE(text.find("\"duration_sec\":12.0,"), std::string::npos) << text;
  EXPECT_NE(text.find("\"duration_sec\":2.5,"), std::string::npos) << text;
  EXPECT_NE(text.find("\"duration_sec\":-3.0,"), std::string::npos) << text;
}

TEST(ChainDocument, DumpLeavesTheChainUnchanged) {
  Chain chain;
  chain.load(kExample);
  const std::string first = chain.dump();
  EXPECT_EQ(chain.dump(), first);
  ASSERT_EQ(chain.nodes.size(), 1u);
  EXPECT_EQ(chain.nodes[0].task_id, "b");
}

TEST(ChainDocument, DumpThrowsOnInvalidUtf8) {
  Chain chain;
  ChainNode node;
  node.prompt = "bad \xff byte";
  chain.nodes.push_back(node);
  EXPECT_THROW(chain.dump(), nlohmann::json::type_error);
  EXPECT_EQ(chain.nodes.size(), 1u);
}

// ---------------------------------------------------------------------------
// Refusals: all or nothing, previous content lost

TEST(ChainRefusal, BadSecondElementEmptiesTheChain) {
  Chain chain = chainWithOneNode();
  chain.load(R"([{"task_id":"ok"},3])");
  EXPECT_TRUE(chain.nodes.empty());
  EXPECT_EQ(chain.dump(), "[]");
}

TEST(ChainRefusal, NonObjectElementsAreRefused) {
  for (const std::string text : {"3", "\"text\"", "true", "[null]", "[[{}]]", "[\"x\"]", R"({"a":{},"b":1})"}) {
    Chain chain = chainWithOneNode();
    chain.load(text);
    EXPECT_TRUE(chain.nodes.empty()) << text;
  }
}

TEST(ChainRefusal, InvalidJsonEmptiesTheChain) {
  for (const std::string text : {"[", "[{}", "[{},]", "[/* note */{}]", "[{}] // note", "[{}] x", "{'a':{}}", "nul",
                                 "[{\"prompt\":\"\xff\"}]"}) {
    Chain chain = chainWithOneNode();
    chain.load(text);
    EXPECT_TRUE(chain.nodes.empty()) << text;
  }
}

TEST(ChainRefusal, PreviousContentIsLostOnFailedLoad) {
  Chain chain;
  chain.load(R"([{"task_id":"a"},{"task_id":"b"}])");
  ASSERT_EQ(chain.nodes.size(), 2u);
  chain.load(R"([{"task_id":"c","completed":1}])");
  EXPECT_TRUE(chain.nodes.empty());
}

TEST(ChainRefusal, SuccessfulLoadReplacesPreviousContent) {
  Chain chain;
  chain.load(R"([{"task_id":"a"},{"task_id":"b"}])");
  chain.load(R"([{"task_id":"c"}])");
  ASSERT_EQ(chain.nodes.size(), 1u);
  EXPECT_EQ(chain.nodes[0].task_id, "c");
}

TEST(ChainRefusal, StringMembersMustBeStrings) {
  for (const std::string key : {"task_id", "parent_task_id", "prompt", "video_url"}) {
    for (const std::string value : {"1", "true", "null", "[]", "{}"}) {
      Chain chain = chainWithOneNode();
      chain.load("[{\"" + key + "\":" + value + "}]");
      EXPECT_TRUE(chain.nodes.empty()) << key << " = " << value;
    }
    Chain chain;
    chain.load("[{\"" + key + "\":\"ok\"}]");
    EXPECT_EQ(chain.nodes.size(), 1u) << key;
  }
}

TEST(ChainRefusal, DurationMustBeANumber) {
  for (const std::string value : {"true", "false", "\"5\"", "null", "[]", "{}"}) {
    Chain chain = chainWithOneNode();
    chain.load(R"([{"duration_sec":)" + value + "}]");
    EXPECT_TRUE(chain.nodes.empty()) << value;
  }
}

TEST(ChainRefusal, CompletedMustBeABoolean) {
  for (const std::string value : {"1", "0", "\"true\"", "null", "1.0"}) {
    Chain chain = chainWithOneNode();
    chain.load(R"([{"completed":)" + value + "}]");
    EXPECT_TRUE(chain.nodes.empty()) << value;
  }
  Chain chain;
  chain.load(R"([{"completed":false},{"completed":true}])");
  ASSERT_EQ(chain.nodes.size(), 2u);
  EXPECT_FALSE(chain.nodes[0].completed);
  EXPECT_TRUE(chain.nodes[1].completed);
}

// ---------------------------------------------------------------------------
// Seed narrowing

TEST(ChainSeed, FloatingPointIsTruncatedTowardZero) {
  Chain chain = loadSeed("2.9");
  ASSERT_EQ(chain.nodes.size(), 1u);
  EXPECT_EQ(chain.nodes[0].seed, 2);

  chain = loadSeed("-2.9");
  ASSERT_EQ(chain.nodes.size(), 1u);
  EXPECT_EQ(chain.nodes[0].seed, -2);

  chain = loadSeed("-0.5");
  ASSERT_EQ(chain.nodes.size(), 1u);
  EXPECT_EQ(chain.nodes[0].seed, 0);

  chain = loadSeed("7.0");
  ASSERT_EQ(chain.nodes.size(), 1u);
  EXPECT_EQ(chain.nodes[0].seed, 7);
  EXPECT_NE(chain.dump().find("\"seed\":7,"), std::string::npos);
}

TEST(ChainSeed, BooleanGivesZeroOrOne) {
  Chain chain = loadSeed("true");
  ASSERT_EQ(chain.nodes.size(), 1u);
  EXPECT_EQ(chain.nodes[0].seed, 1);

  chain = loadSeed("false");
  ASSERT_EQ(chain.nodes.size(), 1u);
  EXPECT_EQ(chain.nodes[0].seed, 0);
}

TEST(ChainSeed, OtherTypesEmptyTheChain) {
  for (const std::string value : {"\"7\"", "null", "[7]", "{}"}) {
    Chain chain = loadSeed(value);
    EXPECT_TRUE(chain.nodes.empty()) << value;
  }
}

TEST(ChainSeed, IntegersKeepTheirLow32Bits) {
  struct Case {
    const char* json;
    int32_t seed;
  };
  for (const Case& c : {Case{"-1", -1}, Case{"4294967297", 1}, Case{"2147483647", 2147483647},
                        Case{"2147483648", INT32_MIN}, Case{"-2147483648", INT32_MIN}, Case{"-2147483649", INT32_MAX},
                        Case{"4294967295", -1}, Case{"18446744073709551615", -1}, Case{"-9223372036854775808", 0}}) {
    Chain chain = loadSeed(c.json);
    ASSERT_EQ(chain.nodes.size(), 1u) << c.json;
    EXPECT_EQ(chain.nodes[0].seed, c.seed) << c.json;
  }
}

TEST(ChainSeed, SeedIsWrittenAsInteger) {
  Chain chain = loadSeed("4294967297");
  ASSERT_EQ(chain.nodes.size(), 1u);
  EXPECT_EQ(
      chain.dump(),
      R"([{"completed":false,"duration_sec":0.0,"parent_task_id":"","prompt":"","seed":1,"task_id":"t","video_url":""}])");
  chain = loadSeed("-2147483648");
  EXPECT_NE(chain.dump().find("\"seed\":-2147483648,"), std::string::npos);
}

TEST(ChainSeed, FloatingPointWithinRangeAfterTruncationIsKept) {
  Chain chain = loadSeed("2147483647.9");
  ASSERT_EQ(chain.nodes.size(), 1u);
  EXPECT_EQ(chain.nodes[0].seed, INT32_MAX);

  chain = loadSeed("-2147483648.9");
  ASSERT_EQ(chain.nodes.size(), 1u);
  EXPECT_EQ(chain.nodes[0].seed, INT32_MIN);
}

TEST(ChainSeed, FloatingPointOutsideInt32RangeEmptiesTheChain) {
  // Unlike integers, such a value has no defined 32-bit form: refused.
  for (const std::string value : {"2147483648.0", "-2147483649.0", "3e9", "-1e300", "1e308",
                                  // Too large for 64 bits: parsed as floating point.
                                  "100000000000000000000"}) {
    Chain chain = loadSeed(value);
    EXPECT_TRUE(chain.nodes.empty()) << value;
  }
}

}  // namespace
