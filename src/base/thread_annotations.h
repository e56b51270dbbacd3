#pragma once
// Lock annotations checked by clang's thread-safety analysis
// (-Wthread-safety; `make lint-threads` builds the core with it as an error)
// and empty under other compilers, plus the annotated mutex types they need:
// libstdc++'s std::mutex carries no capability attribute, so fields guarded by
// a plain std::mutex cannot be checked.
//
// Lock order: the one place it is written. A thread takes these locks only
// in this order (outermost first), and holds none of them while it waits for
// one further up:
//   1. a feature's mutex (Feature::mutex_, query.h): held while its provider
//      runs; a provider may ask for another feature, whose mutex then nests;
//   2. a feature value's cell (the binding's PythonValue conversion mutex):
//      held while the value is read as a matrix once;
//   3. a once cell (the binding's type and exception caches, held while one
//      is made; the default pool's creation mutex, thread_pool.cpp);
//   4. the Python interpreter lock: taken under any of the above (a Python
//      provider, stage or conversion attaches for its call), and therefore
//      always released before waiting for any of them (the binding detaches
//      before it calls into the core or waits for a cell);
//   5. leaf locks, under which nothing else is taken and nothing is called:
//      a thread pool's queue mutex and a job's mutex (ThreadPool, never held
//      while a body runs) and a store's current-view lock
//      (VectorStore::mutex_, held to read or swap one pointer).
// A pool worker starts each body with no lock held, so a body may take any of
// them afresh; a thread that waits for a pool job holds none of 1-4 that a
// body could need, which for the interpreter lock the binding guarantees by
// detaching first.

#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define QM_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QM_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) QM_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY QM_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) QM_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) QM_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) QM_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) QM_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) QM_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) QM_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) QM_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) QM_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) QM_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define EXCLUDES(...) QM_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) QM_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS QM_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace quillmark {

// std::mutex with the capability attribute.
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }

 private:
  friend class UniqueLock;  // waits on m_ through std::unique_lock
  std::mutex m_;
};

// std::shared_mutex with the capability attribute.
class CAPABILITY("mutex") SharedMutex {
 public:
  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }
  void lock_shared() ACQUIRE_SHARED() { m_.lock_shared(); }
  void unlock_shared() RELEASE_SHARED() { m_.unlock_shared(); }

 private:
  std::shared_mutex m_;
};

// Holds a Mutex for its scope (std::lock_guard).
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& m) ACQUIRE(m) : m_(m) { m_.lock(); }
  ~MutexLock() RELEASE() { m_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& m_;
};

// Holds a Mutex for its scope and lets a condition variable wait on it: the
// wait releases and re-takes the mutex inside the call, so to the analysis
// the mutex stays held throughout, which is what the caller observes.
class SCOPED_CAPABILITY UniqueLock {
 public:
  explicit UniqueLock(Mutex& m) ACQUIRE(m) : lock_(m.m_) {}
  ~UniqueLock() RELEASE() = default;
  UniqueLock(const UniqueLock&) = delete;
  UniqueLock& operator=(const UniqueLock&) = delete;

  // Releases the mutex before the end of the scope (at most once).
  void unlock() RELEASE() { lock_.unlock(); }
  // For std::condition_variable::wait.
  std::unique_lock<std::mutex>& native() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

// Holds a SharedMutex exclusively (WriterLock) or shared (ReaderLock).
class SCOPED_CAPABILITY WriterLock {
 public:
  explicit WriterLock(SharedMutex& m) ACQUIRE(m) : m_(m) { m_.lock(); }
  ~WriterLock() RELEASE() { m_.unlock(); }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  SharedMutex& m_;
};

class SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex& m) ACQUIRE_SHARED(m) : m_(m) { m_.lock_shared(); }
  ~ReaderLock() RELEASE() { m_.unlock_shared(); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  SharedMutex& m_;
};

}  // namespace quillmark
