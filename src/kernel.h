#pragma once
// Batched MaxSim: scores packed documents against one query.
//
// A document's score is the sum over query tokens of the token's largest dot
// product with any of the document's tokens. Documents are cut into batches
// bounded by a token budget; each batch is one sgemm into the worker's
// SIMILARITY_BUFFER followed by a vectorised maximum per (document, token).

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "error.h"

namespace quillmark {

// The kernel's own batch bound when the caller gives none.
inline constexpr std::size_t kDefaultMaxBatchTokens = 32768;

// A half-open range of document indices scored as one batch.
struct Work {
  std::size_t start;
  std::size_t end;
  friend bool operator==(const Work&, const Work&) = default;
};

// Greedy batches over documents with the given prefix offsets (n+1 entries):
// each batch holds at least one document and grows while its rows stay within
// max_batch_tokens. Batches are contiguous, in order, and cover every document.
std::vector<Work> batches(std::span<const std::size_t> offsets, std::size_t max_batch_tokens);

// Scores every document of `documents` (rows of `dimension` floats, split by
// `lengths`) against `query`. Returns one score per document in document
// order, or InvalidInput for malformed shapes, lengths, batch bound or thread
// count (checked before any scoring). Results do not depend on `threads`.
// The inputs are only read, possibly from several threads at once.
Result<std::vector<float>> maxsim_scores(std::span<const float> query, std::span<const float> documents,
                                         std::span<const std::size_t> lengths, std::size_t dimension,
                                         std::optional<std::size_t> max_batch_tokens,
                                         std::optional<std::size_t> threads);

// The kernel without its maximum: validates like maxsim_scores, then runs
// the same batches, pool rule and per-batch sgemm into the per-thread buffer,
// and discards the similarities. Returns the number of batches, or the same
// InvalidInput errors as maxsim_scores. It measures the limit the BLAS puts on
// the kernel (benchmarks) and is not a scoring operation.
Result<std::size_t> maxsim_product_only(std::span<const float> query, std::span<const float> documents,
                                        std::span<const std::size_t> lengths, std::size_t dimension,
                                        std::optional<std::size_t> max_batch_tokens,
                                        std::optional<std::size_t> threads);

}  // namespace quillmark
