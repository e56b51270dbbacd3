#include "runtime/thread_pool.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "runtime/available_cpus.h"
#include "runtime/threads.h"

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

TEST(PoolThreads, InstallUsesAFreshPoolTheCurrentOneOrTheDefaultOne) {
  EXPECT_EQ(ThreadPool::current(), nullptr);
  const std::size_t others = default_pool().size() + 1;  // a count the default pool does not have
  ThreadPool* outer = nullptr;
  auto r = install(others, [&]() -> Result<std::size_t> {
    outer = ThreadPool::current();
    // Same count: runs right here, on the same pool.
    return install(others, [&]() -> Result<std::size_t> {
      EXPECT_EQ(ThreadPool::current(), outer);
      // Another count: a pool of its own.
      auto other = install(std::size_t{1}, []() -> Result<std::size_t> { return current_pool_size(); });
      EXPECT_EQ(other.value(), 1u);
      return current_pool_size();
    });
  });
  EXPECT_EQ(r.value(), others);
  EXPECT_NE(outer, nullptr);
  EXPECT_NE(outer, &default_pool());
  // With the default pool's own count, from outside any pool: on a worker
  // of the default pool, which nested calls with that count then use.
  auto borrowed = install(default_pool().size(), [&]() -> Result<std::size_t> {
    EXPECT_EQ(ThreadPool::current(), &default_pool());
    return install(default_pool().size(), [&]() -> Result<std::size_t> {
      EXPECT_EQ(ThreadPool::current(), &default_pool());
      return current_pool_size();
    });
  });
  EXPECT_EQ(borrowed.value(), default_pool().size());
  // Without a count the caller's own thread runs the operation.
  std::thread::id id;
  (void)install(std::nullopt, [&]() -> Result<int> {
    id = std::this_thread::get_id();
    return 0;
  });
  EXPECT_EQ(id, std::this_thread::get_id());
}


// ---- threads ended by a forced unwind ---------------------------------------
// pthread_exit unwinds the thread with abi::__forced_unwind, as CPython does
// to a thread that re-takes the interpreter lock while the interpreter
// finalizes. A catch-all that swallows it, or a noexcept frame it meets,
// aborts the process, so each case runs in a child process of its own.

// The message of the InvariantViolation that `run` throws, or "" when it
// throws nothing.
template <class Run>
std::string invariant_text(Run&& run) {
  try {
    run();
  } catch (const InvariantViolation& e) {
    return e.what();
  }
  return "";
}

constexpr const char* kEnded = "a pool worker was ended while running a job";

// Checks `condition` in a death-test child and exits with 1 when it fails.
#define CHILD_CHECK(condition)                                  \
  do {                                                          \
    if (!(condition)) {                                         \
      std::fprintf(stderr, "failed: %s\n", #condition);         \
      std::_Exit(1);                                            \
    }                                                           \
  } while (0)

TEST(PoolThreadsDeathTest, AWorkerEndedInsideABodyFailsOnlyItsIndex) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ThreadPool pool(2);
        std::vector<std::atomic<int>> hits(8);
        const std::string text = invariant_text([&] {
          pool.for_each_index(hits.size(), [&](std::size_t i) {
            if (i == 3) pthread_exit(nullptr);
            hits[i].fetch_add(1);
          });
        });
        CHILD_CHECK(text == kEnded);
        for (std::size_t i = 0; i < hits.size(); ++i) CHILD_CHECK(hits[i].load() == (i == 3 ? 0 : 1));
        // The other worker still serves the pool.
        std::atomic<int> later{0};
        pool.for_each_index(50, [&](std::size_t) { later.fetch_add(1); });
        CHILD_CHECK(later.load() == 50);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(PoolThreadsDeathTest, APoolWithoutLiveWorkersRunsJobsOnTheSubmitter) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ThreadPool pool(1);
        CHILD_CHECK(invariant_text([&] { pool.run_on_worker([] { pthread_exit(nullptr); }); }) == kEnded);
        std::atomic<int> ran{0};
        std::thread::id runner;
        pool.for_each_index(5, [&](std::size_t) {
          ran.fetch_add(1);
          runner = std::this_thread::get_id();
        });
        CHILD_CHECK(ran.load() == 5);
        CHILD_CHECK(runner == std::this_thread::get_id());
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(PoolThreadsDeathTest, ASubmittingWorkerEndedInItsNestedJobWaitsForTheJob) {
  // Worker A submits a nested job, helps run it, and is ended in one of its
  // indices. Worker B holds another index of that job until then. A must
  // cancel the rest and wait for B's index (the body refers to A's stack)
  // before its unwind continues; the outer caller then sees the failure.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ThreadPool pool(2);
        std::atomic<bool> a_ended{false};
        std::atomic<int> b_started{0};
        std::atomic<int> b_finished{0};
        const std::string text = invariant_text([&] {
          pool.run_on_worker([&] {
            const std::thread::id a = std::this_thread::get_id();
            int on_stack = 0;  // A's frame: B writes it until A's unwind passes
            pool.for_each_index(6, [&, a](std::size_t) {
              if (std::this_thread::get_id() == a) {
                while (b_started.load() == 0) std::this_thread::yield();
                a_ended.store(true);
                pthread_exit(nullptr);
              }
              b_started.fetch_add(1);
              while (!a_ended.load()) std::this_thread::yield();
              ++on_stack;
              b_finished.fetch_add(1);
            });
          });
        });
        CHILD_CHECK(text == kEnded);
        CHILD_CHECK(a_ended.load());
        CHILD_CHECK(b_finished.load() >= 1);
        std::atomic<int> later{0};
        pool.for_each_index(10, [&](std::size_t) { later.fetch_add(1); });
        CHILD_CHECK(later.load() == 10);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// ---- pools the system cannot provide ----------------------------------------

TEST(PoolThreads, APoolOfMoreThreadsThanTheSystemAllowsReportsItsError) {
  // The second start fails the way pthread_create does at a thread limit.
  limit_thread_starts_for_testing(1);
  auto r = install(std::size_t{3}, []() -> Result<int> { return 1; });
  limit_thread_starts_for_testing(std::nullopt);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), Error::Kind::InvalidInput);
  EXPECT_EQ(r.error().text(), "could not create a pool of 3 worker threads: " +
                                  std::system_error(EAGAIN, std::generic_category()).code().message());
  // The same count works again once threads can be started.
  EXPECT_EQ(install(std::size_t{3}, []() -> Result<int> { return current_pool_size(); }).value(), 3);
}

class DefaultPoolDeathTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(DefaultPoolDeathTest, KeepsTheThreadsThatStartedAndRunsTheRestOnTheCaller) {
  const std::size_t starts = GetParam();
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        limit_thread_starts_for_testing(starts);
        ThreadPool& pool = default_pool();
        CHILD_CHECK(pool.size() == std::min(starts, available_cpus()));
        std::vector<std::atomic<int>> hits(200);
        std::mutex m;
        std::set<std::thread::id> runners;
        parallel_for_each_index(hits.size(), [&](std::size_t i) {
          hits[i].fetch_add(1);
          std::lock_guard lock(m);
          runners.insert(std::this_thread::get_id());
        });
        for (auto& h : hits) CHILD_CHECK(h.load() == 1);
        if (pool.size() == 0) CHILD_CHECK(runners == std::set<std::thread::id>{std::this_thread::get_id()});
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Starts, DefaultPoolDeathTest, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                           return "threads_allowed_" + std::to_string(info.param);
                         });

TEST(DefaultPoolSizeDeathTest, OneWorkerPerCpuOfTheAffinityMask) {
  // What `taskset -c N` does to a process before it starts: the default
  // pool, made afterwards, sees one CPU.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        cpu_set_t set;
        CPU_ZERO(&set);
        CHILD_CHECK(sched_getaffinity(0, sizeof set, &set) == 0);
        int first = 0;
        while (!CPU_ISSET(first, &set)) ++first;
        CPU_ZERO(&set);
        CPU_SET(first, &set);
        CHILD_CHECK(sched_setaffinity(0, sizeof set, &set) == 0);
        CHILD_CHECK(available_cpus() == 1);
        CHILD_CHECK(default_pool().size() == 1);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace quillmark
