#pragma once
// A fixed set of worker threads that run index-parallel jobs.
//
// Invariants:
//   1. A pool's started-worker count (size()) never changes; the destructor
//      joins every started thread.
//   2. A job is finished only when every index has run (or was counted as
//      failed, see 4); the thread that submitted it returns only then.
//   3. A worker that submits a job to its own pool helps run it, so nested
//      parallel work never waits on itself. A pool with no live worker (none
//      could be started, or all were ended) runs its jobs on the submitting
//      thread.
//   4. Forced unwinds pass through. A thread ended by pthread_exit or by
//      cancellation unwinds with abi::__forced_unwind; CPython ends a thread
//      so when it re-takes the interpreter lock while the interpreter
//      finalizes. Every catch-all in the pool re-throws it (recognised as
//      the exception std::current_exception() cannot capture; catching
//      abi::__forced_unwind by name binds a null reference, which the
//      undefined-behaviour sanitizer rejects) and no frame of the pool
//      between a body and the thread's start is noexcept, so the unwind
//      ends the thread instead of std::terminate. Before it leaves:
//        - a body's index ended that way counts as finished with an error
//          (InvariantViolation "a pool worker was ended while running a job")
//          that the submitter re-throws, so the submitter is never left
//          waiting for it;
//        - a worker ended that way stops serving the pool; once no worker is
//          left, submitters run their jobs' remaining indices themselves;
//        - a submitter ended that way inside its own job first cancels the
//          job's unclaimed indices and waits for the claimed ones, because
//          the body may refer to the submitter's stack.
// Locks: mutex_ (the queue) and a job's mutex are leaves in the lock order
// of thread_annotations.h; neither is held while a body runs.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "base/error.h"
#include "base/thread_annotations.h"

namespace quillmark {

class ThreadPool {
 public:
  // Starts `workers` threads. Throws std::system_error when a thread cannot
  // be started (the threads already started are stopped first).
  explicit ThreadPool(std::size_t workers);
  // Starts up to `workers` threads and keeps those that started when one
  // cannot be: a pool of fewer (possibly zero) workers, never an exception
  // for a thread that cannot be started.
  static std::unique_ptr<ThreadPool> start_at_most(std::size_t workers);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // The number of worker threads started (0 for a pool that could start
  // none, whose work runs on the submitting threads).
  std::size_t size() const { return workers_.size(); }

  // Runs body(i) for every i in [0, n) on this pool's workers and returns when
  // all have finished. The first exception thrown by a body is rethrown here
  // after the others finished.
  void for_each_index(std::size_t n, const std::function<void(std::size_t)>& body) EXCLUDES(mutex_);

  // Runs `operation` on one of this pool's workers and waits for it.
  void run_on_worker(const std::function<void()>& operation) EXCLUDES(mutex_);

  // The pool whose worker the calling thread is, or null.
  static ThreadPool* current();

 private:
  struct Job;
  struct KeepStarted {};

  ThreadPool(std::size_t workers, KeepStarted);
  // Starts threads until `workers` run or one fails; returns the failure.
  std::exception_ptr start(std::size_t workers) EXCLUDES(mutex_);
  void stop_and_join() EXCLUDES(mutex_);
  void worker_loop() EXCLUDES(mutex_);
  // A worker is ending by a forced unwind: stop counting it, and wake the
  // submitters of queued jobs when it was the last.
  void retire_worker() EXCLUDES(mutex_);
  // Runs indices of `job` until none is left unclaimed.
  static void help(Job& job);
  // Waits until `job` is finished, running its indices here whenever the
  // pool has no live worker left.
  void wait_for(Job& job);
  void dequeue(const std::shared_ptr<Job>& job) EXCLUDES(mutex_);

  std::vector<std::thread> workers_;  // constant after construction
  std::atomic<std::size_t> live_{0};  // workers not ended by a forced unwind
  Mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Job>> jobs_ GUARDED_BY(mutex_);  // jobs with unclaimed indices
  bool stopping_ GUARDED_BY(mutex_) = false;
};

// The process-wide default pool: one worker per CPU available to the process
// (available_cpus.h), made on first use and kept for the life of the process
// (made anew in a forked child). When the system refuses to start its threads
// (a container's thread limit), it keeps the workers that did start, possibly
// none, and its work then runs on the calling threads: parallel loops never
// fail for want of threads.
ThreadPool& default_pool();

// A pool of exactly `workers` threads for one call. Returns InvalidInput
// "could not create a pool of {workers} worker threads: {reason}", reason the
// system's text for the failure of thread creation.
Result<std::unique_ptr<ThreadPool>> make_pool(std::size_t workers);

// Test hook: after `starts` more successful thread starts, every pool thread
// start fails as pthread_create does at a system thread limit (EAGAIN);
// nullopt restores normal starts.
void limit_thread_starts_for_testing(std::optional<std::size_t> starts);

}  // namespace quillmark
