#include "search/token_batch.h"

#include <algorithm>
#include <numeric>
#include <utility>

#include "base/error.h"

namespace quillmark {

std::vector<TokenBatch> token_batches(std::span<const SharedText> ids, std::span<const std::size_t> lengths,
                                      std::size_t max_batch_tokens) {
  QM_INVARIANT(ids.size() == lengths.size(), "one token count per id");
  std::vector<std::size_t> order(ids.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    if (lengths[a] != lengths[b]) return lengths[a] < lengths[b];
    return ids[a] < ids[b];
  });

  std::vector<TokenBatch> out;
  TokenBatch current;
  std::size_t total = 0;
  for (std::size_t i : order) {
    // Compared as a difference, so a huge count cannot overflow the sum.
    if (!current.ids.empty() && lengths[i] > max_batch_tokens - std::min(total, max_batch_tokens)) {
      out.push_back(std::move(current));
      current = TokenBatch{};
      total = 0;
    }
    current.ids.push_back(ids[i]);
    current.lengths.push_back(lengths[i]);
    current.positions.push_back(i);
    total += lengths[i];
  }
  if (!current.ids.empty()) out.push_back(std::move(current));
  return out;
}

}  // namespace quillmark
