#include "storage/format/json_reader.h"

#include <cmath>
#include <iterator>

#include <nlohmann/json.hpp>

namespace quillmark {

namespace {

// An input iterator over the text that records how many bytes the JSON
// library has consumed.
class CountingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingIterator(const char* base, const char* p, std::size_t* consumed) : base_(base), p_(p), consumed_(consumed) {}
  reference operator*() const { return *p_; }
  CountingIterator& operator++() {
    ++p_;
    *consumed_ = static_cast<std::size_t>(p_ - base_);
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator old = *this;
    ++*this;
    return old;
  }
  friend bool operator==(const CountingIterator& a, const CountingIterator& b) { return a.p_ == b.p_; }

 private:
  const char* base_;
  const char* p_;
  std::size_t* consumed_;
};

bool is_number_byte(char c) { return (c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-'; }

// Strips the library's "[json.exception.parse_error.101] parse error at line
// 1, column 5: " prefix, keeping the description.
std::string library_description(const std::string& what) {
  std::string text = what;
  if (text.starts_with("[json.exception.")) {
    std::size_t close = text.find("] ");
    if (close != std::string::npos) text = text.substr(close + 2);
  }
  const std::string marker = ", column ";
  std::size_t at = text.find(marker);
  if (text.starts_with("parse error") && at != std::string::npos) {
    std::size_t colon = text.find(": ", at);
    if (colon != std::string::npos) {
      std::string head = text.substr(0, text.find(" at line"));  // "parse error" or "parse error at ..."
      text = head + ": " + text.substr(colon + 2);
    }
  }
  return text;
}

// Common state of the two SAX handlers: the consumed-byte counter and the
// first error.
struct HandlerBase {
  std::string_view text;
  std::size_t consumed = 0;
  std::string error;

  // End offset of a number token: the lexer has read one byte past it.
  std::size_t number_end() const {
    std::size_t end = consumed;
    while (end > 0 && !is_number_byte(text[end - 1])) --end;
    return end;
  }
  bool fail(std::string message, std::size_t end) {
    error = std::move(message) + json_position(text, end);
    return false;
  }
  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& ex) {
    return fail(library_description(ex.what()), position);
  }
  bool binary(std::vector<std::uint8_t>&) { return fail("unexpected binary value", consumed); }
};

class TreeBuilder : public HandlerBase {
 public:
  JsonNode root;

  bool null() { return value(JsonNode{}, consumed); }
  bool boolean(bool v) {
    JsonNode n;
    n.type = JsonNode::Type::Boolean;
    n.boolean = v;
    return value(std::move(n), consumed);
  }
  bool number_integer(std::int64_t v) {
    JsonNode n;
    n.type = JsonNode::Type::Integer;
    n.integer = v;
    return value(std::move(n), number_end());
  }
  bool number_unsigned(std::uint64_t v) {
    JsonNode n;
    n.type = JsonNode::Type::Unsigned;
    n.unsigned_value = v;
    return value(std::move(n), number_end());
  }
  bool number_float(double v, const std::string&) {
    JsonNode n;
    n.type = JsonNode::Type::Float;
    n.number = v;
    return value(std::move(n), number_end());
  }
  bool string(std::string& v) {
    JsonNode n;
    n.type = JsonNode::Type::String;
    n.string = std::move(v);
    return value(std::move(n), consumed);
  }
  bool start_object(std::size_t) { return open(JsonNode::Type::Object); }
  bool start_array(std::size_t) { return open(JsonNode::Type::Array); }
  bool key(std::string& k) {
    pending_key_ = std::move(k);
    return true;
  }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

 private:
  // Adds a finished value to the innermost open container (or makes it the
  // root) and returns where it now lives.
  JsonNode* place(JsonNode node) {
    if (stack_.empty()) {
      root = std::move(node);
      return &root;
    }
    JsonNode* parent = stack_.back();
    if (parent->type == JsonNode::Type::Array) {
      parent->items.push_back(std::move(node));
      return &parent->items.back();
    }
    parent->members.push_back(JsonMember{std::move(pending_key_), std::move(node)});
    return &parent->members.back().value;
  }
  bool value(JsonNode node, std::size_t end) {
    node.end = end;
    place(std::move(node));
    return true;
  }
  bool open(JsonNode::Type type) {
    if (stack_.size() >= kJsonMaxDepth) return fail("recursion limit exceeded", consumed);
    JsonNode node;
    node.type = type;
    // Children are added to the placed node; a container's address only
    // changes while it is not on the stack (its siblings are finished).
    stack_.push_back(place(std::move(node)));
    return true;
  }
  bool close() {
    stack_.back()->end = consumed;
    stack_.pop_back();
    return true;
  }

  std::vector<JsonNode*> stack_;
  std::string pending_key_;
};

class StringArrayReader : public HandlerBase {
 public:
  std::vector<std::string> strings;

  bool null() { return wrong("null", consumed); }
  bool boolean(bool v) { return wrong(v ? "boolean `true`" : "boolean `false`", consumed); }
  bool number_integer(std::int64_t v) { return wrong("integer `" + std::to_string(v) + "`", number_end()); }
  bool number_unsigned(std::uint64_t v) { return wrong("integer `" + std::to_string(v) + "`", number_end()); }
  bool number_float(double, const std::string& s) { return wrong("floating point `" + s + "`", number_end()); }
  bool string(std::string& v) {
    if (depth_ != 1) return wrong("string", consumed);
    strings.push_back(std::move(v));
    return true;
  }
  bool start_object(std::size_t) { return wrong("map", consumed); }
  bool key(std::string&) { return true; }
  bool end_object() { return true; }
  bool start_array(std::size_t) {
    if (depth_ != 0) return wrong("sequence", consumed);
    ++depth_;
    return true;
  }
  bool end_array() {
    --depth_;
    return true;
  }

 private:
  bool wrong(const std::string& found, std::size_t end) {
    return fail("invalid type: " + found + (depth_ == 0 ? ", expected a sequence" : ", expected a string"), end);
  }
  int depth_ = 0;
};

template <class Handler>
bool run(std::string_view text, Handler& handler) {
  handler.text = text;
  std::size_t* counter = &handler.consumed;
  const char* base = text.data();
  CountingIterator first(base, base, counter), last(base, base + text.size(), counter);
  bool ok = false;
  try {
    ok = nlohmann::json::sax_parse(first, last, &handler, nlohmann::json::input_format_t::json, true);
  } catch (const nlohmann::json::exception& e) {
    // The library reports through parse_error; anything thrown is still a
    // failure of this text, never of the caller.
    // Only a number out of range throws; the lexer has read one byte past it.
    if (handler.error.empty()) handler.fail(library_description(e.what()), handler.number_end());
    ok = false;
  }
  if (!ok && handler.error.empty()) handler.fail("invalid JSON", handler.consumed);
  return ok;
}

}  // namespace

const JsonNode* JsonNode::find(std::string_view name) const {
  for (const auto& member : members)
    if (member.name == name) return &member.value;
  return nullptr;
}

std::string JsonNode::describe() const {
  switch (type) {
    case Type::Null: return "null";
    case Type::Boolean: return boolean ? "boolean `true`" : "boolean `false`";
    case Type::Unsigned: return "integer `" + std::to_string(unsigned_value) + "`";
    case Type::Integer: return "integer `" + std::to_string(integer) + "`";
    case Type::Float: return "floating point `" + nlohmann::json(number).dump() + "`";
    case Type::String: return "string " + nlohmann::json(string).dump();
    case Type::Array: return "sequence";
    case Type::Object: return "map";
  }
  return "value";
}

std::string json_position(std::string_view text, std::size_t end) {
  if (end > text.size()) end = text.size();
  // The last consumed byte is at end - 1; a position before any input
  // points at the first byte.
  const std::size_t at = end == 0 ? 0 : end - 1;
  std::size_t line = 1, line_start = 0;
  for (std::size_t i = 0; i < at; ++i)
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  const std::size_t column = at - line_start + 1;
  return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

std::expected<JsonNode, std::string> parse_json(std::string_view text) {
  TreeBuilder builder;
  if (!run(text, builder)) return std::unexpected(std::move(builder.error));
  return std::move(builder.root);
}

std::expected<std::vector<std::string>, std::string> parse_json_string_array(std::string_view text) {
  StringArrayReader reader;
  if (!run(text, reader)) return std::unexpected(std::move(reader.error));
  return std::move(reader.strings);
}

nlohmann::json to_nlohmann(const JsonNode& node) {
  switch (node.type) {
    case JsonNode::Type::Null: return nullptr;
    case JsonNode::Type::Boolean: return node.boolean;
    case JsonNode::Type::Unsigned: return node.unsigned_value;
    case JsonNode::Type::Integer: return node.integer;
    case JsonNode::Type::Float: return node.number;
    case JsonNode::Type::String: return node.string;
    case JsonNode::Type::Array: {
      nlohmann::json out = nlohmann::json::array();
      for (const auto& item : node.items) out.push_back(to_nlohmann(item));
      return out;
    }
    case JsonNode::Type::Object: {
      nlohmann::json out = nlohmann::json::object();
      for (const auto& member : node.members) out[member.name] = to_nlohmann(member.value);
      return out;
    }
  }
  return nullptr;
}

}  // namespace quillmark
