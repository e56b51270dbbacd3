#pragma once
// Token vectors of several documents handed from a source to the scorer. It
// owns its two buffers and is moved, not copied, along the data flow.

#include <cstddef>
#include <utility>
#include <vector>

#include "base/error.h"

namespace quillmark {

// Token vectors of several documents: row-major float32 rows of `dimension`
// values, the documents' rows one after another in the order of `lengths`.
// Invariants (established by make):
//   1. dimension >= 1;
//   2. every length >= 1;
//   3. sum(lengths) * dimension == vectors.size() (without overflow).
// So document i occupies the rows from the sum of the lengths before it.
class PackedDocuments {
 public:
  // Takes ownership of both buffers. Returns InvalidInput, checked in this
  // order: "packed documents need a positive dimension", "document lengths
  // must be positive", "document lengths overflow usize", "document lengths
  // sum to {sum}, but {values} values form {rows} rows of dimension {dim}".
  static Result<PackedDocuments> make(std::vector<float> vectors, std::vector<std::size_t> lengths,
                                      std::size_t dimension);

  const std::vector<float>& vectors() const { return vectors_; }
  const std::vector<std::size_t>& lengths() const { return lengths_; }
  std::size_t dimension() const { return dimension_; }
  std::size_t document_count() const { return lengths_.size(); }
  std::size_t row_count() const { return vectors_.size() / dimension_; }

  // Gives up the vector buffer, so a consumer can own it without a copy.
  std::vector<float> take_vectors() && { return std::move(vectors_); }

 private:
  PackedDocuments(std::vector<float> vectors, std::vector<std::size_t> lengths, std::size_t dimension)
      : vectors_(std::move(vectors)), lengths_(std::move(lengths)), dimension_(dimension) {}

  std::vector<float> vectors_;
  std::vector<std::size_t> lengths_;
  std::size_t dimension_;
};

}  // namespace quillmark
