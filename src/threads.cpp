#include "threads.h"

namespace quillmark::detail {

bool in_pool_of(std::size_t threads) {
  // Inside a task (or an arena's execute) the thread has a slot index. A
  // thread that once ran work in the default arena keeps its slot there, so it
  // counts as working in the default pool, which is then reused when its size
  // matches: the same workers a fresh pool of that size would have.
  int index = tbb::this_task_arena::current_thread_index();
  if (index == tbb::task_arena::not_initialized) return false;
  return static_cast<std::size_t>(tbb::this_task_arena::max_concurrency()) == threads;
}

}  // namespace quillmark::detail

namespace quillmark {

std::size_t current_pool_size() {
  return static_cast<std::size_t>(tbb::this_task_arena::max_concurrency());
}

}  // namespace quillmark
