#pragma once
// The Python classes Feature and Query, and the binding's feature value: a
// Python object read as a token matrix on demand.

#include "once.h"
#include "py_ref.h"

#include <memory>
#include <optional>

#include "search/query.h"
#include "shared_object.h"

namespace quillmark::py {

// A feature value backed by an arbitrary Python object (a `value=` argument or
// what a provider returned). Safe to use and drop on any thread.
class PythonValue final : public FeatureValue {
 public:
  // REQUIRES: the lock is held and `object` is not null.
  explicit PythonValue(Ref object) : object_(share(std::move(object))) {}

  // The held object (borrowed; valid while this value lives).
  PyObject* object() const { return object_.get(); }
  // Whether this value holds the only copy of its reference to the object
  // (what a garbage-collector traversal may claim). REQUIRES: the lock.
  bool sole_holder() const { return object_.use_count() == 1; }

  // The object read as a float32 [tokens, dimension] matrix (converted by
  // NumPy when it is not one already, copied row-major); null when it cannot
  // be read as one or has an empty axis. Computed on the first call, with the
  // lock taken for that; later calls return the same reading. Callable with or
  // without the lock held.
  std::shared_ptr<const TokenMatrix> token_matrix() const override;

 private:
  SharedObject object_;
  mutable OnceCell<std::shared_ptr<const TokenMatrix>> matrix_;
};

// value_to_py: the very object a PythonValue holds; for another value, a new
// float32 array copy of its token matrix; else TypeError. Returns null with
// the exception set on failure. REQUIRES: the lock is held.
Ref value_to_py(const FeatureValue& value);

// The cached Python types (borrowed), or null with an exception set.
PyObject* feature_type();
PyObject* query_type();

// The core query of a `Query` instance (sharing its text and features, in a
// map of its own), or empty with TypeError for any other object.
// REQUIRES: the lock is held.
std::optional<Query> query_from_py(PyObject* obj);
// A new `Query` object sharing `query`'s text and features (in a map of its
// own).
Ref query_to_py(const Query& query);
// A new `Feature` object sharing `feature`.
Ref feature_to_py(std::shared_ptr<const Feature> feature);

}  // namespace quillmark::py
