#include "kernel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <thread>
#include <atomic>

#include "max_f32.h"
#include "threads.h"

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
  std::vector<double> out;
  std::size_t row = 0;
  const std::size_t qrows = q.size() / dim;
  for (std::size_t len : lengths) {
    double score = 0;
    for (std::size_t j = 0; j < qrows; ++j) {
      double best = -INFINITY;
      for (std::size_t r = row; r < row + len; ++r) {
        double dot = 0;
        for (std::size_t k = 0; k < dim; ++k) dot += double(q[j * dim + k]) * d[r * dim + k];
        best = std::max(best, dot);
      }
      score += best;
    }
    out.push_back(score);
    row += len;
  }
  return out;
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

TEST(MaxSimScores, PortableAndAvx2PathsGiveIdenticalScores) {
  const std::size_t dim = 32;
  std::vector<std::size_t> lengths = {1, 5, 7, 8, 9, 31, 32, 33, 64, 65, 100, 300};
  const std::size_t rows = std::accumulate(lengths.begin(), lengths.end(), std::size_t{0});
  auto q = random_values(8 * dim, 3), d = random_values(rows * dim, 4);
  set_force_portable_max(true);
  auto portable = maxsim_scores(q, d, lengths, dim, std::nullopt, std::size_t{1});
  set_force_portable_max(false);
  auto wide = maxsim_scores(q, d, lengths, dim, std::nullopt, std::size_t{1});
  ASSERT_TRUE(portable && wide);
  EXPECT_EQ(*portable, *wide);
}

TEST(MaxF32, WideAndPortableAgreeOnEveryLength) {
  if (!use_avx2_max()) GTEST_SKIP() << "no AVX2 on this processor";
  auto v = random_values(300, 5);
  for (std::size_t n = 0; n <= v.size(); ++n) {
    std::span<const float> s(v.data(), n);
    const float expected = n == 0 ? -std::numeric_limits<float>::infinity() : *std::max_element(s.begin(), s.end());
    ASSERT_EQ(avx2_max(s), expected) << n;
    ASSERT_EQ(portable_max(s), expected) << n;
  }
  // The maximum in the tail, in the 8-wide remainder and in each accumulator.
  for (std::size_t pos : {0u, 7u, 8u, 17u, 31u, 32u, 40u, 70u, 99u}) {
    std::vector<float> w(100, -1.0f);
    w[pos] = 2.0f;
    EXPECT_EQ(avx2_max(w), 2.0f) << pos;
    EXPECT_EQ(portable_max(w), 2.0f) << pos;
  }
}

TEST(MaxF32, PortableIgnoresNaN) {
  std::vector<float> v = {1.0f, NAN, 3.0f, NAN, 2.0f, 0, 0, 0, 0, NAN};
  EXPECT_EQ(portable_max(v), 3.0f);
  EXPECT_EQ(portable_max(std::span<const float>(v.data(), 4)), 3.0f);
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
