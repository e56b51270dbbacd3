#include "runtime/thread_pool.h"

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <limits>
#include <pthread.h>
#include <string>
#include <system_error>
#include <utility>

#include "runtime/available_cpus.h"

namespace quillmark {

namespace {

thread_local ThreadPool* current_pool = nullptr;

constexpr std::size_t kUnlimitedStarts = std::numeric_limits<std::size_t>::max();
std::atomic<std::size_t> starts_left{kUnlimitedStarts};

// Consumes one allowed start of the test hook; false when none is left.
bool hook_allows_start() {
  std::size_t left = starts_left.load(std::memory_order_relaxed);
  while (left != kUnlimitedStarts) {
    if (left == 0) return false;
    if (starts_left.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) return true;
  }
  return true;
}

// The error std::thread reports when pthread_create meets a system limit.
std::system_error thread_limit_error() { return std::system_error(std::error_code(EAGAIN, std::generic_category())); }

std::exception_ptr ended_error() {
  return std::make_exception_ptr(InvariantViolation("a pool worker was ended while running a job"));
}

// The first number in a /proc file, or nullopt.
std::optional<std::uint64_t> read_proc_number(const char* path) {
  std::ifstream in(path);
  std::uint64_t value = 0;
  if (!(in >> value)) return std::nullopt;
  return value;
}

// The most threads the kernel lets any process have: each needs a task slot
// (threads-max) and a process ID (pid_max). pthread_create fails with EAGAIN
// at either limit; a request above it cannot succeed, so it is refused with
// that same error instead of first starting tens of thousands of threads.
// The limits of the user (RLIMIT_NPROC, not enforced for privileged users)
// and of the cgroup are met, if at all, by the starts themselves.
std::uint64_t kernel_thread_limit() {
  std::uint64_t limit = std::numeric_limits<std::uint64_t>::max();
  for (const char* path : {"/proc/sys/kernel/threads-max", "/proc/sys/kernel/pid_max"})
    if (auto value = read_proc_number(path)) limit = std::min(limit, *value);
  return limit;
}

}  // namespace

struct ThreadPool::Job {
  std::function<void(std::size_t)> body;
  std::size_t count = 0;
  std::atomic<std::size_t> next{0};  // first unclaimed index (may run past count)
  Mutex mutex;
  std::condition_variable finished_cv;
  std::size_t finished GUARDED_BY(mutex) = 0;
  std::exception_ptr error GUARDED_BY(mutex);  // the first body exception

  // Counts `indices` indices as done, with `failure` when one failed.
  void finish(std::exception_ptr failure, std::size_t indices) {
    MutexLock lock(mutex);
    if (failure && !error) error = std::move(failure);
    finished += indices;
    if (finished == count) finished_cv.notify_all();
  }
  bool done() {
    MutexLock lock(mutex);
    return finished == count;
  }
  // Claims every index not yet claimed and counts it as failed, so that no
  // thread starts the body again.
  void cancel_unclaimed() {
    const std::size_t first = next.exchange(count, std::memory_order_relaxed);
    if (first < count) finish(ended_error(), count - first);
  }
};

ThreadPool::ThreadPool(std::size_t workers) {
  if (std::exception_ptr failure = start(workers)) {
    stop_and_join();
    std::rethrow_exception(failure);
  }
}

ThreadPool::ThreadPool(std::size_t workers, KeepStarted) { (void)start(workers); }

std::unique_ptr<ThreadPool> ThreadPool::start_at_most(std::size_t workers) {
  return std::unique_ptr<ThreadPool>(new ThreadPool(workers, KeepStarted{}));
}

ThreadPool::~ThreadPool() { stop_and_join(); }

std::exception_ptr ThreadPool::start(std::size_t workers) {
  for (std::size_t i = 0; i < workers; ++i) {
    live_.fetch_add(1, std::memory_order_relaxed);
    try {
      if (!hook_allows_start()) throw thread_limit_error();
      workers_.emplace_back([this] { worker_loop(); });
    } catch (...) {
      // A thread that cannot start (system_error) or whose start state
      // cannot be allocated (bad_alloc): no thread was made for this slot.
      // Escaping here would destroy the started threads unjoined.
      live_.fetch_sub(1, std::memory_order_relaxed);
      return std::current_exception();
    }
  }
  return nullptr;
}

void ThreadPool::stop_and_join() {
  {
    MutexLock lock(mutex_);
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
      if (!error) {
        // Not a C++ exception that can be carried to the submitter: a
        // forced unwind ending this thread. Its index must not keep the
        // submitter waiting, and the unwind must go on.
        job.finish(ended_error(), 1);
        throw;
      }
    }
    job.finish(std::move(error), 1);
  }
}

void ThreadPool::worker_loop() {
  current_pool = this;
  try {
    for (;;) {
      std::shared_ptr<Job> job;
      {
        UniqueLock lock(mutex_);
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
          wake_.wait(lock.native());
        }
      }
      help(*job);
    }
  } catch (...) {  // this thread is ending (help() keeps body exceptions)
    retire_worker();
    throw;
  }
}

void ThreadPool::retire_worker() {
  std::vector<std::shared_ptr<Job>> queued;
  {
    MutexLock lock(mutex_);
    if (live_.fetch_sub(1, std::memory_order_relaxed) != 1) return;
    queued.assign(jobs_.begin(), jobs_.end());
  }
  // Submitters check live_ under their job's mutex before they wait, so
  // taking it here means each either sees 0 or is woken.
  for (auto& job : queued) {
    MutexLock lock(job->mutex);
    job->finished_cv.notify_all();
  }
}

void ThreadPool::wait_for(Job& job) {
  for (;;) {
    {
      UniqueLock lock(job.mutex);
      while (job.finished != job.count &&
             !(live_.load(std::memory_order_relaxed) == 0 && job.next.load(std::memory_order_relaxed) < job.count))
        job.finished_cv.wait(lock.native());
      if (job.finished == job.count) return;
    }
    // No worker is left to claim the rest.
    help(job);
  }
}

void ThreadPool::dequeue(const std::shared_ptr<Job>& job) {
  MutexLock lock(mutex_);
  for (auto it = jobs_.begin(); it != jobs_.end(); ++it)
    if (*it == job) {
      jobs_.erase(it);
      break;
    }
}

void ThreadPool::for_each_index(std::size_t n, const std::function<void(std::size_t)>& body) {
  if (n == 0) return;
  auto job = std::make_shared<Job>();
  job->body = body;
  job->count = n;
  {
    MutexLock lock(mutex_);
    jobs_.push_back(job);
  }
  if (n == 1) wake_.notify_one();
  else wake_.notify_all();
  try {
    // A worker of this pool runs indices itself (it may be the only free
    // one); any other thread just waits, unless no worker is left.
    if (current_pool == this) help(*job);
    wait_for(*job);
  } catch (...) {
    // A forced unwind of this thread (or an allocation failure while
    // waiting). The body may refer to this thread's stack, which the unwind
    // is about to free: no index may start or still run once it continues.
    job->cancel_unclaimed();
    while (!job->done()) {
      UniqueLock lock(job->mutex);
      if (job->finished != job->count) job->finished_cv.wait(lock.native());
    }
    dequeue(job);
    throw;
  }
  // Every index is claimed; make sure the job no longer sits in the queue.
  dequeue(job);
  // Taken out of the job, so that a worker dropping the last reference to
  // the job never frees the exception this thread is still handling.
  std::exception_ptr error;
  {
    MutexLock lock(job->mutex);
    error = std::exchange(job->error, nullptr);
  }
  if (error) std::rethrow_exception(std::move(error));
}

void ThreadPool::run_on_worker(const std::function<void()>& operation) {
  for_each_index(1, [&](std::size_t) { operation(); });
}

Result<std::unique_ptr<ThreadPool>> make_pool(std::size_t workers) {
  auto failed = [&](const std::system_error& e) {
    return std::unexpected(Error::invalid_input("could not create a pool of " + std::to_string(workers) +
                                                " worker threads: " + e.what()));
  };
  if (workers > kernel_thread_limit()) return failed(thread_limit_error());
  try {
    return std::make_unique<ThreadPool>(workers);
  } catch (const std::system_error& e) {
    return failed(e);
  }
}

void limit_thread_starts_for_testing(std::optional<std::size_t> starts) {
  starts_left.store(starts ? *starts : kUnlimitedStarts, std::memory_order_relaxed);
}

namespace {

std::atomic<ThreadPool*> default_instance{nullptr};
// Never destroyed, and replaced in a forked child, where the parent's lock
// state means nothing.
std::atomic<Mutex*> default_mutex{new Mutex};

// A forked child has none of the parent's threads: forget the parent's pool
// (leaking it, as its threads cannot be joined) so the child makes its own.
void forget_default_pool_in_child() {
  default_instance.store(nullptr, std::memory_order_relaxed);
  default_mutex.store(new Mutex, std::memory_order_relaxed);
}

}  // namespace

ThreadPool& default_pool() {
  if (ThreadPool* p = default_instance.load(std::memory_order_acquire)) return *p;
  Mutex& creation = *default_mutex.load(std::memory_order_acquire);
  MutexLock lock(creation);
  if (ThreadPool* p = default_instance.load(std::memory_order_acquire)) return *p;
  static const bool registered = [] { return pthread_atfork(nullptr, nullptr, forget_default_pool_in_child) == 0; }();
  (void)registered;
  // Kept for the process: its threads must outlive every caller, static
  // destructors included.
  ThreadPool* pool = ThreadPool::start_at_most(available_cpus()).release();
  default_instance.store(pool, std::memory_order_release);
  return *pool;
}

}  // namespace quillmark
