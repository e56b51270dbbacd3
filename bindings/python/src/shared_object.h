#pragma once
// A Python object held by core values (a feature's provider or value, a
// Python stage): copied freely and dropped on any thread.

#include "pending_release.h"
#include "py_ref.h"

#include <memory>

namespace quillmark::py {

// Shared ownership of one Python reference. Whatever thread drops the last
// copy, the reference is released with the interpreter lock held: at once
// when that thread holds it, else later (release_reference); once the
// interpreter is finalising it is leaked instead. Dropping never blocks.
using SharedObject = std::shared_ptr<PyObject>;

// Takes over `object`'s reference. REQUIRES: the lock is held and `object`
// is not null.
inline SharedObject share(Ref object) {
  return SharedObject(object.release(), [](PyObject* o) { release_reference(o); });
}

}  // namespace quillmark::py
