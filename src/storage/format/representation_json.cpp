#include "storage/format/representation_json.h"

#include <nlohmann/json.hpp>

namespace quillmark {

namespace {

std::expected<std::string, std::string> string_member(const nlohmann::json& json, const char* name, bool required) {
  auto it = json.find(name);
  if (it == json.end()) {
    if (required) return std::unexpected(std::string("missing field `") + name + "`");
    return std::string();
  }
  if (!it->is_string())
    return std::unexpected(std::string("invalid type for field `") + name + "`: " + it->type_name() +
                           ", expected a string");
  return it->get<std::string>();
}

}  // namespace

std::expected<Representation, std::string> representation_from_json(const nlohmann::json& json) {
  if (!json.is_object())
    return std::unexpected(std::string("invalid type: ") + json.type_name() + ", expected struct RepresentationFields");
  auto encoder = string_member(json, "encoder", true);
  if (!encoder) return std::unexpected(encoder.error());
  auto revision = string_member(json, "encoder_revision", true);
  if (!revision) return std::unexpected(revision.error());
  auto dim = json.find("dimension");
  if (dim == json.end()) return std::unexpected(std::string("missing field `dimension`"));
  if (!dim->is_number_unsigned())
    return std::unexpected(std::string("invalid type for field `dimension`: ") + dim->type_name() +
                           ", expected a non-negative integer");
  auto normalized = json.find("normalized");
  if (normalized == json.end()) return std::unexpected(std::string("missing field `normalized`"));
  if (!normalized->is_boolean())
    return std::unexpected(std::string("invalid type for field `normalized`: ") + normalized->type_name() +
                           ", expected a boolean");
  auto query_template = string_member(json, "query_template", false);
  if (!query_template) return std::unexpected(query_template.error());
  auto document_template = string_member(json, "document_template", false);
  if (!document_template) return std::unexpected(document_template.error());
  auto made = Representation::make(std::move(*encoder), std::move(*revision), dim->get<std::uint64_t>(),
                                   normalized->get<bool>());
  if (!made) return std::unexpected(made.error().text());
  return std::move(*made).with_templates(std::move(*query_template), std::move(*document_template));
}

void representation_to_json(const Representation& r, nlohmann::ordered_json& out) {
  out = nlohmann::ordered_json::object();
  out["encoder"] = r.encoder();
  out["encoder_revision"] = r.encoder_revision();
  out["dimension"] = r.dimension();
  out["normalized"] = r.normalized();
  out["query_template"] = r.query_template();
  out["document_template"] = r.document_template();
}

}  // namespace quillmark
