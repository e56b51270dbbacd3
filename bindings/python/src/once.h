#pragma once
// A process-wide object created on first need and then kept for the process.

#include "py_ref.h"

#include <atomic>
#include <mutex>

namespace quillmark::py {

// Holds one object made by `make` the first time `get` is called. Threads that
// race on the first call wait for the first maker with the interpreter lock
// released, so the maker can run Python code. The object is never released.
class Once {
 public:
  using Maker = PyObject* (*)();
  explicit constexpr Once(Maker make) : make_(make) {}

  // Returns a borrowed reference, or null with a Python exception set when
  // making failed (a later call tries again).
  PyObject* get() {
    if (PyObject* o = object_.load(std::memory_order_acquire)) return o;
    // unique_lock: re-acquiring the interpreter lock may end this thread by a
    // forced unwind, which must not leave the mutex locked.
    std::unique_lock lock(mutex_, std::defer_lock);
    {
      Detach unlocked;
      lock.lock();
    }
    PyObject* o = object_.load(std::memory_order_acquire);
    if (!o) {
      o = make_();
      if (o) object_.store(o, std::memory_order_release);
    }
    return o;
  }

 private:
  Maker make_;
  std::atomic<PyObject*> object_{nullptr};
  std::mutex mutex_;
};

}  // namespace quillmark::py
