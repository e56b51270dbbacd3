#pragma once
// The reranker's path for a native store view: gather and score fused.
//
// Instead of fetching a whole batch into one new buffer and then scoring it,
// every batch is cut into the kernel batches the kernel would form from it,
// and each pool worker gathers one kernel batch's rows (decoding int8) into
// its own reused GATHER_BUFFER and scores it at once, while they are still in
// its cache. Workers thus overlap reading the store with the matrix products,
// and no buffer of a whole batch is ever allocated. The kernel sees exactly
// the rows, lengths and batch bounds it would see on a fetched batch, so the
// scores are the same.

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "error.h"
#include "maxsim.h"
#include "query.h"
#include "storage/store.h"

namespace quillmark {

// Scores `batches` (documents of `view` with the token counts the view
// reported) against `query`, in kernel batches of at most `kernel_batch_tokens`
// rows, on the pool the calling thread works in (the default pool outside any
// pool). Returns one score per document of each batch, batch by batch, or the
// error that fetching the batches one after another and scoring each with
// maxsim_scores(query, ..., kernel_batch_tokens, threads) would have met first:
// the fetch's InvalidInput for an absent document, fetched_vectors_disagree()
// for a length or dimension other than reported, the fetch's int8 Storage
// error, or the kernel's InvalidInput. Everything is checked before scoring
// starts; nothing is scored on failure.
Result<std::vector<std::vector<float>>> score_store_batches(const StoreView& view,
                                                            std::span<const TokenBatch> batches,
                                                            const TokenMatrix& query,
                                                            std::size_t kernel_batch_tokens,
                                                            std::optional<std::size_t> threads);

}  // namespace quillmark
