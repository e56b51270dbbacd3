#include "storage/format/json_reader.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace quillmark {
namespace {

TEST(JsonStringArray, ReadsStringsWithEscapes) {
  auto ids = parse_json_string_array(" [\"a\", \"\\u00e9\\ud83d\\ude00\", \"q\\\"\\\\\", \"\"]\n");
  ASSERT_TRUE(ids) << ids.error();
  EXPECT_EQ(*ids, (std::vector<std::string>{"a", "\xc3\xa9\xf0\x9f\x98\x80", "q\"\\", ""}));
  EXPECT_EQ(*parse_json_string_array("[]"), std::vector<std::string>{});
}

TEST(JsonStringArray, ErrorsEndWithThePosition) {
  struct Case {
    const char* text;
    const char* message;
  };
  for (const Case& c : std::vector<Case>{
           {"[\"a\",\n 12]", "invalid type: integer `12`, expected a string at line 2 column 3"},
           {"[\"a\", -1.5e3]", "invalid type: floating point `-1.5e3`, expected a string at line 1 column 12"},
           {"[null]", "invalid type: null, expected a string at line 1 column 5"},
           {"[true]", "invalid type: boolean `true`, expected a string at line 1 column 5"},
           {"[[\"a\"]]", "invalid type: sequence, expected a string at line 1 column 2"},
           {"[{}]", "invalid type: map, expected a string at line 1 column 2"},
           {"\"a\"", "invalid type: string, expected a sequence at line 1 column 3"},
           {"{}", "invalid type: map, expected a sequence at line 1 column 1"},
           {"[\"a\"] []",
            "parse error: syntax error while parsing value - unexpected '['; expected end of input at line 1 column 7"},
           {"[\"\xff\"]",
            "parse error: syntax error while parsing value - invalid string: ill-formed UTF-8 byte; last read: "
            "'\"\xff' at line 1 column 3"},
       }) {
    auto r = parse_json_string_array(c.text);
    ASSERT_FALSE(r) << c.text;
    EXPECT_EQ(r.error(), c.message) << c.text;
  }
}

TEST(JsonTree, PositionsAndDuplicatesKept) {
  auto tree = parse_json("{\"a\": [1, -2, 3.5, \"x\"],\n \"a\": null, \"b\": {\"c\": true}}");
  ASSERT_TRUE(tree) << tree.error();
  ASSERT_EQ(tree->members.size(), 3u);
  EXPECT_EQ(tree->members[0].name, "a");
  EXPECT_EQ(tree->members[1].name, "a");
  const auto& items = tree->members[0].value.items;
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(items[0].type, JsonNode::Type::Unsigned);
  EXPECT_EQ(items[1].type, JsonNode::Type::Integer);
  EXPECT_EQ(items[2].type, JsonNode::Type::Float);
  EXPECT_EQ(items[3].string, "x");
  const std::string text = "{\"a\": [1, -2, 3.5, \"x\"],\n \"a\": null, \"b\": {\"c\": true}}";
  EXPECT_EQ(json_position(text, items[2].end), " at line 1 column 17");
  EXPECT_EQ(json_position(text, items[3].end), " at line 1 column 22");
  EXPECT_EQ(json_position(text, tree->members[1].value.end), " at line 2 column 10");
  EXPECT_EQ(json_position(text, tree->end), " at line 2 column 29");
  EXPECT_EQ(tree->find("a"), &tree->members[0].value);
  EXPECT_EQ(to_nlohmann(*tree), nlohmann::json::parse(R"({"a": null, "b": {"c": true}})"));
}

TEST(JsonTree, DeepNestingIsRefusedNotOverflowed) {
  const std::string ok = std::string(kJsonMaxDepth, '[') + std::string(kJsonMaxDepth, ']');
  EXPECT_TRUE(parse_json(ok));
  for (std::size_t depth : {kJsonMaxDepth + 1, std::size_t{1000000}}) {
    const std::string deep = std::string(depth, '[') + std::string(depth, ']');
    auto r = parse_json(deep);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "recursion limit exceeded at line 1 column " + std::to_string(kJsonMaxDepth + 1));
    // The ids reader refuses a nested array at once.
    EXPECT_FALSE(parse_json_string_array(deep));
  }
}

}  // namespace
}  // namespace quillmark
