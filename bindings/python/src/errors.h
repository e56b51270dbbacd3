#pragma once
// The module's exceptions and the one conversion from a core Error to a
// Python exception.

#include "py_ref.h"

#include <exception>
#include <memory>

#include "base/error.h"

namespace quillmark::py {

// The cached exception types (borrowed), or null with an exception set.
PyObject* incompatible_index_error();
PyObject* incompatible_query_error();
PyObject* commit_not_durable_error();

// Sets the Python exception for `error` (to_py): the module's exception types
// for the incompatibility variants, ValueError for InvalidInput, Ranking and
// Storage (CommitNotDurableError, a ValueError, for an unsynced
// publication), the OSError subclass of the I/O kind for Io with `errno`
// set (errno_of) and the I/O error's text as str(), and the carried Python
// exception itself for External. Always returns null.
PyObject* raise(const Error& error);

// Adds `note` to the currently raised exception's notes (its add_note), for
// a hint that leaves the exception's type and text as they are. REQUIRES:
// an exception is set and the lock is held; a failure to add the note keeps
// the original exception raised. Always returns null.
PyObject* add_note_to_raised(const char* note);

// Takes the currently raised Python exception (REQUIRES: one is set and the
// lock is held) into an External error that carries the same object.
Error take_python_error();

// The carried Python exception of an ExternalError, or null.
PyObject* carried_exception(const ExternalError& error);

// Sets a Python exception for a C++ exception that reached the binding
// boundary: MemoryError for std::bad_alloc, the invariant exception (deriving
// directly from BaseException) for everything else. Returns null. REQUIRES:
// `error` is not null (a forced unwind, which cannot be captured, never
// reaches here: guarded lets it pass).
PyObject* raise_cpp_exception(std::exception_ptr error);

// Runs a binding body and turns any C++ exception into a Python exception,
// so no C++ exception ever leaves the module. The one exception let through
// is the forced unwind that ends a thread re-acquiring the lock in a
// finalizing interpreter: swallowing it would abort the process, so this is
// not noexcept.
template <class F>
auto guarded(F&& body) -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    // A forced unwind is the one exception current_exception() cannot
    // capture (catching it by name binds a null reference).
    std::exception_ptr error = std::current_exception();
    if (!error) {
      thread_exiting() = true;
      throw;
    }
    raise_cpp_exception(std::move(error));
    if constexpr (std::is_same_v<decltype(body()), int>) return -1;
    else return nullptr;
  }
}

}  // namespace quillmark::py
