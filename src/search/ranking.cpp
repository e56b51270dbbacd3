#include "search/ranking.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

namespace quillmark {

namespace {

// A key whose signed integer order is the IEEE 754 total order of the float:
// negative floats have their magnitude bits flipped so that they order
// descending, and -0.0 lands just below +0.0.
std::int32_t total_order_key(float value) {
  auto bits = std::bit_cast<std::int32_t>(value);
  return bits ^ static_cast<std::int32_t>(static_cast<std::uint32_t>(bits >> 31) >> 1);
}

}  // namespace

std::expected<std::vector<std::size_t>, RankingError> validate_and_rank(std::span<const Candidate> candidates,
                                                                         std::span<const std::optional<float>> scores,
                                                                         std::size_t limit) {
  if (scores.size() != candidates.size())
    return std::unexpected(RankingError::score_count(candidates.size(), scores.size()));
  std::size_t present = 0;
  for (std::size_t i = 0; i < scores.size(); ++i) {
    if (!scores[i]) continue;
    if (std::isnan(*scores[i])) return std::unexpected(RankingError::nan_score(i));
    ++present;
  }

  // One allocation: the positions of the scored candidates, sorted in place
  // and cut to the limit, are the result.
  std::vector<std::size_t> positions;
  positions.reserve(present);
  for (std::size_t i = 0; i < scores.size(); ++i)
    if (scores[i]) positions.push_back(i);

  auto better = [&](std::size_t a, std::size_t b) {
    std::int32_t ka = total_order_key(*scores[a]);
    std::int32_t kb = total_order_key(*scores[b]);
    if (ka != kb) return ka > kb;
    std::size_t ra = candidates[a].gather_rank;
    std::size_t rb = candidates[b].gather_rank;
    if (ra != rb) return ra < rb;
    return a < b;  // only for callers that repeat gather ranks: stays deterministic
  };
  const std::size_t kept = std::min(limit, positions.size());
  if (kept < positions.size()) {
    std::partial_sort(positions.begin(), positions.begin() + static_cast<std::ptrdiff_t>(kept), positions.end(),
                      better);
    positions.resize(kept);
  } else {
    std::sort(positions.begin(), positions.end(), better);
  }
  return positions;
}

}  // namespace quillmark
