#pragma once
// The last step of every search: one optional score per candidate becomes a
// deterministic top-k.

#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "base/ranking_error.h"
#include "search/stage.h"

namespace quillmark {

// Returns the positions (indices into `candidates`) of the ranked candidates,
// best first, at most `limit` of them. Unscored candidates are never ranked.
// Order: higher score first under the IEEE 754 total order (+0.0 above -0.0,
// infinities allowed), equal scores by smaller gather_rank.
// Fails, before anything is ranked, with ScoreCount when there is not exactly
// one score per candidate, or NanScore at the first NaN score (also one that
// the limit would cut).
// REQUIRES: limit >= 1.
std::expected<std::vector<std::size_t>, RankingError> validate_and_rank(std::span<const Candidate> candidates,
                                                                         std::span<const std::optional<float>> scores,
                                                                         std::size_t limit);

}  // namespace quillmark
