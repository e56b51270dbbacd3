#pragma once
// A query: its raw text plus named features, each an encoding of the query
// tagged with the representation it lives in. A feature's value is given up
// front or produced on first demand by a provider, and materialised at most
// once however many stages and threads ask for it.

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <thread>
#include <typeinfo>
#include <vector>

#include "base/error.h"
#include "base/representation.h"
#include "base/text.h"
#include "base/thread_annotations.h"

namespace quillmark {

// A query's token vectors: `tokens` rows of `dimension` floats, row-major.
// Invariants (checked by `make`): dimension >= 1, tokens >= 1, and the value
// count is tokens * dimension.
class TokenMatrix {
 public:
  // Returns InvalidInput "token matrix must have shape [tokens, dimension]
  // with non-zero axes" when `values` or `dimension` is empty/zero, else
  // InvalidInput "{count} values do not form rows of dimension {dimension}"
  // when the count is not a multiple of `dimension`.
  static Result<TokenMatrix> make(std::vector<float> values, std::size_t dimension);

  std::span<const float> values() const { return values_; }
  std::size_t dimension() const { return dimension_; }
  std::size_t tokens() const { return values_.size() / dimension_; }

 private:
  TokenMatrix(std::vector<float> values, std::size_t dimension)
      : values_(std::move(values)), dimension_(dimension) {}

  std::vector<float> values_;
  std::size_t dimension_;
};

// The value of a materialised feature. Implementations are immutable or
// internally synchronised: every operation may be called from any thread.
class FeatureValue {
 public:
  virtual ~FeatureValue() = default;

  // The concrete kind of the value.
  const std::type_info& type() const { return typeid(*this); }
  // The value as the concrete kind T, or null when it is another kind (so a
  // binding can recover the values it made itself).
  template <class T>
  const T* as_any() const {
    return dynamic_cast<const T*>(this);
  }
  // The value read as a token matrix, or null when it cannot be read as one.
  // Repeated calls return the same reading.
  virtual std::shared_ptr<const TokenMatrix> token_matrix() const = 0;
};

// A native value that is a token matrix already.
class TokenMatrixValue final : public FeatureValue {
 public:
  explicit TokenMatrixValue(TokenMatrix matrix) : matrix_(std::make_shared<const TokenMatrix>(std::move(matrix))) {}
  std::shared_ptr<const TokenMatrix> token_matrix() const override { return matrix_; }

 private:
  std::shared_ptr<const TokenMatrix> matrix_;
};

// Produces a feature's value on first demand. Called with no lock of the
// caller's held beyond the feature's own mutex; it may take the interpreter
// lock. Destroyed on whatever thread drops the feature's last reference, or
// right after its first success.
using FeatureProvider = std::function<Result<std::shared_ptr<const FeatureValue>>()>;

// One named encoding of a query. Shared between queries and threads; only the
// value cell changes, once.
//
// Invariants:
//   1. while the value cell is empty, the provider slot holds a provider;
//   2. once the cell is set it never changes, and the slot is empty.
// Locks: mutex_ is held while the provider runs, so it comes before anything
// the provider takes (the interpreter lock for a Python provider) in the
// lock order of thread_annotations.h; a caller of value() must not hold the
// interpreter lock.
class Feature {
  struct Private {};

 public:
  // A feature whose value is already known. REQUIRES: value is not null.
  static std::shared_ptr<const Feature> value(Representation representation,
                                              std::shared_ptr<const FeatureValue> value);
  // A feature whose value `provider` produces when it is first asked for.
  static std::shared_ptr<const Feature> lazy(Representation representation, FeatureProvider provider);

  Feature(Private, Representation representation, std::shared_ptr<const FeatureValue> value,
          std::optional<FeatureProvider> provider);
  Feature(const Feature&) = delete;
  Feature& operator=(const Feature&) = delete;

  const Representation& representation() const { return representation_; }

  // The materialised value. The first request runs the provider under the
  // feature's mutex; concurrent requests wait for it and then share its
  // value. Returns the provider's error when it fails; the provider then stays
  // in place and the next request calls it again. A provider that asks for its
  // own feature on the same thread gets InvalidInput "a feature provider asked
  // for the feature it is producing" instead of a deadlock.
  // REQUIRES: the caller does not hold the Python interpreter lock.
  Result<std::shared_ptr<const FeatureValue>> value() const EXCLUDES(mutex_);

  // Whether the value cell is set.
  bool materialized() const { return ready_.load(std::memory_order_acquire); }

 private:
  // Constant after construction.
  const Representation representation_;

  mutable Mutex mutex_;
  // Set once, under mutex_, before ready_ becomes true; read without the lock
  // only after ready_ is seen true.
  mutable std::shared_ptr<const FeatureValue> value_;
  mutable std::atomic<bool> ready_{false};
  mutable std::optional<FeatureProvider> provider_ GUARDED_BY(mutex_);
  // The thread running the provider (default id when none). Written under
  // mutex_; a thread only ever finds its own id here while it is that thread.
  mutable std::atomic<std::thread::id> producing_thread_{};
};

// The raw text plus the named features. Immutable and cheap to copy: copies
// share the text and the feature map.
// Invariant: feature names are unique, held in byte-wise order.
class Query {
 public:
  using Features = std::map<SharedText, std::shared_ptr<const Feature>>;

  // A query with the given text and no features.
  static Query make(SharedText text);
  // A query with the given text and features. REQUIRES: no null feature.
  static Query make(SharedText text, Features features);

  const SharedText& text() const { return text_; }
  const Features& features() const { return *features_; }

  // The feature `name` (exact, byte-wise match), checked against the
  // representation the caller requires. Returns IncompatibleQuery "query has
  // no '{name}' feature; available: [...]" (every name in order, each in
  // single quotes, joined by ", ") when it is missing, or the IncompatibleQuery
  // of `required.assert_compatible(feature representation)` when the feature
  // comes from another representation. Does not materialise the feature.
  Result<std::shared_ptr<const Feature>> require_feature(std::string_view name,
                                                         const Representation& required) const;

 private:
  Query(SharedText text, std::shared_ptr<const Features> features)
      : text_(std::move(text)), features_(std::move(features)) {}

  SharedText text_;
  std::shared_ptr<const Features> features_;  // never null
};

}  // namespace quillmark
