#pragma once
// Releasing Python references from threads that may not hold the interpreter
// lock (core values holding Python objects die on whatever thread drops them
// last: pool workers, a search thread, a thread leaving a detached region).

#include "py_ref.h"

#include <cstddef>

namespace quillmark::py {

// Drops one strong reference to `object`: at once when this thread holds the
// lock, else queued and dropped the next time the binding holds the lock (a
// pending call of the interpreter, or the end of any detached region). Never
// blocks on the lock and never calls Python without it. Before the interpreter
// is initialised and once it is finalising, the reference is leaked.
void release_reference(PyObject* object) noexcept;

// The number of references queued and not yet dropped.
std::size_t pending_release_count() noexcept;

}  // namespace quillmark::py
