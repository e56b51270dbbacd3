#pragma once
// The Python class MaxSimReranker over the core MaxSimReranker.

#include "py_ref.h"

#include <memory>

#include "search/stage.h"

namespace quillmark::py {

// The cached Python type (borrowed), or null with an exception set.
PyObject* maxsim_reranker_type();

// The core reranker of a MaxSimReranker instance, or null (no exception set)
// for any other object, so a pipeline uses the native stage directly.
// REQUIRES: the lock is held.
std::shared_ptr<const Reranker> native_reranker(PyObject* obj);

}  // namespace quillmark::py
