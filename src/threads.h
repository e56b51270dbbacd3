#pragma once
// The thread-pool rule every `threads` argument follows, and the parallel loop
// that work inside it uses.
//
// Pools are oneTBB task arenas: an arena of t slots is a pool of t workers.
// A thread outside any arena runs parallel work in the process-wide default
// arena, sized to the available CPUs and created on first use.

#include <cstddef>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "error.h"

namespace quillmark {

namespace detail {
// True when the calling thread is running inside a pool whose size is `threads`.
bool in_pool_of(std::size_t threads);
template <class R>
struct is_result : std::false_type {};
template <class T>
struct is_result<Result<T>> : std::true_type {};
}  // namespace detail

// Runs `operation` (returning Result<T>) on the pool chosen by `threads`:
// - absent: on the calling thread; its parallel parts run on the calling
//   thread's pool, or the default pool for a thread outside any pool;
// - 0: InvalidInput "threads must be positive";
// - t: directly when the caller already works in a pool of exactly t workers,
//   otherwise inside a new pool of t workers made for this call only.
// Returns the operation's result, or InvalidInput "could not create a pool of
// {t} worker threads: {reason}" when the pool cannot be built.
template <class Operation>
auto install(std::optional<std::size_t> threads, Operation&& operation)
    -> std::invoke_result_t<Operation&> {
  using R = std::invoke_result_t<Operation&>;
  static_assert(detail::is_result<R>::value, "install runs operations returning Result<T>");
  if (!threads) return operation();
  if (*threads == 0) return std::unexpected(Error::invalid_input("threads must be positive"));
  if (detail::in_pool_of(*threads)) return operation();
  std::optional<tbb::task_arena> arena;
  try {
    // TBB clamps absurd sizes silently; refuse them like a failed thread start.
    if (*threads > 65536) throw std::length_error("Resource temporarily unavailable");
    arena.emplace(static_cast<int>(*threads));
    arena->initialize();
  } catch (const std::exception& e) {
    return std::unexpected(Error::invalid_input("could not create a pool of " + std::to_string(*threads) +
                                                " worker threads: " + e.what()));
  }
  std::optional<R> result;
  arena->execute([&] { result.emplace(operation()); });
  return std::move(*result);
}

// Calls body(i) for i in [0, n), one index per task, on the current pool.
// Completes every index before returning; the order of calls is unspecified.
template <class Body>
void parallel_for_each_index(std::size_t n, Body&& body) {
  if (n == 0) return;
  if (n == 1) {
    body(std::size_t{0});
    return;
  }
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 1),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      for (std::size_t i = r.begin(); i != r.end(); ++i) body(i);
                    },
                    tbb::simple_partitioner());
}

// The number of workers of the pool the calling thread works in (the default
// pool for a thread outside any pool).
std::size_t current_pool_size();

}  // namespace quillmark
