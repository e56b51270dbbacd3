#pragma once
// Batched MaxSim: scores packed documents against one query.
//
// A document's score is the sum over query tokens of the token's largest dot
// product with any of the document's tokens. Documents are cut into batches
// bounded by a token budget (batches()); each batch is scored by one worker:
//   1. One sgemm into the worker's SIMILARITY_BUFFER, laid out query tokens
//      by batch rows: the query_rows similarities of each batch row are
//      contiguous, and a document's rows are consecutive rows of the block.
//      A batch whose block would exceed the 16 MiB a thread keeps is
//      multiplied instead in the fewest blocks of consecutive rows that fit,
//      of equal size (cut by the batch's row count and the query's token
//      count alone), so a thread holds at most 16 MiB after a call.
//   2. Per document, a lane-wise maximum over its rows (one lane per query
//      token, rows in order, a NaN never wins: max_f32.h; a document cut by
//      a block boundary is folded on from block to block with the same
//      selection, giving the same bits), then the lanes summed in float32
//      from -0.0 in increasing query-token order.
// A call whose documents form a single batch of 4096 rows or more is scored
// in parts of about 2048 rows instead (cut like batches() cuts), so that its
// pool can share it; the parts depend on the lengths alone.
// Hence a score depends only on the batch bound, the BLAS and the processor,
// never on the thread count or on scheduling; every maximum routine gives
// the same bits.
// A query of a shape the fused kernel leads at (fused_maxsim.h:
// kernel_path) is scored without the similarity block instead: the same
// maximum and sum over its own dot products, each document's score then
// depending on its rows and the query alone, not on the batch bound.

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "base/error.h"

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

// The checks of maxsim_scores that do not depend on the document lengths,
// in its order: the query's shape, its 32-bit BLAS bound, `document_values`
// (the number of document floats) against `dimension`, the batch bound, then
// the thread count. Returns the same InvalidInput errors as maxsim_scores;
// a caller that forms its documents itself checks its call before forming
// them.
Result<void> check_maxsim_arguments(std::span<const float> query, std::size_t document_values,
                                    std::size_t dimension, std::optional<std::size_t> max_batch_tokens,
                                    std::optional<std::size_t> threads);

// Scores every document of `documents` (rows of `dimension` floats, split by
// `lengths`) against `query`. Returns one score per document in document
// order, or InvalidInput for malformed shapes, lengths, batch bound or thread
// count (check_maxsim_arguments, then the lengths, all before any scoring).
// Results do not depend on `threads`.
// The inputs are only read, possibly from several threads at once.
Result<std::vector<float>> maxsim_scores(std::span<const float> query, std::span<const float> documents,
                                         std::span<const std::size_t> lengths, std::size_t dimension,
                                         std::optional<std::size_t> max_batch_tokens,
                                         std::optional<std::size_t> threads);

// Bytes of similarity scratch the calling thread keeps for its next batch
// (the capacity of its SIMILARITY_BUFFER, and the fused kernel's running
// maxima: fused_maxsim.h): at most 16 MiB after any call.
// For tests of what a call leaves behind.
std::size_t retained_scratch_bytes_for_testing();
// Test hook: replaces the 16 MiB limit (0 restores it), so that tests can
// cut small batches into blocks. Returns the previous limit.
std::size_t set_retained_scratch_limit_for_testing(std::size_t bytes);

}  // namespace quillmark
