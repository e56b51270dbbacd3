#pragma once
// The reranker's path for a view that offers its rows (RowGatherer): gather
// and score fused.
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

#include "base/error.h"
#include "search/query.h"
#include "search/row_gatherer.h"

namespace quillmark {

// Scores the documents of `plans` (one plan per batch, of rows of `view`,
// e.g. from view.locate_rows) against `query`, in kernel batches of at most
// `kernel_batch_tokens` rows, on the pool the calling thread works in (the
// default pool outside any pool). Returns one score per document of each
// plan, plan by plan, or the error that fetching the plans' rows one plan
// after another and scoring each with maxsim_scores(query, ...,
// kernel_batch_tokens, threads) would have met first: for each plan, the
// check_rows error of its rows (for a native int8 store, its Storage error),
// then fetched_vectors_disagree() for a row dimension other than the
// query's, and after the first plan the kernel's InvalidInput. Everything
// is checked before scoring starts; nothing is scored on failure.
// REQUIRES: every plan's ranges are rows of `view`, its lengths their
// (positive) row counts and its rows their sum.
Result<std::vector<std::vector<float>>> score_gathered_batches(const RowGatherer& view,
                                                               std::span<const FetchPlan> plans,
                                                               const TokenMatrix& query,
                                                               std::size_t kernel_batch_tokens,
                                                               std::optional<std::size_t> threads);

}  // namespace quillmark
