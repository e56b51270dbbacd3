#pragma once
// The module's exceptions and the one conversion from a core Error to a
// Python exception.

#include "py_ref.h"

#include <exception>
#include <memory>

#include "error.h"

namespace quillmark::py {

// The cached exception types (borrowed), or null with an exception set.
PyObject* incompatible_index_error();
PyObject* incompatible_query_error();

// Makes this copy of the binding raise the exception types of the module
// `native` (quillmark._native). Used by the test-only module, which links its
// own copy of the binding. Returns false with an exception set on failure.
bool share_exception_types(PyObject* native);

// Sets the Python exception for `error` (to_py): the module's exception types
// for the incompatibility variants, ValueError for InvalidInput, Ranking and
// Storage, the OSError subclass of the I/O kind for Io, and the carried
// Python exception itself for External. Always returns null.
PyObject* raise(const Error& error);

// Takes the currently raised Python exception (REQUIRES: one is set and the
// lock is held) into an External error that carries the same object.
Error take_python_error();

// The carried Python exception of an ExternalError, or null.
PyObject* carried_exception(const ExternalError& error);

// Sets a Python exception for a C++ exception that reached the binding
// boundary: MemoryError for std::bad_alloc, the invariant exception (deriving
// directly from BaseException) for everything else. Returns null.
PyObject* raise_cpp_exception(std::exception_ptr error);

// Runs a binding body and turns any C++ exception into a Python exception,
// so no C++ exception ever leaves the module.
template <class F>
auto guarded(F&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    raise_cpp_exception(std::current_exception());
    if constexpr (std::is_same_v<decltype(body()), int>) return -1;
    else return nullptr;
  }
}

}  // namespace quillmark::py
