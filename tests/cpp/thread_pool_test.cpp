#include "thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "threads.h"

namespace quillmark {
namespace {

TEST(PoolThreads, EveryIndexRunsOnceOnThePoolsWorkers) {
  ThreadPool pool(3);
  std::vector<std::atomic<int>> hits(1000);
  std::mutex m;
  std::set<std::thread::id> seen;
  pool.for_each_index(hits.size(), [&](std::size_t i) {
    hits[i].fetch_add(1);
    std::lock_guard lock(m);
    seen.insert(std::this_thread::get_id());
  });
  for (auto& h : hits) ASSERT_EQ(h.load(), 1);
  EXPECT_EQ(seen.count(std::this_thread::get_id()), 0u) << "an outside caller only waits";
  EXPECT_LE(seen.size(), 3u);
}

TEST(PoolThreads, NestedWorkOnTheSamePoolCompletes) {
  // Every worker blocks in an inner loop on its own pool: they must help
  // themselves rather than wait for each other.
  ThreadPool pool(2);
  std::atomic<int> inner{0};
  pool.for_each_index(4, [&](std::size_t) {
    EXPECT_EQ(ThreadPool::current(), &pool);
    parallel_for_each_index(50, [&](std::size_t) { inner.fetch_add(1); });
  });
  EXPECT_EQ(inner.load(), 200);
}

TEST(PoolThreads, FirstExceptionReachesTheCaller) {
  ThreadPool pool(2);
  std::atomic<int> ran{0};
  EXPECT_THROW(pool.for_each_index(20,
                                   [&](std::size_t i) {
                                     ran.fetch_add(1);
                                     if (i == 7) throw std::runtime_error("boom");
                                   }),
               std::runtime_error);
  EXPECT_EQ(ran.load(), 20) << "the other indices still run";
}

TEST(PoolThreads, ConcurrentSubmittersShareOnePool) {
  ThreadPool pool(2);
  std::atomic<long> total{0};
  std::vector<std::thread> callers;
  for (int c = 0; c < 4; ++c)
    callers.emplace_back([&] {
      for (int rep = 0; rep < 20; ++rep) pool.for_each_index(16, [&](std::size_t i) { total.fetch_add(long(i)); });
    });
  for (auto& t : callers) t.join();
  EXPECT_EQ(total.load(), 4L * 20 * (15 * 16 / 2));
}

TEST(PoolThreads, InstallUsesAFreshPoolOrTheCurrentOne) {
  EXPECT_EQ(ThreadPool::current(), nullptr);
  ThreadPool* outer = nullptr;
  auto r = install(std::size_t{3}, [&]() -> Result<std::size_t> {
    outer = ThreadPool::current();
    // Same count: runs right here, on the same pool.
    return install(std::size_t{3}, [&]() -> Result<std::size_t> {
      EXPECT_EQ(ThreadPool::current(), outer);
      // Another count: a pool of its own.
      auto other = install(std::size_t{1}, []() -> Result<std::size_t> { return current_pool_size(); });
      EXPECT_EQ(other.value(), 1u);
      return current_pool_size();
    });
  });
  EXPECT_EQ(r.value(), 3u);
  EXPECT_NE(outer, nullptr);
  // Without a count the caller's own thread runs the operation.
  std::thread::id id;
  (void)install(std::nullopt, [&]() -> Result<int> {
    id = std::this_thread::get_id();
    return 0;
  });
  EXPECT_EQ(id, std::this_thread::get_id());
}

}  // namespace
}  // namespace quillmark
