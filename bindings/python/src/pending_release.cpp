#include "pending_release.h"

#include <atomic>
#include <mutex>
#include <new>
#include <vector>

namespace quillmark::py {

namespace {

// Invariant: `queued` is non-zero iff `queue` is not empty (both changed
// under `mutex`); `queued` lets the hot path (every end of a detached region)
// skip the mutex.
struct PendingReleases {
  std::mutex mutex;
  std::vector<PyObject*> queue;  // guarded by mutex; each an owned reference
  std::atomic<std::size_t> queued{0};
  // Whether a pending call to drain is registered with the interpreter.
  std::atomic<bool> call_registered{false};
};

// Never destroyed: threads may queue while the process exits.
PendingReleases& pending() {
  static auto* p = new PendingReleases;
  return *p;
}

bool interpreter_gone() { return !Py_IsInitialized() || interpreter_finalizing(); }

int drain_from_pending_call(void*) {
  pending().call_registered.store(false, std::memory_order_release);
  drain_pending_releases();
  return 0;
}

}  // namespace

void release_reference(PyObject* object) noexcept {
  if (object == nullptr || interpreter_gone()) return;
  if (PyGILState_Check()) {
    Py_DECREF(object);
    return;
  }
  PendingReleases& p = pending();
  {
    std::lock_guard lock(p.mutex);
    try {
      p.queue.push_back(object);
    } catch (const std::bad_alloc&) {
      return;  // leaked: better than blocking or crashing
    }
    p.queued.fetch_add(1, std::memory_order_release);
  }
  // At most one pending call at a time; when the interpreter's list of
  // pending calls is full, the next release tries again, and the next end of
  // a detached region drains the queue anyway.
  if (!p.call_registered.exchange(true, std::memory_order_acq_rel) &&
      Py_AddPendingCall(drain_from_pending_call, nullptr) != 0)
    p.call_registered.store(false, std::memory_order_release);
}

std::size_t pending_release_count() noexcept { return pending().queued.load(std::memory_order_acquire); }

void drain_pending_releases() noexcept {
  PendingReleases& p = pending();
  if (p.queued.load(std::memory_order_acquire) == 0) return;
  std::vector<PyObject*> batch;
  {
    std::lock_guard lock(p.mutex);
    batch.swap(p.queue);
    p.queued.store(0, std::memory_order_release);
  }
  // Dropping may run Python code (finalizers), which may queue more; those
  // wait for the next drain.
  for (PyObject* object : batch) Py_DECREF(object);
}

}  // namespace quillmark::py
