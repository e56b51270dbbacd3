#define QUILLMARK_NUMPY_IMPORT
#include "numpy_api.h"

namespace quillmark::py {

bool import_numpy() {
  if (PyArray_API != nullptr) return true;
  return PyArray_ImportNumPyAPI() == 0;
}

}  // namespace quillmark::py
