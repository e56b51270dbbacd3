#pragma once
// Values set once, on first need, and then read without locking: the one
// set-once cell of the binding, used for process-wide objects (`Once`) and
// for per-object readings (a feature value's token matrix).

#include "py_ref.h"

#include <atomic>
#include <mutex>
#include <optional>

namespace quillmark::py {

// A cell holding one T, empty until the first `get` whose maker succeeds.
// Invariants: value_ is written once, under mutex_, before ready_ becomes
// true; after that it never changes and is read without the mutex.
template <class T>
class OnceCell {
 public:
  constexpr OnceCell() = default;
  OnceCell(const OnceCell&) = delete;
  OnceCell& operator=(const OnceCell&) = delete;

  // The value, or null while the cell is empty. Callable with or without the
  // interpreter lock.
  const T* ready_value() const {
    return ready_.load(std::memory_order_acquire) ? &value_ : nullptr;
  }

  // The value, made by `make()` (a std::optional<T>) when the cell is empty.
  // Threads racing on the first call wait for the cell's mutex with the
  // interpreter lock released, so the maker can run Python code. An empty
  // result leaves the cell empty (a later call tries again) and gives null.
  // REQUIRES: the interpreter lock is held.
  template <class Make>
  const T* get(Make&& make) {
    if (const T* value = ready_value()) return value;
    // unique_lock: re-acquiring the interpreter lock may end this thread by a
    // forced unwind, which must not leave the mutex locked.
    std::unique_lock lock(mutex_, std::defer_lock);
    {
      Detach unlocked;
      lock.lock();
    }
    if (!ready_.load(std::memory_order_relaxed)) {
      std::optional<T> made = make();
      if (!made) return nullptr;
      value_ = std::move(*made);
      ready_.store(true, std::memory_order_release);
    }
    return &value_;
  }

 private:
  T value_{};
  std::atomic<bool> ready_{false};
  std::mutex mutex_;
};

// A process-wide object created by `make` the first time `get` is called and
// never released.
class Once {
 public:
  using Maker = PyObject* (*)();
  explicit constexpr Once(Maker make) : make_(make) {}

  // Returns a borrowed reference, or null with a Python exception set when
  // making failed (a later call tries again). REQUIRES: the interpreter lock.
  PyObject* get() {
    PyObject* const* object = cell_.get([this]() -> std::optional<PyObject*> {
      if (PyObject* made = make_()) return made;
      return std::nullopt;
    });
    return object ? *object : nullptr;
  }

 private:
  Maker make_;
  OnceCell<PyObject*> cell_;
};

}  // namespace quillmark::py
