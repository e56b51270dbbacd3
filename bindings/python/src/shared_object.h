#pragma once
// A Python object held by core values (a feature's provider or value, a
// Python stage): copied freely and dropped on any thread.

#include "py_ref.h"

#include <memory>

namespace quillmark::py {

// Shared ownership of one Python reference. The reference is released with
// the interpreter lock held, whatever thread drops the last copy; after the
// interpreter has been finalised it is leaked instead.
using SharedObject = std::shared_ptr<PyObject>;

// Takes over `object`'s reference. REQUIRES: the lock is held and `object`
// is not null.
inline SharedObject share(Ref object) {
  return SharedObject(object.release(), [](PyObject* o) {
    if (!Py_IsInitialized()) return;
    Attach lock;
    Py_DECREF(o);
  });
}

}  // namespace quillmark::py
