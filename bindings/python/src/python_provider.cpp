#include "python_provider.h"

#include <atomic>
#include <mutex>
#include <unordered_map>

#include "errors.h"
#include "query_types.h"
#include "shared_object.h"

namespace quillmark::py {

namespace {

class ProviderHandle;

// Lazy features built by the binding, mapped to the handle of their provider.
// An entry lives exactly as long as its handle: registered once the feature
// exists, removed by the handle's destructor (on any thread, with or without
// the interpreter lock; hence the mutex, which never waits for that lock).
struct Registry {
  std::mutex mutex;
  std::unordered_map<const Feature*, const ProviderHandle*> handles;  // guarded by mutex
};

Registry& registry() {
  static auto* r = new Registry;  // never destroyed: handles may die at exit
  return *r;
}

// The provider held by one lazy feature. Copies of the feature's provider
// function share it; it dies when the feature materialises or dies.
class ProviderHandle {
 public:
  explicit ProviderHandle(SharedObject provider) : provider_(std::move(provider)) {}
  ProviderHandle(const ProviderHandle&) = delete;
  ProviderHandle& operator=(const ProviderHandle&) = delete;
  ~ProviderHandle() {
    if (!feature_) return;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.handles.find(feature_);
    if (it != r.handles.end() && it->second == this) r.handles.erase(it);
  }

  void register_for(const Feature* feature) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    feature_ = feature;
    r.handles[feature] = this;
  }

  PyObject* provider() const { return provider_.get(); }
  bool sole_holder() const { return provider_.use_count() == 1; }

 private:
  SharedObject provider_;
  const Feature* feature_ = nullptr;  // set once, before the feature is shared
};

struct ProviderCall {
  std::shared_ptr<ProviderHandle> handle;

  Result<std::shared_ptr<const FeatureValue>> operator()() const {
    Attach lock;
    Ref result = Ref::steal(PyObject_CallNoArgs(handle->provider()));
    if (!result) return std::unexpected(take_python_error());
    return std::make_shared<const PythonValue>(std::move(result));
  }
};

}  // namespace

std::shared_ptr<const Feature> lazy_python_feature(Representation representation, Ref provider) {
  auto handle = std::make_shared<ProviderHandle>(share(std::move(provider)));
  ProviderHandle* raw = handle.get();
  std::shared_ptr<const Feature> feature = Feature::lazy(std::move(representation), ProviderCall{std::move(handle)});
  raw->register_for(feature.get());
  return feature;
}

int traverse_feature(const std::shared_ptr<const Feature>& feature, visitproc visit, void* arg) {
  // Only the caller's reference: no other thread can reach the feature, and
  // the fence orders this read after whatever the last other holder did
  // before dropping its reference (its materialisation included).
  if (!feature || feature.use_count() != 1) return 0;
  std::atomic_thread_fence(std::memory_order_acquire);
  if (feature->materialized()) {
    auto value = feature->value();  // the set cell; no provider runs
    if (!value || value->use_count() != 2) return 0;  // the feature's and this copy
    const auto* python = (*value)->as_any<PythonValue>();
    if (python && python->sole_holder()) Py_VISIT(python->object());
    return 0;
  }
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = r.handles.find(feature.get());
  if (it != r.handles.end() && it->second->sole_holder()) Py_VISIT(it->second->provider());
  return 0;
}

}  // namespace quillmark::py
