#include "search/query.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <barrier>
#include <thread>

namespace quillmark {
namespace {

Representation rep(std::string encoder = "enc", std::uint64_t dimension = 2) {
  return Representation::make(std::move(encoder), "r1", dimension, true).value();
}

std::shared_ptr<const FeatureValue> matrix_value(std::vector<float> values, std::size_t dimension) {
  return std::make_shared<const TokenMatrixValue>(TokenMatrix::make(std::move(values), dimension).value());
}

TEST(TokenMatrix, ShapeChecks) {
  auto m = TokenMatrix::make({1, 2, 3, 4, 5, 6}, 3).value();
  EXPECT_EQ(m.tokens(), 2u);
  EXPECT_EQ(m.dimension(), 3u);
  EXPECT_EQ(m.values()[4], 5.0f);
  const char* empty = "token matrix must have shape [tokens, dimension] with non-zero axes";
  EXPECT_EQ(TokenMatrix::make({}, 3).error().text(), empty);
  EXPECT_EQ(TokenMatrix::make({1, 2}, 0).error().text(), empty);
  auto ragged = TokenMatrix::make({1, 2, 3, 4, 5}, 2);
  ASSERT_FALSE(ragged);
  EXPECT_EQ(ragged.error().kind(), Error::Kind::InvalidInput);
  EXPECT_EQ(ragged.error().text(), "5 values do not form rows of dimension 2");
}

TEST(Feature, GivenValueIsMaterialized) {
  auto value = matrix_value({1, 2}, 2);
  auto feature = Feature::value(rep(), value);
  EXPECT_TRUE(feature->materialized());
  EXPECT_EQ(feature->value().value(), value);
  EXPECT_EQ(feature->representation(), rep());
  EXPECT_EQ(feature->value().value()->type(), typeid(TokenMatrixValue));
  EXPECT_NE(feature->value().value()->as_any<TokenMatrixValue>(), nullptr);
}

TEST(Feature, FailingProviderStaysAndIsCalledAgain) {
  int calls = 0;
  auto value = matrix_value({1, 2}, 2);
  auto feature = Feature::lazy(rep(), [&]() -> Result<std::shared_ptr<const FeatureValue>> {
    if (++calls == 1) return std::unexpected(Error::invalid_input("first call fails"));
    return value;
  });
  EXPECT_FALSE(feature->materialized());
  auto first = feature->value();
  ASSERT_FALSE(first);
  EXPECT_EQ(first.error().text(), "first call fails");
  EXPECT_FALSE(feature->materialized());
  EXPECT_EQ(feature->value().value(), value);
  EXPECT_EQ(feature->value().value(), value);
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(feature->materialized());
}

TEST(Feature, ProviderIsReleasedAfterSuccess) {
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  auto feature = Feature::lazy(rep(), [token]() -> Result<std::shared_ptr<const FeatureValue>> {
    return matrix_value({1, 2}, 2);
  });
  token.reset();
  EXPECT_FALSE(watch.expired());
  ASSERT_TRUE(feature->value());
  EXPECT_TRUE(watch.expired());
}

TEST(Feature, ProviderAskingForItsOwnFeatureFailsInsteadOfHanging) {
  std::shared_ptr<const Feature> feature;
  feature = Feature::lazy(rep(), [&]() -> Result<std::shared_ptr<const FeatureValue>> {
    auto inner = feature->value();
    if (!inner) return std::unexpected(inner.error());
    return inner;
  });
  auto got = feature->value();
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().text(), "a feature provider asked for the feature it is producing");
  EXPECT_FALSE(feature->materialized());
}

TEST(FeatureThreadsDeathTest, AProviderWhoseThreadIsEndedLeavesTheFeatureUsable) {
  // A Python provider's thread is ended by a forced unwind when it attaches
  // to a finalizing interpreter. The unwind must pass through value() (no
  // terminate), release the feature's mutex and forget the producing thread,
  // so that another thread's request runs the provider again.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::atomic<int> calls{0};
        auto value = matrix_value({1, 2}, 2);
        auto feature = Feature::lazy(rep(), [&]() -> Result<std::shared_ptr<const FeatureValue>> {
          if (calls.fetch_add(1) == 0) pthread_exit(nullptr);
          return value;
        });
        std::thread ended([&] { (void)feature->value(); });
        ended.join();
        const bool usable = calls.load() == 1 && !feature->materialized() && feature->value().value() == value &&
                            calls.load() == 2;
        std::_Exit(usable ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(FeatureConcurrency, ConcurrentRequestsCallTheProviderOnce) {
  constexpr int kThreads = 8;
  for (int round = 0; round < 20; ++round) {
    std::atomic<int> calls{0};
    auto feature = Feature::lazy(rep(), [&]() -> Result<std::shared_ptr<const FeatureValue>> {
      calls.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      return matrix_value({1, 2}, 2);
    });
    std::barrier start(kThreads);
    std::vector<std::shared_ptr<const FeatureValue>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        seen[t] = feature->value().value();
      });
    for (auto& t : threads) t.join();
    EXPECT_EQ(calls.load(), 1);
    for (const auto& v : seen) EXPECT_EQ(v, seen[0]);
  }
}

TEST(FeatureConcurrency, ConcurrentRequestsRetryAfterFailure) {
  constexpr int kThreads = 8;
  std::atomic<int> calls{0};
  auto feature = Feature::lazy(rep(), [&]() -> Result<std::shared_ptr<const FeatureValue>> {
    if (calls.fetch_add(1) < 3) return std::unexpected(Error::invalid_input("not yet"));
    return matrix_value({1, 2}, 2);
  });
  std::barrier start(kThreads);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      start.arrive_and_wait();
      if (!feature->value()) failures.fetch_add(1);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 3);
  EXPECT_EQ(calls.load(), 4);
  EXPECT_TRUE(feature->materialized());
}

TEST(Query, RequireFeature) {
  Query::Features features;
  features.emplace("b", Feature::value(rep("enc"), matrix_value({1, 2}, 2)));
  features.emplace("a", Feature::value(rep("other"), matrix_value({1, 2}, 2)));
  Query query = Query::make("what", std::move(features));
  EXPECT_EQ(query.text().str(), "what");
  ASSERT_EQ(query.features().size(), 2u);
  EXPECT_EQ(query.features().begin()->first.str(), "a");

  EXPECT_EQ(query.require_feature("b", rep("enc")).value(), query.features().at("b"));
  auto missing = query.require_feature("x", rep());
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), Error::Kind::IncompatibleQuery);
  EXPECT_EQ(missing.error().text(), "query has no 'x' feature; available: ['a', 'b']");
  // Lookup is exact: no case folding or prefix matching.
  EXPECT_FALSE(query.require_feature("B", rep("enc")));
  EXPECT_FALSE(query.require_feature("", rep("enc")));

  auto incompatible = query.require_feature("a", rep("enc"));
  ASSERT_FALSE(incompatible);
  EXPECT_EQ(incompatible.error().kind(), Error::Kind::IncompatibleQuery);
  // The required representation is printed on the left.
  EXPECT_EQ(incompatible.error().text(), "representations differ (encoder: \"enc\" != \"other\")");
}

TEST(Query, NoFeatures) {
  Query query = Query::make("text");
  EXPECT_TRUE(query.features().empty());
  EXPECT_EQ(query.require_feature("x", rep()).error().text(), "query has no 'x' feature; available: []");
}

TEST(Query, RequireFeatureDoesNotMaterialize) {
  int calls = 0;
  Query::Features features;
  features.emplace("f", Feature::lazy(rep(), [&]() -> Result<std::shared_ptr<const FeatureValue>> {
                     ++calls;
                     return matrix_value({1, 2}, 2);
                   }));
  Query query = Query::make("q", std::move(features));
  Query copy = query;  // copies share the features
  auto feature = query.require_feature("f", rep()).value();
  EXPECT_EQ(calls, 0);
  ASSERT_TRUE(copy.require_feature("f", rep()).value()->value());
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(feature->materialized());
}

TEST(Query, NamesOrderedBytewise) {
  Query::Features features;
  for (const char* name : {"\xc3\xa9", "Z", "a"}) features.emplace(name, Feature::value(rep(), matrix_value({1, 2}, 2)));
  Query query = Query::make("q", std::move(features));
  EXPECT_EQ(query.require_feature("missing", rep()).error().text(),
            "query has no 'missing' feature; available: ['Z', 'a', '\xc3\xa9']");
}

}  // namespace
}  // namespace quillmark
