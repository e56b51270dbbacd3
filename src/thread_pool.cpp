#include "thread_pool.h"

#include <atomic>
#include <pthread.h>

namespace quillmark {

namespace {
thread_local ThreadPool* current_pool = nullptr;
}

struct ThreadPool::Job {
  std::function<void(std::size_t)> body;
  std::size_t count = 0;
  std::atomic<std::size_t> next{0};  // first unclaimed index
  std::mutex mutex;
  std::condition_variable finished_cv;
  std::size_t finished = 0;  // guarded by mutex
  std::exception_ptr error;  // guarded by mutex: the first body exception
};

ThreadPool::ThreadPool(std::size_t workers) {
  workers_.reserve(workers);
  try {
    for (std::size_t i = 0; i < workers; ++i) workers_.emplace_back([this] { worker_loop(); });
  } catch (...) {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : workers_) t.join();
    throw;
  }
}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& t : workers_) t.join();
}

ThreadPool* ThreadPool::current() { return current_pool; }

void ThreadPool::help(Job& job) {
  for (;;) {
    const std::size_t i = job.next.fetch_add(1, std::memory_order_relaxed);
    if (i >= job.count) return;
    std::exception_ptr error;
    try {
      job.body(i);
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard lock(job.mutex);
    if (error && !job.error) job.error = error;
    if (++job.finished == job.count) job.finished_cv.notify_all();
  }
}

void ThreadPool::worker_loop() {
  current_pool = this;
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock lock(mutex_);
      for (;;) {
        // A job whose indices are all claimed needs no more helpers; its
        // claimers finish it.
        while (!jobs_.empty() && jobs_.front()->next.load(std::memory_order_relaxed) >= jobs_.front()->count)
          jobs_.pop_front();
        if (!jobs_.empty()) {
          job = jobs_.front();
          break;
        }
        if (stopping_) return;
        wake_.wait(lock);
      }
    }
    help(*job);
  }
}

void ThreadPool::for_each_index(std::size_t n, const std::function<void(std::size_t)>& body) {
  if (n == 0) return;
  auto job = std::make_shared<Job>();
  job->body = body;
  job->count = n;
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(job);
  }
  if (n == 1) wake_.notify_one();
  else wake_.notify_all();
  // A worker of this pool runs indices itself (it may be the only free one);
  // any other thread just waits.
  if (current_pool == this) help(*job);
  {
    std::unique_lock lock(job->mutex);
    job->finished_cv.wait(lock, [&] { return job->finished == job->count; });
  }
  {
    // Every index is claimed; make sure the job no longer sits in the queue.
    std::lock_guard lock(mutex_);
    for (auto it = jobs_.begin(); it != jobs_.end(); ++it)
      if (*it == job) {
        jobs_.erase(it);
        break;
      }
  }
  if (job->error) std::rethrow_exception(job->error);
}

void ThreadPool::run_on_worker(const std::function<void()>& operation) {
  for_each_index(1, [&](std::size_t) { operation(); });
}

namespace {

std::atomic<ThreadPool*> default_instance{nullptr};
// Never destroyed, and replaced in a forked child, where the parent's lock
// state means nothing.
std::atomic<std::mutex*> default_mutex{new std::mutex};

// A forked child has none of the parent's threads: forget the parent's pool
// (leaking it, as its threads cannot be joined) so the child makes its own.
void forget_default_pool_in_child() {
  default_instance.store(nullptr, std::memory_order_relaxed);
  default_mutex.store(new std::mutex, std::memory_order_relaxed);
}

}  // namespace

ThreadPool& default_pool() {
  if (ThreadPool* p = default_instance.load(std::memory_order_acquire)) return *p;
  std::lock_guard lock(*default_mutex.load(std::memory_order_acquire));
  if (ThreadPool* p = default_instance.load(std::memory_order_acquire)) return *p;
  static const bool registered = [] { return pthread_atfork(nullptr, nullptr, forget_default_pool_in_child) == 0; }();
  (void)registered;
  const unsigned cpus = std::thread::hardware_concurrency();
  // Kept for the process: its threads must outlive every caller, static
  // destructors included.
  auto* pool = new ThreadPool(cpus == 0 ? 1 : cpus);
  default_instance.store(pool, std::memory_order_release);
  return *pool;
}

}  // namespace quillmark
