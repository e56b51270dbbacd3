#pragma once
// The Python class VectorStoreWriter over the core store writer: one writer
// per instance behind one mutex, taken only with the interpreter lock
// released (the `corpus` property excepted: no writer operation calls into
// Python while holding the mutex, so waiting for it with the lock held
// cannot deadlock).

#include "py_ref.h"

namespace quillmark::py {

// The cached Python type (borrowed), or null with an exception set.
PyObject* vector_store_writer_type();

}  // namespace quillmark::py
