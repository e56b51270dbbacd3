#pragma once
// StoreView.stats() and StoreView.snapshot(): the store operations of a view,
// kept apart from the reading members in storage_types.cpp.

#include "py_ref.h"

#include <memory>

#include "storage/store.h"

namespace quillmark::py {

// stats(): a new dict (see _native.pyi); the counting runs with the lock
// released. REQUIRES: the lock is held.
PyObject* view_stats(std::shared_ptr<const StoreView> view);

// snapshot(destination, *, link=True): None, or the error raised. The
// snapshot runs with the lock released. REQUIRES: the lock is held.
PyObject* view_snapshot(std::shared_ptr<const StoreView> view, PyObject* args, PyObject* kwargs);

}  // namespace quillmark::py
