#pragma once
// Reading JSON files of a store with error messages that name the field and
// end with " at line L column C".
//
// nlohmann/json does the lexing (escapes, UTF-8, numbers) through its SAX
// interface; the input is fed through an iterator that counts the bytes
// consumed, so every value of the tree built here knows where it ends in the
// text. Positions are 1-based; the column counts bytes on the line, and a
// value's position is its last byte (a closing quote or bracket, the last
// digit of a number), as the errors of the JSON library itself report.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace quillmark {

struct JsonMember;

// One JSON value and the byte offset just past its end in the text.
// Object members keep their order and any repeated names.
struct JsonNode {
  enum class Type { Null, Boolean, Unsigned, Integer, Float, String, Array, Object };
  Type type = Type::Null;
  bool boolean = false;
  std::uint64_t unsigned_value = 0;  // Unsigned: 0 .. 2^64-1
  std::int64_t integer = 0;          // Integer: negative values only
  double number = 0;                 // Float
  std::string string;                // String
  std::vector<JsonNode> items;       // Array
  std::vector<JsonMember> members;  // Object
  std::size_t end = 0;

  // The first member called `name`, or null.
  const JsonNode* find(std::string_view name) const;
  // A short description for messages: "string \"x\"", "integer `-1`", "array", ...
  std::string describe() const;
};

struct JsonMember {
  std::string name;
  JsonNode value;
};

// Deepest nesting accepted; deeper input fails with "recursion limit exceeded".
inline constexpr std::size_t kJsonMaxDepth = 128;

// Parses a whole text holding one JSON value. On failure returns the message
// (the JSON library's description of a syntax error, or the nesting limit)
// ending with the position.
std::expected<JsonNode, std::string> parse_json(std::string_view text);

// Parses a whole text that must be a JSON array of strings. On failure
// returns the message ending with the position, e.g. "invalid type: integer
// `5`, expected a string at line 1 column 7".
std::expected<std::vector<std::string>, std::string> parse_json_string_array(std::string_view text);

// " at line L column C" for the byte just before `end` (or the first byte).
std::string json_position(std::string_view text, std::size_t end);

// The same value as a nlohmann::json (the last of repeated member names wins).
nlohmann::json to_nlohmann(const JsonNode& node);

}  // namespace quillmark
