// Fuzzes the reader of a segment's ids file. Its verdict and its strings must
// agree with the general JSON tree reader on the same text.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "storage/format/json_reader.h"

using namespace quillmark;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto ids = parse_json_string_array(text);
  auto tree = parse_json(text);
  bool tree_is_string_array = tree && tree->type == JsonNode::Type::Array;
  if (tree_is_string_array)
    for (const auto& item : tree->items) tree_is_string_array = tree_is_string_array && item.type == JsonNode::Type::String;
  if (ids.has_value() != tree_is_string_array) std::abort();
  if (ids) {
    if (ids->size() != tree->items.size()) std::abort();
    for (std::size_t i = 0; i < ids->size(); ++i)
      if ((*ids)[i] != tree->items[i].string) std::abort();
  } else if (ids.error().find(" at line ") == std::string::npos) {
    std::abort();
  }
  if (!tree && tree.error().find(" at line ") == std::string::npos) std::abort();
  return 0;
}
