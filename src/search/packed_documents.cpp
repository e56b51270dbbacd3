#include "search/packed_documents.h"

#include <string>

namespace quillmark {

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
