#pragma once
// A fixed set of worker threads that run index-parallel jobs.
//
// Invariants:
//   1. A pool's worker count never changes; its threads live from
//      construction to destruction (the destructor joins them).
//   2. A job is finished only when every index has run; the thread that
//      submitted it returns only then.
//   3. A worker that submits a job to its own pool helps run it, so nested
//      parallel work never waits on itself.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace quillmark {

class ThreadPool {
 public:
  // Starts `workers` threads. Throws std::system_error when a thread cannot
  // be started (the threads already started are stopped first).
  explicit ThreadPool(std::size_t workers);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  std::size_t size() const { return workers_.size(); }

  // Runs body(i) for every i in [0, n) on this pool's workers and returns when
  // all have finished. The first exception thrown by a body is rethrown here
  // after the others finished.
  void for_each_index(std::size_t n, const std::function<void(std::size_t)>& body);

  // Runs `operation` on one of this pool's workers and waits for it.
  void run_on_worker(const std::function<void()>& operation);

  // The pool whose worker the calling thread is, or null.
  static ThreadPool* current();

 private:
  struct Job;

  void worker_loop();
  // Runs indices of `job` until none is left unclaimed.
  static void help(Job& job);

  std::vector<std::thread> workers_;  // constant after construction
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Job>> jobs_;  // guarded by mutex_: jobs with unclaimed indices
  bool stopping_ = false;                  // guarded by mutex_
};

// The process-wide default pool: one worker per available CPU, made on first
// use and kept for the life of the process (made anew in a forked child).
ThreadPool& default_pool();

}  // namespace quillmark
