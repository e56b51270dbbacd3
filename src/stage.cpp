#include "stage.h"

#include <cxxabi.h>

#include <cstdlib>

namespace quillmark {

CandidateGenerator::~CandidateGenerator() = default;
Reranker::~Reranker() = default;

std::string short_type_name(const std::type_info& type) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string full = status == 0 && demangled != nullptr ? demangled : type.name();
  std::free(demangled);
  // Drop every template argument list, then keep what follows the last "::".
  std::string outer;
  int depth = 0;
  for (char c : full) {
    if (c == '<') ++depth;
    else if (c == '>') depth = depth > 0 ? depth - 1 : 0;
    else if (depth == 0) outer += c;
  }
  std::size_t cut = outer.rfind("::");
  return cut == std::string::npos ? outer : outer.substr(cut + 2);
}

std::string DocumentKey::debug() const {
  return debug_form(corpus_.view()) + "/" + debug_form(document_id_.view());
}

Subset Subset::restrict(SharedText corpus, Restriction restriction) const {
  Subset out = *this;  // copies the map's handles; the restrictions are shared
  out.restrictions_.insert_or_assign(std::move(corpus), std::make_shared<const Restriction>(std::move(restriction)));
  return out;
}

const Restriction* Subset::restriction(std::string_view corpus) const {
  auto it = restrictions_.find(corpus);
  return it == restrictions_.end() ? nullptr : it->second.get();
}

bool Subset::allows(std::string_view corpus, std::string_view document_id) const {
  const Restriction* r = restriction(corpus);
  return r != nullptr && r->allows(document_id);
}

bool operator==(const Subset& a, const Subset& b) {
  if (a.restrictions_.size() != b.restrictions_.size()) return false;
  for (auto ia = a.restrictions_.begin(), ib = b.restrictions_.begin(); ia != a.restrictions_.end(); ++ia, ++ib) {
    if (!(ia->first == ib->first)) return false;
    if (ia->second != ib->second && !(*ia->second == *ib->second)) return false;
  }
  return true;
}

Result<PackedDocuments> PackedDocuments::make(std::vector<float> vectors, std::vector<std::size_t> lengths,
                                              std::size_t dimension) {
  if (dimension == 0) return std::unexpected(Error::invalid_input("packed documents need a positive dimension"));
  std::size_t sum = 0;
  for (std::size_t length : lengths)
    if (length == 0) return std::unexpected(Error::invalid_input("document lengths must be positive"));
  for (std::size_t length : lengths)
    if (__builtin_add_overflow(sum, length, &sum))
      return std::unexpected(Error::invalid_input("document lengths overflow usize"));
  std::size_t values = 0;
  if (__builtin_mul_overflow(sum, dimension, &values) || values != vectors.size())
    return std::unexpected(Error::invalid_input(
        "document lengths sum to " + std::to_string(sum) + ", but " + std::to_string(vectors.size()) +
        " values form " + std::to_string(vectors.size() / dimension) + " rows of dimension " +
        std::to_string(dimension)));
  return PackedDocuments(std::move(vectors), std::move(lengths), dimension);
}

}  // namespace quillmark
