#pragma once
// How a reranker cuts one corpus's documents into batches fetched and scored
// together: by token count, below both the fetching and the gathering paths.

#include <cstddef>
#include <span>
#include <vector>

#include "base/text.h"

namespace quillmark {

// A batch of one corpus's documents, fetched and scored together.
struct TokenBatch {
  std::vector<SharedText> ids;
  std::vector<std::size_t> lengths;    // the token count of each id, as the view reported it
  std::vector<std::size_t> positions;  // the position of each id in the ids token_batches was given
};

// The batches of one chunk of held documents: `ids` (with their token
// counts `lengths`) in byte-wise ascending id order, at most
// max_documents_per_batch of them. Sorted by (token count, id) ascending, then
// cut greedily so that a batch holds at most max_batch_tokens tokens (a
// single longer document forms its own batch).
std::vector<TokenBatch> token_batches(std::span<const SharedText> ids, std::span<const std::size_t> lengths,
                                      std::size_t max_batch_tokens);

}  // namespace quillmark
