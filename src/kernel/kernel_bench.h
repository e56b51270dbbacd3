#pragma once
// Entry points of the kernel for benchmarks only: they measure parts of a
// scoring call and are not scoring operations.

#include <cstddef>
#include <optional>
#include <span>

#include "base/error.h"

namespace quillmark {

// Layout of a batch's similarity block (see kernel.cpp): query tokens by
// batch rows (the kernel's), or batch rows by query tokens.
enum class Orientation { QueryByBatch, BatchByQuery };

// The kernel without its maximum: validates like maxsim_scores, then runs
// the same batches, pool rule and sgemm calls into the per-thread buffer,
// and discards the similarities (laid out as `orientation`). Returns the
// number of units of work per call (the batches, or the parts of a single
// batch), or the same InvalidInput errors as maxsim_scores. It
// measures the limit the BLAS puts on the kernel (benchmarks) and is not a
// scoring operation.
Result<std::size_t> maxsim_product_only(std::span<const float> query, std::span<const float> documents,
                                        std::span<const std::size_t> lengths, std::size_t dimension,
                                        std::optional<std::size_t> max_batch_tokens,
                                        std::optional<std::size_t> threads,
                                        Orientation orientation = Orientation::QueryByBatch);

}  // namespace quillmark
