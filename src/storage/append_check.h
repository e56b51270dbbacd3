#pragma once
// The checks a batch of documents must pass before a writer appends it,
// usable without a writer so that a caller splitting one batch over several
// writers refuses it whole, with the writer's own words.

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/error.h"
#include "base/representation.h"
#include "base/text.h"

namespace quillmark {

// The first failing check, in this order, as InvalidInput: the column count
// against the representation's dimension, a non-empty matrix, non-empty
// positive lengths, lengths summing to the rows, finite values, unit rows
// when the representation is normalized (validate_embeddings), one id per
// length, no id twice (quoted in debug form). `values` holds the rows
// packed, `columns` values each.
Result<void> check_append(const Representation& representation, std::span<const SharedText> ids,
                          std::span<const float> values, std::size_t columns, std::span<const std::uint64_t> lengths);

// Whether every row of `dimension` values has a Euclidean length within
// 0.0011 of 1 (single precision, squares summed in index order). Rows are
// tested in parallel on the default pool; stops at the first failing row.
// REQUIRES: dimension >= 1 and values.size() is a multiple of it.
bool validate_embeddings(std::span<const float> values, std::size_t dimension);

}  // namespace quillmark
