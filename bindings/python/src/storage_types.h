#pragma once
// The Python reader classes VectorStore and StoreView over the core store
// reader. Both are immutable from Python; a VectorStore follows the commits
// of its directory through view().

#include "py_ref.h"

#include <memory>

#include "storage/store.h"

namespace quillmark::py {

// The cached Python types (borrowed), or null with an exception set.
PyObject* vector_store_type();
PyObject* store_view_type();

// The core store of a `VectorStore` instance, or null (no exception set) for
// any other object: lets a consumer use the native store directly instead of
// calling back into Python. REQUIRES: the lock is held.
std::shared_ptr<const VectorStore> native_vector_store(PyObject* obj);

// A new `StoreView` wrapping `view`. REQUIRES: the lock is held.
Ref store_view_to_py(std::shared_ptr<const StoreView> view);

}  // namespace quillmark::py
