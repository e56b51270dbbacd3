#pragma once
// The resource budget of one rerank: how many token rows and documents are
// fetched and scored at a time, and on how many threads.

#include <cstddef>
#include <optional>

#include "base/error.h"

namespace quillmark {

// An immutable, validated value; cheap to copy and safe to share.
// Invariants (checked by `make`; the default budget satisfies them):
//   1. max_batch_tokens >= 1;
//   2. max_documents_per_batch >= 1;
//   3. threads, when present, >= 1.
// No upper bound is checked here: a max_batch_tokens beyond the kernel's
// 32-bit BLAS bound is rejected by the kernel when the budget is used.
class ResourceBudget {
 public:
  static constexpr std::size_t kDefaultMaxBatchTokens = 131072;
  static constexpr std::size_t kDefaultMaxDocumentsPerBatch = 256;

  // The default budget: 131072 tokens, 256 documents, no thread count.
  ResourceBudget() = default;

  // Returns InvalidInput "max_batch_tokens must be positive",
  // "max_documents_per_batch must be positive" or "threads must be positive"
  // (the first failing check, in that order).
  static Result<ResourceBudget> make(std::size_t max_batch_tokens, std::size_t max_documents_per_batch,
                                     std::optional<std::size_t> threads);

  // Upper bound on token rows fetched and scored in one batch (a single
  // longer document still forms its own batch).
  std::size_t max_batch_tokens() const { return max_batch_tokens_; }
  // Upper bound on documents in one reranker batch.
  std::size_t max_documents_per_batch() const { return max_documents_per_batch_; }
  // Size of the pool for the work (the `install` rule); absent means the
  // calling thread's pool or the shared default pool.
  std::optional<std::size_t> threads() const { return threads_; }

  friend bool operator==(const ResourceBudget&, const ResourceBudget&) = default;

 private:
  std::size_t max_batch_tokens_ = kDefaultMaxBatchTokens;
  std::size_t max_documents_per_batch_ = kDefaultMaxDocumentsPerBatch;
  std::optional<std::size_t> threads_;
};

}  // namespace quillmark
