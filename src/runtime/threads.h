#pragma once
// The thread-pool rule every `threads` argument follows, and the parallel loop
// that work inside it uses.

#include <cstddef>
#include <optional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "base/error.h"
#include "runtime/thread_pool.h"

namespace quillmark {

namespace detail {
template <class R>
struct is_result : std::false_type {};
template <class T>
struct is_result<Result<T>> : std::true_type {};
}  // namespace detail

// Runs `operation` (returning Result<T>) on the pool chosen by `threads`:
// - absent: on the calling thread; its parallel parts run on the calling
//   thread's pool, or the default pool for a thread outside any pool;
// - 0: InvalidInput "threads must be positive";
// - t: directly when the caller is a worker of a pool of exactly t workers;
//   for a caller outside any pool, on a worker of the default pool when that
//   pool has exactly t workers; otherwise on a new pool of t workers made for
//   this call only and shut down (its threads joined) before returning.
// In every case with t the operation runs on a worker of a pool of exactly t
// workers. Borrowing the default pool only saves starting and joining t
// threads, whose per-thread scratch buffers would also start cold on every
// call (measured about 5% of a 1,000-candidate rerank).
// Returns the operation's result, or InvalidInput "could not create a pool of
// {t} worker threads: {reason}" when the pool cannot be built (make_pool).
// A forced unwind of the calling thread or of the worker passes through (see
// thread_pool.h); nothing here is noexcept.
template <class Operation>
auto install(std::optional<std::size_t> threads, Operation&& operation) -> std::invoke_result_t<Operation&> {
  using R = std::invoke_result_t<Operation&>;
  static_assert(detail::is_result<R>::value, "install runs operations returning Result<T>");
  if (!threads) return operation();
  if (*threads == 0) return std::unexpected(Error::invalid_input("threads must be positive"));
  ThreadPool* current = ThreadPool::current();
  if (current && current->size() == *threads) return operation();
  auto run_on = [&](ThreadPool& pool) -> R {
    std::optional<R> result;
    pool.run_on_worker([&] { result.emplace(operation()); });
    return std::move(*result);
  };
  if (!current && default_pool().size() == *threads) return run_on(default_pool());
  std::unique_ptr<ThreadPool> pool = QM_TRY(make_pool(*threads));
  return run_on(*pool);
}

// Calls body(i) for i in [0, n), one index per task, on the calling thread's
// pool (the default pool for a thread outside any pool). Returns when every
// index has run; the order of calls is unspecified.
template <class Body>
void parallel_for_each_index(std::size_t n, Body&& body) {
  if (n == 0) return;
  if (n == 1) {
    body(std::size_t{0});
    return;
  }
  ThreadPool* pool = ThreadPool::current();
  (pool ? *pool : default_pool()).for_each_index(n, [&](std::size_t i) { body(i); });
}

// The number of workers of the pool the calling thread works in (the default
// pool's for a thread outside any pool).
inline std::size_t current_pool_size() {
  ThreadPool* pool = ThreadPool::current();
  return (pool ? *pool : default_pool()).size();
}

}  // namespace quillmark
