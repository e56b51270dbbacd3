#include "base/representation.h"

#include "base/text.h"

namespace quillmark {

Result<Representation> Representation::make(std::string encoder, std::string encoder_revision,
                                            std::uint64_t dimension, bool normalized) {
  if (encoder.empty()) return std::unexpected(Error::invalid_input("representation encoder must not be empty"));
  if (encoder_revision.empty())
    return std::unexpected(Error::invalid_input("representation encoder_revision must not be empty"));
  if (dimension == 0) return std::unexpected(Error::invalid_input("representation dimension must be positive"));
  Representation r;
  r.encoder_ = std::move(encoder);
  r.encoder_revision_ = std::move(encoder_revision);
  r.dimension_ = dimension;
  r.normalized_ = normalized;
  return r;
}

Representation Representation::with_templates(std::string query_template, std::string document_template) && {
  query_template_ = std::move(query_template);
  document_template_ = std::move(document_template);
  return std::move(*this);
}

void mismatch(std::vector<std::string>& lines, const char* field, const std::string& left,
              const std::string& right) {
  if (left != right) lines.push_back(std::string(field) + ": " + left + " != " + right);
}

Result<void> Representation::assert_compatible(const Representation& other) const {
  std::vector<std::string> lines;
  auto b = [](bool v) { return std::string(v ? "true" : "false"); };
  mismatch(lines, "encoder", debug_form(encoder_), debug_form(other.encoder_));
  mismatch(lines, "encoder_revision", debug_form(encoder_revision_), debug_form(other.encoder_revision_));
  mismatch(lines, "dimension", std::to_string(dimension_), std::to_string(other.dimension_));
  mismatch(lines, "normalized", b(normalized_), b(other.normalized_));
  mismatch(lines, "query_template", debug_form(query_template_), debug_form(other.query_template_));
  mismatch(lines, "document_template", debug_form(document_template_), debug_form(other.document_template_));
  if (lines.empty()) return {};
  std::string joined;
  for (std::size_t i = 0; i < lines.size(); ++i) joined += (i ? "; " : "") + lines[i];
  return std::unexpected(Error::incompatible_query("representations differ (" + joined + ")"));
}

}  // namespace quillmark
