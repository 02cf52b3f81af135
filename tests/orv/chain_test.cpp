#include "orv/chain.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

namespace {

using orv::Chain;
using orv::ChainNode;

const std::string kExample =
    R"([{"completed":true,"duration_sec":5.0,"parent_task_id":"a","prompt":"p","seed":7,"task_id":"b","video_url":"v"}])";

ChainNode node(const std::string& taskId, int32_t seed = 0, double duration = 0, const std::string& prompt = "") {
  return ChainNode{taskId, "", prompt, "", seed, duration, false};
}

// The document of these nodes; its form is pinned by DumpIsCompactKeySortedUtf8.
std::string doc(const std::vector<ChainNode>& nodes) {
  Chain chain;
  chain.nodes = nodes;
  return chain.dump();
}

// The document of what `text` loads into a chain that already held a node.
std::string reloaded(const std::string& text) {
  Chain chain;
  chain.load(kExample);
  EXPECT_EQ(chain.nodes.size(), 1u);
  chain.load(text);
  return chain.dump();
}

TEST(ChainDocument, DumpIsCompactKeySortedUtf8) {
  Chain chain;
  EXPECT_EQ(chain.dump(), "[]");
  chain.nodes.push_back(ChainNode{"b", "a", "p", "v", 7, 5, true});
  EXPECT_EQ(chain.dump(), kExample);
  chain.nodes.assign(1, ChainNode{});
  EXPECT_EQ(
      chain.dump(),
      R"([{"completed":false,"duration_sec":0.0,"parent_task_id":"","prompt":"","seed":0,"task_id":"","video_url":""}])");
  chain.nodes[0].prompt = "caf\xc3\xa9";  // written as it is, not escaped
  EXPECT_NE(chain.dump().find("\"prompt\":\"caf\xc3\xa9\""), std::string::npos) << chain.dump();
  chain.nodes[0].prompt = "bad \xff byte";
  EXPECT_THROW(chain.dump(), nlohmann::json::type_error);
}

// Each load starts from a chain holding a node: a successful load replaces it.
TEST(ChainDocument, DocumentsLoadAsTheirNodes) {
  const std::pair<std::string, std::vector<ChainNode>> cases[] = {
      {kExample, {ChainNode{"b", "a", "p", "v", 7, 5, true}}},
      {"[\n { \"video_url\" : \"v\",\t\"task_id\": \"b\", \"seed\": 7,\r\n \"prompt\": \"p\", "
       "\"parent_task_id\": \"a\", \"duration_sec\": 5, \"completed\": true }\n]\n",
       {ChainNode{"b", "a", "p", "v", 7, 5, true}}},
      {"[{}]", {node("")}},
      {R"([{"task_id":"b","extra":1,"nested":{"seed":99},"list":[1,2]}])", {node("b")}},  // unknown members dropped
      {R"([{"task_id":"z"},{"task_id":"a"}])", {node("z"), node("a")}},
      {R"({"second":{"task_id":"2"},"first":{"task_id":"1"}})", {node("1"), node("2")}},  // member values, key order
      {R"([{"prompt":"caf\u00e9 \u2603"}])", {node("", 0, 0, "caf\xc3\xa9 \xe2\x98\x83")}},
      {R"([{"duration_sec":12},{"duration_sec":-2.5}])", {node("", 0, 12), node("", 0, -2.5)}},
      {R"([{"completed":false}])", {node("")}},
  };
  for (const auto& [text, nodes] : cases) EXPECT_EQ(reloaded(text), doc(nodes)) << text;
}

// All or nothing: any fault leaves the chain empty, and what it held is gone.
TEST(ChainDocument, EmptyOrFaultyDocumentsLeaveTheChainEmpty) {
  std::vector<std::string> texts = {
      "", "null", "[]", "{}", " [ ] ",
      // Elements that are not objects, also after a good one.
      "3", "\"text\"", "true", "[null]", "[[{}]]", "[\"x\"]", R"({"a":{},"b":1})", R"({"task_id":"b"})",
      R"([{"task_id":"ok"},3])",
      // Not JSON, or JSON with comments, trailing commas or invalid UTF-8.
      "[", "[{}", "[{},]", "[/* note */{}]", "[{}] // note", "[{}] x", "{'a':{}}", "nul", "[{\"prompt\":\"\xff\"}]",
      // Members of refused types.
      R"([{"duration_sec":true}])", R"([{"duration_sec":"5"}])", R"([{"duration_sec":null}])", R"([{"completed":1}])",
      R"([{"completed":"true"}])", R"([{"completed":null}])", R"([{"seed":"7"}])", R"([{"seed":null}])",
      R"([{"seed":[7]}])",
      // Floating-point seeds outside the int32 range after truncation have no
      // 32-bit form; beyond 64 bits an integer is parsed as floating point.
      R"([{"seed":2147483648.0}])", R"([{"seed":-2147483649.0}])", R"([{"seed":3e9}])", R"([{"seed":-1e300}])",
      R"([{"seed":100000000000000000000}])"};
  for (const char* key : {"task_id", "parent_task_id", "prompt", "video_url"}) {
    for (const char* value : {"1", "true", "null", "[]", "{}"}) {
      texts.push_back(std::string("[{\"") + key + "\":" + value + "}]");
    }
  }
  for (const std::string& text : texts) EXPECT_EQ(reloaded(text), "[]") << text;
}

// Integers keep their low 32 bits, as a 32-bit reader of a 64-bit writer's
// seed would; floating point is truncated toward zero; booleans are 0 or 1.
TEST(ChainDocument, SeedsNarrowToInt32) {
  const std::pair<const char*, int32_t> cases[] = {
      {"2.9", 2}, {"-2.9", -2}, {"-0.5", 0}, {"7.0", 7}, {"2147483647.9", INT32_MAX}, {"-2147483648.9", INT32_MIN},
      {"true", 1}, {"false", 0}, {"-1", -1}, {"4294967297", 1}, {"2147483647", INT32_MAX}, {"2147483648", INT32_MIN},
      {"-2147483648", INT32_MIN}, {"-2147483649", INT32_MAX}, {"4294967295", -1}, {"18446744073709551615", -1},
      {"-9223372036854775808", 0},
  };
  for (const auto& [json, seed] : cases) {
    EXPECT_EQ(reloaded(std::string(R"([{"task_id":"t","seed":)") + json + "}]"), doc({node("t", seed)})) << json;
  }
}

}  // namespace
