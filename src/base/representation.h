#pragma once
// The description of an encoder's vector space. Queries, stores and stages
// carry one; two must be equal before vectors of one are scored against the
// other.

#include <cstdint>
#include <string>
#include <vector>

#include "base/error.h"

namespace quillmark {

// Invariants (checked by `make` and by every reader of the JSON form):
//   1. encoder and encoder_revision are not empty;
//   2. dimension >= 1.
// Templates are opaque text, never parsed or validated.
class Representation {
 public:
  // Returns InvalidInput "representation encoder must not be empty",
  // "representation encoder_revision must not be empty" or "representation
  // dimension must be positive" (first failing check, in that order).
  static Result<Representation> make(std::string encoder, std::string encoder_revision, std::uint64_t dimension,
                                     bool normalized);

  // The same representation with both templates replaced. Never fails.
  Representation with_templates(std::string query_template, std::string document_template) &&;

  const std::string& encoder() const { return encoder_; }
  const std::string& encoder_revision() const { return encoder_revision_; }
  std::uint64_t dimension() const { return dimension_; }
  bool normalized() const { return normalized_; }
  const std::string& query_template() const { return query_template_; }
  const std::string& document_template() const { return document_template_; }

  friend bool operator==(const Representation&, const Representation&) = default;

  // Succeeds when equal; otherwise IncompatibleQuery "representations differ
  // (...)" listing every differing field as "field: held != offered", joined
  // by "; ". `*this` is the held representation, `other` the offered one.
  Result<void> assert_compatible(const Representation& other) const;

 private:
  Representation() = default;

  std::string encoder_;
  std::string encoder_revision_;
  std::uint64_t dimension_ = 0;
  bool normalized_ = false;
  std::string query_template_;
  std::string document_template_;
};

// Appends "field: left != right" (values as given) when they differ.
void mismatch(std::vector<std::string>& lines, const char* field, const std::string& left, const std::string& right);

}  // namespace quillmark
