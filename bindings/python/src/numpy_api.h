#pragma once
// Includes the NumPy C API; every file of the binding shares one API table,
// filled by import_numpy() during module execution.

#include "py_ref.h"

#define PY_ARRAY_UNIQUE_SYMBOL quillmark_native_ARRAY_API
#ifndef QUILLMARK_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace quillmark::py {

// Loads the NumPy C API. Returns false with an ImportError set on failure.
bool import_numpy();

}  // namespace quillmark::py
