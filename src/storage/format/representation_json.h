#pragma once
// A representation as the manifest stores it: the JSON object of the
// manifest's `representation` member.

#include <expected>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "base/representation.h"

namespace quillmark {

// The JSON form (the `representation` member of manifest.json): an object
// with "encoder", "encoder_revision", "dimension", "normalized" (required) and
// "query_template", "document_template" (optional, empty when absent); other
// members are ignored. On failure returns the message of the JSON error: the
// missing or mistyped field named, or the text of the failed `make` check.
// Duplicate members are detected by the parser that built `json`, not here.
std::expected<Representation, std::string> representation_from_json(const nlohmann::json& json);
// Writes all six members in field order.
void representation_to_json(const Representation& representation, nlohmann::ordered_json& out);

}  // namespace quillmark
