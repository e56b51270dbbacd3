#include "runtime/resource_budget.h"

namespace quillmark {

Result<ResourceBudget> ResourceBudget::make(std::size_t max_batch_tokens, std::size_t max_documents_per_batch,
                                            std::optional<std::size_t> threads) {
  if (max_batch_tokens == 0) return std::unexpected(Error::invalid_input("max_batch_tokens must be positive"));
  if (max_documents_per_batch == 0)
    return std::unexpected(Error::invalid_input("max_documents_per_batch must be positive"));
  if (threads && *threads == 0) return std::unexpected(Error::invalid_input("threads must be positive"));
  ResourceBudget budget;
  budget.max_batch_tokens_ = max_batch_tokens;
  budget.max_documents_per_batch_ = max_documents_per_batch;
  budget.threads_ = threads;
  return budget;
}

}  // namespace quillmark
