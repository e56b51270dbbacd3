#pragma once
// Small RAII helpers over the CPython C API: an owned reference, a scope that
// releases the interpreter lock, and a scope that attaches a foreign thread.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <optional>
#include <utility>

namespace quillmark::py {

// True once this thread is being ended by a forced unwind: re-acquiring the
// lock in a finalizing interpreter ends the calling thread (pthread_exit), and
// the unwind must then pass every frame without touching the lock again.
// One flag per thread for the whole process (defined in py_ref.cpp, so every
// module loading the binding shares it).
bool& thread_exiting() noexcept;

// Whether the interpreter is finalizing (the only time a thread re-acquiring
// the lock, or running Python code, can be ended by a forced unwind).
inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing();
#else
  return _Py_IsFinalizing();
#endif
}

// An owned (strong) reference; null means "no object" or "error set".
class Ref {
 public:
  Ref() = default;
  // Takes ownership of a new reference (may be null).
  static Ref steal(PyObject* o) { return Ref(o); }
  // Adds a reference to a borrowed one.
  static Ref borrow(PyObject* o) {
    Py_XINCREF(o);
    return Ref(o);
  }
  Ref(const Ref& o) : obj_(o.obj_) { Py_XINCREF(obj_); }
  Ref(Ref&& o) noexcept : obj_(std::exchange(o.obj_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(obj_, o.obj_);
    return *this;
  }
  // Leaks instead when a finalizing interpreter ended this thread while it
  // ran Python code or waited for the lock: the lock is not held then.
  ~Ref() {
    if (!obj_ || (interpreter_finalizing() && (thread_exiting() || !PyGILState_Check()))) return;
    Py_DECREF(obj_);
  }

  PyObject* get() const { return obj_; }
  // Gives up ownership to the caller.
  PyObject* release() { return std::exchange(obj_, nullptr); }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  explicit Ref(PyObject* o) : obj_(o) {}
  PyObject* obj_ = nullptr;
};

// Drops the references that threads without the lock queued for release
// (pending_release.cpp). REQUIRES: the lock is held.
void drain_pending_releases() noexcept;

// Releases the interpreter lock for its lifetime; re-acquires it on every
// exit path, exceptions included. REQUIRES: the lock is held on entry.
// The destructor may end the thread by a forced unwind (a finalizing
// interpreter), so it is not noexcept.
class Detach {
 public:
  Detach() : state_(PyEval_SaveThread()) {}
  ~Detach() noexcept(false) {
    if (thread_exiting()) return;  // unwinding out of a finalizing interpreter
    try {
      PyEval_RestoreThread(state_);
    } catch (...) {  // a C function: only a forced unwind comes through here
      thread_exiting() = true;
      throw;
    }
    drain_pending_releases();
  }
  Detach(const Detach&) = delete;
  Detach& operator=(const Detach&) = delete;

 private:
  PyThreadState* state_;
};

// Acquires the interpreter lock for this thread (any thread, pool workers
// included) for its lifetime. Acquiring, or any Python code run meanwhile,
// may end the thread by a forced unwind (a finalizing interpreter); the lock
// is then not held and not released.
class Attach {
 public:
  Attach() {
    try {
      state_ = PyGILState_Ensure();
    } catch (...) {  // a C function: only a forced unwind comes through here
      thread_exiting() = true;
      throw;
    }
  }
  ~Attach() noexcept(false) {
    if (thread_exiting()) return;
    // Python code run in this scope may have ended the thread while it
    // waited for the lock: the forced unwind then reaches here without the
    // lock, and nothing below may take it again.
    if (!PyGILState_Check()) {
      thread_exiting() = true;
      return;
    }
    PyGILState_Release(state_);
  }
  Attach(const Attach&) = delete;
  Attach& operator=(const Attach&) = delete;

 private:
  PyGILState_STATE state_;
};

// Runs core work with the interpreter lock released; returns its result.
// The lock is held again when this returns or throws. An exception thrown by
// the work is held until the lock is back: re-acquiring the lock in a
// finalizing interpreter ends the thread by a forced unwind, and a forced
// unwind starting while another exception unwinds would abort the process.
template <class F>
auto detached(F&& work) -> decltype(work()) {
  using R = decltype(work());
  std::exception_ptr error;
  std::optional<R> result;
  {
    Detach scope;
    try {
      result.emplace(work());
    } catch (...) {
      error = std::current_exception();
      if (!error) throw;  // a forced unwind: the scope does not re-attach
    }
  }
  if (error) std::rethrow_exception(error);
  return std::move(*result);
}

}  // namespace quillmark::py
