#include "kernel/kernel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <thread>
#include <atomic>
#include <cstring>

#include "kernel/kernel_bench.h"
#include "kernel/max_f32.h"
#include "maxsim_reference.h"
#include "runtime/threads.h"

namespace quillmark {
namespace {

std::vector<float> random_values(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> dist;
  std::vector<float> v(n);
  for (auto& x : v) x = dist(rng);
  return v;
}

// Straightforward MaxSim in double precision.
std::vector<double> reference_scores(const std::vector<float>& q, const std::vector<float>& d,
                                     const std::vector<std::size_t>& lengths, std::size_t dim) {
  return testing::maxsim_reference(q, d, lengths, dim).score;
}

template <class T>
std::string error_text(const Result<T>& r) {
  EXPECT_FALSE(r.has_value());
  if (r) return "";
  EXPECT_EQ(r.error().kind(), Error::Kind::InvalidInput);
  return r.error().text();
}

TEST(Batches, GreedyWithinTokenBound) {
  std::vector<std::size_t> offsets = {0, 3, 4, 6};
  EXPECT_EQ(batches(offsets, 1), (std::vector<Work>{{0, 1}, {1, 2}, {2, 3}}));
  EXPECT_EQ(batches(offsets, 4), (std::vector<Work>{{0, 2}, {2, 3}}));
  EXPECT_EQ(batches(offsets, 6), (std::vector<Work>{{0, 3}}));
  EXPECT_EQ(batches(std::vector<std::size_t>{0}, 4), std::vector<Work>{});
  // A document longer than the bound forms its own batch.
  std::vector<std::size_t> long_doc = {0, 1, 11, 12};
  EXPECT_EQ(batches(long_doc, 2), (std::vector<Work>{{0, 1}, {1, 2}, {2, 3}}));
}

TEST(MaxSimScores, SmallExampleByHand) {
  // Query tokens (1,0) and (0,1); document 0 rows (1,2),(3,-1),(0,5); document 1 row (-2,-2).
  std::vector<float> q = {1, 0, 0, 1};
  std::vector<float> d = {1, 2, 3, -1, 0, 5, -2, -2};
  std::vector<std::size_t> lengths = {3, 1};
  auto r = maxsim_scores(q, d, lengths, 2, std::nullopt, std::nullopt);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, (std::vector<float>{3.0f + 5.0f, -2.0f + -2.0f}));
}

TEST(MaxSimScores, MatchesReferenceForEveryBatchBoundAndThreadCount) {
  const std::size_t dim = 16;
  std::vector<std::size_t> lengths = {3, 1, 7, 2, 30, 1, 5};
  const std::size_t rows = std::accumulate(lengths.begin(), lengths.end(), std::size_t{0});
  auto q = random_values(4 * dim, 1), d = random_values(rows * dim, 2);
  auto expected = reference_scores(q, d, lengths, dim);
  auto baseline = maxsim_scores(q, d, lengths, dim, std::nullopt, std::nullopt);
  ASSERT_TRUE(baseline.has_value());
  for (std::optional<std::size_t> bound : {std::optional<std::size_t>{}, std::optional<std::size_t>{1},
                                           std::optional<std::size_t>{3}, std::optional<std::size_t>{4},
                                           std::optional<std::size_t>{64}}) {
    for (std::optional<std::size_t> threads :
         {std::optional<std::size_t>{}, std::optional<std::size_t>{1}, std::optional<std::size_t>{4}}) {
      auto r = maxsim_scores(q, d, lengths, dim, bound, threads);
      ASSERT_TRUE(r.has_value());
      ASSERT_EQ(r->size(), lengths.size());
      for (std::size_t i = 0; i < lengths.size(); ++i) EXPECT_NEAR((*r)[i], expected[i], 1e-4);
      if (!bound) {
        EXPECT_EQ(*r, *baseline) << "threads must not change scores";
      }
    }
  }
}

std::vector<MaxPath> wide_paths() {
  std::vector<MaxPath> out;
  for (MaxPath p : {MaxPath::Avx2})
    if (max_path_supported(p)) out.push_back(p);
  return out;
}

// Every maximum routine on the whole kernel, for query widths that exercise
// the 32-, 16-, 8-lane blocks and the masked tails: the same bits as the
// portable routine, and the double-precision reference within rounding.
TEST(MaxSimScores, EveryMaximumPathGivesThePortableBits) {
  const std::size_t dim = 32;
  std::vector<std::size_t> lengths = {1, 5, 7, 8, 9, 31, 32, 33, 64, 65, 100, 300};
  const std::size_t rows = std::accumulate(lengths.begin(), lengths.end(), std::size_t{0});
  auto d = random_values(rows * dim, 4);
  for (std::size_t query_rows : {1u, 3u, 8u, 12u, 16u, 32u, 33u, 47u, 64u}) {
    auto q = random_values(query_rows * dim, 3 + static_cast<unsigned>(query_rows));
    const auto expected = reference_scores(q, d, lengths, dim);
    ASSERT_TRUE(force_max_path(MaxPath::Portable));
    auto portable = maxsim_scores(q, d, lengths, dim, std::size_t{100}, std::nullopt).value();
    for (std::size_t i = 0; i < lengths.size(); ++i) EXPECT_NEAR(portable[i], expected[i], 1e-3) << query_rows;
    for (MaxPath path : wide_paths()) {
      ASSERT_TRUE(force_max_path(path));
      auto wide = maxsim_scores(q, d, lengths, dim, std::size_t{100}, std::size_t{2});
      EXPECT_EQ(wide.value(), portable) << "path " << static_cast<int>(path) << ", query rows " << query_rows;
    }
    force_max_path(std::nullopt);
  }
}

// Rows of `lanes` values, random, then with NaN and signed zeros planted: the
// portable routine gives each column's maximum, the wide ones its bits.
TEST(LaneMax, WidePathsMatchPortableBitsAndColumnMaxima) {
  for (std::size_t lanes : {1u, 3u, 8u, 9u, 16u, 17u, 31u, 32u, 33u, 40u, 64u, 65u}) {
    for (std::size_t rows : {1u, 2u, 7u, 40u}) {
      auto v = random_values(rows * lanes, static_cast<unsigned>(lanes * 100 + rows));
      std::vector<float> portable(lanes), wide(lanes);
      lane_max_f32_portable(v.data(), rows, lanes, portable.data());
      for (std::size_t j = 0; j < lanes; ++j) {
        float column_max = -INFINITY;
        for (std::size_t r = 0; r < rows; ++r) column_max = std::max(column_max, v[r * lanes + j]);
        ASSERT_EQ(portable[j], column_max) << lanes << "x" << rows << " lane " << j;
      }
      for (int special = 0; special < 2; ++special) {
        for (MaxPath path : wide_paths()) {
          std::fill(wide.begin(), wide.end(), 7.0f);
          lane_max_f32(path, v.data(), rows, lanes, wide.data());
          ASSERT_EQ(0, std::memcmp(wide.data(), portable.data(), lanes * sizeof(float)))
              << "path " << static_cast<int>(path) << ", " << lanes << "x" << rows << ", special " << special;
        }
        for (std::size_t j = 0; j < lanes; ++j) {
          v[j] = j % 3 == 0 ? NAN : (j % 3 == 1 ? 1e30f : -0.0f);
          if (rows > 1) v[lanes + j] = j % 2 ? NAN : 0.0f;
        }
        lane_max_f32_portable(v.data(), rows, lanes, portable.data());
      }
    }
  }
}

TEST(LaneMax, NaNNeverWinsAndFirstZeroWins) {
  // Three lanes over four rows.
  const std::vector<float> v = {NAN, -0.0f, NAN,   //
                                1.0f, 0.0f, NAN,   //
                                NAN, -0.0f, NAN,   //
                                3.0f, 0.0f, NAN};
  std::vector<float> best(3);
  lane_max_f32_portable(v.data(), 4, 3, best.data());
  EXPECT_EQ(best[0], 3.0f);
  EXPECT_TRUE(std::signbit(best[1]) && best[1] == 0.0f);
  EXPECT_EQ(best[2], -INFINITY);
}

// Both entry points share the validation: each case must give the same text
// from the scorer and from the product-only measurement.
std::string both_error_text(std::span<const float> q, std::span<const float> d, std::span<const std::size_t> lengths,
                            std::size_t dim, std::optional<std::size_t> bound, std::optional<std::size_t> threads) {
  const std::string scored = error_text(maxsim_scores(q, d, lengths, dim, bound, threads));
  EXPECT_EQ(error_text(maxsim_product_only(q, d, lengths, dim, bound, threads)), scored);
  return scored;
}

TEST(MaxSimScores, ValidationOrderAndMessages) {
  std::vector<float> q2 = {1, 0, 0, 1}, d5(10, 1.0f), d4(8, 1.0f);
  std::vector<std::size_t> ok = {2, 2};
  std::vector<std::size_t> zero = {2, 0}, two_two = {2, 2};
  const auto none = std::nullopt;
  EXPECT_EQ(both_error_text({}, d4, ok, 2, none, none),
            "query must have shape [tokens, dimension] with non-zero axes");
  EXPECT_EQ(both_error_text(q2, d4, ok, 0, none, none),
            "query must have shape [tokens, dimension] with non-zero axes");
  EXPECT_EQ(both_error_text(q2, d4, ok, 3, none, none),
            "query must have shape [tokens, dimension] with non-zero axes");
  std::vector<float> d_odd(7, 1.0f);
  EXPECT_EQ(both_error_text(q2, d_odd, ok, 2, none, none),
            "query dimension 2 differs from the document dimension");
  EXPECT_EQ(both_error_text(q2, d4, ok, 2, std::size_t{0}, std::size_t{0}),
            "max_batch_tokens must be positive");
  EXPECT_EQ(both_error_text(q2, d4, ok, 2, std::size_t{2147483648u}, none),
            "max_batch_tokens exceeds the 32-bit BLAS interface");
  EXPECT_EQ(both_error_text(q2, d4, zero, 2, none, std::size_t{0}), "threads must be positive");
  EXPECT_EQ(both_error_text(q2, d4, zero, 2, none, none), "document length at position 1 must be positive");
  std::vector<std::size_t> huge = {1, 2147483648u, 0};
  EXPECT_EQ(both_error_text(q2, d4, huge, 2, none, none),
            "document length at position 1 exceeds the 32-bit BLAS interface");
  EXPECT_EQ(both_error_text(q2, d5, two_two, 2, none, none),
            "document lengths sum to 4, but documents contain 5 rows");
}

// check_maxsim_arguments is exactly the part of the validation that does
// not look at the lengths: where maxsim_scores fails on an argument it fails
// with the same text, and where maxsim_scores fails only on the lengths (or
// not at all) it passes.
TEST(MaxSimScores, ArgumentChecksAreTheScorersFirstChecks) {
  const std::vector<float> q2 = {1, 0, 0, 1}, d4(8, 1.0f), d5(10, 1.0f);
  const std::vector<std::size_t> ok = {2, 2}, zero = {2, 0}, short_sum = {1, 2};
  using Bound = std::optional<std::size_t>;
  struct Case {
    std::span<const float> q;
    std::span<const float> d;
    std::span<const std::size_t> lengths;
    std::size_t dim;
    Bound bound;
    Bound threads;
    bool argument_error;  // whether the first failing check is one of the arguments
  };
  const Case cases[] = {
      {{}, d4, ok, 2, {}, {}, true},
      {q2, d4, ok, 0, {}, {}, true},
      {q2, d4, ok, 3, {}, {}, true},
      {q2, d5, ok, 4, {}, {}, true},
      {q2, d4, ok, 2, std::size_t{0}, std::size_t{0}, true},
      {q2, d4, ok, 2, std::size_t{2147483648u}, {}, true},
      {q2, d4, zero, 2, {}, std::size_t{0}, true},
      {q2, d4, zero, 2, {}, {}, false},
      {q2, d4, short_sum, 2, {}, {}, false},
      {q2, d4, ok, 2, std::size_t{1}, std::size_t{2}, false},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const Case& c = cases[i];
    const auto checked = check_maxsim_arguments(c.q, c.d.size(), c.dim, c.bound, c.threads);
    const auto scored = maxsim_scores(c.q, c.d, c.lengths, c.dim, c.bound, c.threads);
    ASSERT_EQ(checked.has_value(), !c.argument_error);
    if (c.argument_error) {
      EXPECT_EQ(error_text(checked), error_text(scored));
    }
  }
}

TEST(MaxSimProductOnly, RunsTheScorersBatches) {
  const std::size_t dim = 4;
  std::vector<std::size_t> lengths = {3, 1, 2};
  auto q = random_values(2 * dim, 6), d = random_values(6 * dim, 7);
  for (std::optional<std::size_t> threads : {std::optional<std::size_t>{}, std::optional<std::size_t>{2}}) {
    EXPECT_EQ(maxsim_product_only(q, d, lengths, dim, std::size_t{1}, threads).value(), 3u);
    EXPECT_EQ(maxsim_product_only(q, d, lengths, dim, std::size_t{4}, threads).value(), 2u);
    EXPECT_EQ(maxsim_product_only(q, d, lengths, dim, std::nullopt, threads).value(), 1u);
  }
  EXPECT_EQ(maxsim_product_only(q, {}, {}, dim, std::nullopt, std::nullopt).value(), 0u);
}

// A call that can use one thread only (one batch, or threads=1) runs on the
// calling thread: even a pool that cannot be built is not needed. With two
// batches and more threads the pool is built, and its failure reported.
TEST(MaxSimScores, SingleThreadCallsBuildNoPool) {
  const std::size_t dim = 4, absurd = std::size_t{1} << 40;
  std::vector<std::size_t> lengths = {3, 1, 2};
  auto q = random_values(2 * dim, 10), d = random_values(6 * dim, 11);
  const auto expected = maxsim_scores(q, d, lengths, dim, std::nullopt, std::nullopt).value();
  EXPECT_EQ(maxsim_scores(q, d, lengths, dim, std::nullopt, absurd).value(), expected);
  EXPECT_EQ(maxsim_product_only(q, d, lengths, dim, std::nullopt, absurd).value(), 1u);
  EXPECT_EQ(maxsim_scores(q, d, lengths, dim, std::size_t{1}, std::size_t{1}).value(),
            maxsim_scores(q, d, lengths, dim, std::size_t{1}, std::nullopt).value());
  auto many = maxsim_scores(q, d, lengths, dim, std::size_t{4}, absurd);
  ASSERT_FALSE(many.has_value());
  EXPECT_TRUE(many.error().text().starts_with("could not create a pool of 1099511627776 worker threads: "));
}

// One batch of at least 4096 rows is scored in parts that the pool shares;
// the parts depend on the lengths only, so every thread count gives the same
// bits, and the scores match the reference.
TEST(MaxSimScores, SingleBatchIsSplitIndependentlyOfThreads) {
  const std::size_t dim = 16;
  for (std::size_t docs : {31u, 32u, 100u}) {  // 3968, 4096 and 12800 rows of 128
    std::vector<std::size_t> lengths(docs, 128);
    auto q = random_values(5 * dim, 12), d = random_values(docs * 128 * dim, 13);
    const std::size_t units = maxsim_product_only(q, d, lengths, dim, std::nullopt, std::nullopt).value();
    EXPECT_EQ(units > 1, docs * 128 >= 4096) << docs;
    EXPECT_EQ(maxsim_product_only(q, d, lengths, dim, std::nullopt, std::size_t{3}).value(), units);
    const auto expected = reference_scores(q, d, lengths, dim);
    const auto base = maxsim_scores(q, d, lengths, dim, std::nullopt, std::nullopt).value();
    for (std::size_t i = 0; i < docs; ++i) ASSERT_NEAR(base[i], expected[i], 1e-3) << i;
    for (std::size_t threads : {1u, 2u, 3u})
      EXPECT_EQ(maxsim_scores(q, d, lengths, dim, std::nullopt, threads).value(), base) << threads;
  }
}

TEST(MaxSimScores, NoDocuments) {
  std::vector<float> q = {1, 0};
  auto empty = maxsim_scores(q, {}, {}, 2, std::nullopt, std::nullopt);
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());
  std::vector<float> one_row = {1, 1};
  EXPECT_EQ(error_text(maxsim_scores(q, one_row, {}, 2, std::nullopt, std::nullopt)),
            "document lengths sum to 0, but documents contain 1 rows");
}

TEST(Install, RunsOnPoolOfRequestedSize) {
  auto size = install(std::size_t{3}, []() -> Result<std::size_t> { return current_pool_size(); });
  ASSERT_TRUE(size.has_value());
  EXPECT_EQ(*size, 3u);
  // Nested install with the same count runs in the pool already there.
  auto nested = install(std::size_t{3}, []() -> Result<std::size_t> {
    return install(std::size_t{3}, []() -> Result<std::size_t> { return current_pool_size(); });
  });
  EXPECT_EQ(nested.value(), 3u);
  auto zero = install(std::size_t{0}, []() -> Result<int> { return 1; });
  ASSERT_FALSE(zero.has_value());
  EXPECT_EQ(zero.error().text(), "threads must be positive");
  auto absurd = install(std::size_t{1} << 40, []() -> Result<int> { return 1; });
  ASSERT_FALSE(absurd.has_value());
  EXPECT_TRUE(absurd.error().text().starts_with("could not create a pool of 1099511627776 worker threads: "));
  // An operation's own error passes through unchanged.
  auto failing = install(std::size_t{2}, []() -> Result<int> { return std::unexpected(Error::storage("x")); });
  ASSERT_FALSE(failing.has_value());
  EXPECT_EQ(failing.error().kind(), Error::Kind::Storage);
}

}  // namespace
}  // namespace quillmark

namespace quillmark {
namespace {

// Scores from several OS threads at once, each mixing pool sizes: every call
// sees its own buffers and gets the same bits.
TEST(KernelThreads, ConcurrentCallsAgree) {
  const std::size_t dim = 24;
  std::vector<std::size_t> lengths(60);
  for (std::size_t i = 0; i < lengths.size(); ++i) lengths[i] = 1 + (i * 7) % 40;
  const std::size_t rows = std::accumulate(lengths.begin(), lengths.end(), std::size_t{0});
  auto q = random_values(6 * dim, 8), d = random_values(rows * dim, 9);
  auto expected = maxsim_scores(q, d, lengths, dim, std::size_t{50}, std::nullopt).value();
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        std::optional<std::size_t> pool = (t + i) % 3 == 0 ? std::nullopt : std::optional<std::size_t>(1 + (t + i) % 3);
        auto r = maxsim_scores(q, d, lengths, dim, std::size_t{50}, pool);
        if (!r || *r != expected) ++mismatches;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace quillmark

namespace quillmark {
namespace {

// Sets the retained scratch limit for one test and restores it.
class RetainedLimit {
 public:
  explicit RetainedLimit(std::size_t bytes) { set_retained_scratch_limit_for_testing(bytes); }
  ~RetainedLimit() { set_retained_scratch_limit_for_testing(0); }
  RetainedLimit(const RetainedLimit&) = delete;
  RetainedLimit& operator=(const RetainedLimit&) = delete;
};

// A batch whose similarity block exceeds the retained limit is multiplied in
// blocks of rows; a document cut by block boundaries folds its maxima across
// them (a block of only NaN never wins), and the thread keeps no more than
// the limit.
TEST(KernelBlocks, DocumentsCutByBlocksScoreAsWhole) {
  // The identity query makes each similarity a document coordinate: every
  // product is exact, so blocked scores must equal unblocked ones bit for bit.
  const std::vector<float> q = {1, 0, 0, 1};
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> d = {1, 2, 3, 4,                                            // document 0
                                nan, nan, 5, -1, 9, 0, 2, 2, -3, 7, 0, 1, 8, 3,        // document 1
                                6, 6};                                                 // document 2
  const std::vector<std::size_t> lengths = {2, 7, 1};
  const auto whole = maxsim_scores(q, d, lengths, 2, std::nullopt, std::nullopt).value();
  ASSERT_EQ(whole, (std::vector<float>{3 + 4, 9 + 7, 6 + 6}));
  for (std::size_t most_rows : {1, 2, 3, 4, 6}) {
    const std::size_t limit = (most_rows + 2) * 2 * sizeof(float);  // the block and two lane rows
    RetainedLimit scoped(limit);
    for (std::optional<std::size_t> threads : {std::optional<std::size_t>{}, std::optional<std::size_t>{2}})
      EXPECT_EQ(maxsim_scores(q, d, lengths, 2, std::size_t{4}, threads).value(), whole) << most_rows;
    EXPECT_EQ(maxsim_scores(q, d, lengths, 2, std::nullopt, std::size_t{1}).value(), whole) << most_rows;
    EXPECT_LE(retained_scratch_bytes_for_testing(), limit) << most_rows;  // threads=1 ran here
    EXPECT_EQ(maxsim_product_only(q, d, lengths, 2, std::nullopt, std::size_t{1}).value(), 1u);
  }

  // Random data in blocks of 13 rows: close to the reference for any batch
  // bound, and the same bits for any thread count.
  const std::size_t dim = 8, lanes = 5;
  std::vector<std::size_t> many(30);
  for (std::size_t i = 0; i < many.size(); ++i) many[i] = 1 + (i * 11) % 40;
  const std::size_t rows = std::accumulate(many.begin(), many.end(), std::size_t{0});
  const auto rq = random_values(lanes * dim, 21), rd = random_values(rows * dim, 22);
  const auto expected = reference_scores(rq, rd, many, dim);
  RetainedLimit scoped((13 + 2) * lanes * sizeof(float));
  for (std::optional<std::size_t> bound : {std::optional<std::size_t>{}, std::optional<std::size_t>{50}}) {
    const auto base = maxsim_scores(rq, rd, many, dim, bound, std::nullopt).value();
    for (std::size_t i = 0; i < many.size(); ++i) ASSERT_NEAR(base[i], expected[i], 1e-3) << i;
    for (std::size_t threads : {1u, 2u, 3u}) EXPECT_EQ(maxsim_scores(rq, rd, many, dim, bound, threads).value(), base);
  }
}

}  // namespace
}  // namespace quillmark
