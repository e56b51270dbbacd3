#include "search/query.h"

#include <string>

namespace quillmark {

Result<TokenMatrix> TokenMatrix::make(std::vector<float> values, std::size_t dimension) {
  if (values.empty() || dimension == 0)
    return std::unexpected(
        Error::invalid_input("token matrix must have shape [tokens, dimension] with non-zero axes"));
  if (values.size() % dimension != 0)
    return std::unexpected(Error::invalid_input(std::to_string(values.size()) + " values do not form rows of dimension " +
                                                std::to_string(dimension)));
  return TokenMatrix(std::move(values), dimension);
}

Feature::Feature(Private, Representation representation, std::shared_ptr<const FeatureValue> value,
                 std::optional<FeatureProvider> provider)
    : representation_(std::move(representation)), value_(std::move(value)), provider_(std::move(provider)) {
  QM_INVARIANT((value_ != nullptr) != provider_.has_value(), "a feature has exactly one of value or provider");
  ready_.store(value_ != nullptr, std::memory_order_release);
}

std::shared_ptr<const Feature> Feature::value(Representation representation,
                                              std::shared_ptr<const FeatureValue> value) {
  QM_INVARIANT(value != nullptr, "a feature value is not null");
  return std::make_shared<const Feature>(Private{}, std::move(representation), std::move(value), std::nullopt);
}

std::shared_ptr<const Feature> Feature::lazy(Representation representation, FeatureProvider provider) {
  QM_INVARIANT(static_cast<bool>(provider), "a feature provider is callable");
  return std::make_shared<const Feature>(Private{}, std::move(representation), nullptr, std::move(provider));
}

Result<std::shared_ptr<const FeatureValue>> Feature::value() const {
  if (ready_.load(std::memory_order_acquire)) return value_;
  if (producing_thread_.load(std::memory_order_relaxed) == std::this_thread::get_id())
    return std::unexpected(Error::invalid_input("a feature provider asked for the feature it is producing"));
  std::optional<FeatureProvider> spent;  // destroyed after the mutex is released
  UniqueLock lock(mutex_);
  if (ready_.load(std::memory_order_relaxed)) return value_;
  QM_INVARIANT(provider_.has_value(), "an unmaterialized feature keeps its provider");
  producing_thread_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  Result<std::shared_ptr<const FeatureValue>> produced;
  {
    // Cleared however the provider returns, a thrown exception or a forced
    // unwind of this thread included.
    struct ClearProducer {
      std::atomic<std::thread::id>& id;
      ~ClearProducer() { id.store(std::thread::id(), std::memory_order_relaxed); }
    } clear{producing_thread_};
    produced = (*provider_)();
  }
  if (!produced) return produced;  // the provider stays for the next request
  QM_INVARIANT(*produced != nullptr, "a feature provider returns a value");
  value_ = std::move(*produced);
  ready_.store(true, std::memory_order_release);
  spent = std::move(provider_);
  provider_.reset();
  lock.unlock();
  return value_;
}

Query Query::make(SharedText text) { return Query(std::move(text), std::make_shared<const Features>()); }

Query Query::make(SharedText text, Features features) {
  for (const auto& [name, feature] : features) QM_INVARIANT(feature != nullptr, "a query feature is not null");
  return Query(std::move(text), std::make_shared<const Features>(std::move(features)));
}

Result<std::shared_ptr<const Feature>> Query::require_feature(std::string_view name,
                                                              const Representation& required) const {
  auto it = features_->find(SharedText(name));
  if (it == features_->end()) {
    std::string available;
    for (const auto& [present, feature] : *features_) {
      if (!available.empty()) available += ", ";
      available += "'" + present.str() + "'";
    }
    return std::unexpected(Error::incompatible_query("query has no '" + std::string(name) +
                                                     "' feature; available: [" + available + "]"));
  }
  QM_TRY(required.assert_compatible(it->second->representation()));
  return it->second;
}

}  // namespace quillmark
