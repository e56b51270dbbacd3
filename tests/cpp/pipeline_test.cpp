#include "search/pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <mutex>
#include <thread>

#include "runtime/resource_budget.h"
#include "search/query.h"

namespace quillmark {
namespace {

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
using Scores = std::vector<std::optional<float>>;

Representation representation(const char* encoder) { return Representation::make(encoder, "r1", 4, true).value(); }

Query plain_query() { return Query::make("what is late interaction"); }

// A query whose features come from the given representations.
Query query_with(std::vector<std::pair<const char*, Representation>> features) {
  Query::Features map;
  for (auto& [name, rep] : features) {
    auto value = std::make_shared<const TokenMatrixValue>(TokenMatrix::make({1, 0, 0, 0}, 4).value());
    map.emplace(name, Feature::value(std::move(rep), std::move(value)));
  }
  return Query::make("text", std::move(map));
}

ResourceBudget make_budget(std::size_t tokens, std::size_t documents, std::optional<std::size_t> threads) {
  return ResourceBudget::make(tokens, documents, threads).value();
}

Candidate candidate(const char* corpus, const char* id, float score, std::size_t rank) {
  return Candidate{DocumentKey(corpus, id), score, rank, std::string("from ") + id};
}

// Candidates of corpus "c" with ids "0", "1", ... and the given gather scores.
std::vector<Candidate> candidates_scored(const std::vector<float>& scores) {
  std::vector<Candidate> out;
  for (std::size_t i = 0; i < scores.size(); ++i)
    out.push_back(Candidate{DocumentKey("c", std::to_string(i)), scores[i], i, ""});
  return out;
}

// Returns what it is told; records how it was called.
class ScriptedGatherer : public CandidateGenerator {
 public:
  explicit ScriptedGatherer(Result<Gathered> result, Requirements requirements = {},
                            std::string semantics = "gather-scale")
      : result_(std::move(result)), requirements_(std::move(requirements)), semantics_(std::move(semantics)) {}

  const Requirements& requirements() const override { return requirements_; }
  std::string_view score_semantics() const override { return semantics_; }
  Result<Gathered> gather(const Query&, std::size_t limit, const Subset* subset) const override {
    ++calls;
    last_limit = limit;
    last_subset = subset;
    return result_;
  }

  mutable std::atomic<int> calls{0};
  mutable std::atomic<std::size_t> last_limit{0};
  mutable std::atomic<const Subset*> last_subset{nullptr};

 private:
  Result<Gathered> result_;
  Requirements requirements_;
  std::string semantics_;
};

// Fixed scores (or a fixed error); records what it was given.
class FixedReranker : public Reranker {
 public:
  explicit FixedReranker(Result<Scored> result, Requirements requirements = {})
      : result_(std::move(result)), requirements_(std::move(requirements)) {}

  const Requirements& requirements() const override { return requirements_; }
  std::string_view score_semantics() const override { return "rerank-scale"; }
  Result<Scored> rerank(const Query&, std::span<const Candidate> candidates,
                        const ResourceBudget& budget) const override {
    ++calls;
    std::lock_guard lock(mutex_);
    seen_ = Seen{candidates.size(), budget.max_batch_tokens(), budget.max_documents_per_batch(), budget.threads()};
    return result_;
  }

  struct Seen {
    std::size_t candidates = 0;
    std::size_t max_batch_tokens = 0;
    std::size_t max_documents = 0;
    std::optional<std::size_t> threads;
  };
  Seen seen() const {
    std::lock_guard lock(mutex_);
    return seen_;
  }
  mutable std::atomic<int> calls{0};

 private:
  Result<Scored> result_;
  Requirements requirements_;
  mutable std::mutex mutex_;
  mutable Seen seen_;  // guarded by mutex_
};

class NamedReranker : public FixedReranker {
 public:
  using FixedReranker::FixedReranker;
  std::string name() const override { return "custom name"; }
};

template <class T>
struct TemplatedGatherer : ScriptedGatherer {
  using ScriptedGatherer::ScriptedGatherer;
};

Gathered gathered(std::vector<Candidate> candidates, TimeValue as_of = {100, 5}) {
  return Gathered{std::move(candidates), as_of};
}

std::shared_ptr<ScriptedGatherer> gatherer_of(std::vector<Candidate> candidates, TimeValue as_of = {100, 5}) {
  return std::make_shared<ScriptedGatherer>(gathered(std::move(candidates), as_of));
}

void expect_invalid(const Result<SearchResult>& result, const std::string& text) {
  ASSERT_FALSE(result.has_value()) << "expected failure: " << text;
  EXPECT_EQ(result.error().kind(), Error::Kind::InvalidInput) << result.error().debug();
  EXPECT_EQ(result.error().text(), text);
}

// ---- limits and requirements ------------------------------------------------

struct LimitCase {
  std::int64_t gather_limit;
  std::int64_t limit;
  const char* message;
};

void PrintTo(const LimitCase& c, std::ostream* os) {
  *os << "gather_limit=" << c.gather_limit << " limit=" << c.limit;
}


class PipelineLimits : public testing::TestWithParam<LimitCase> {};

TEST_P(PipelineLimits, RejectedBeforeTheGatherer) {
  auto gatherer = gatherer_of(candidates_scored({1.0f}));
  SearchPipeline pipeline(gatherer);
  expect_invalid(pipeline.search(plain_query(), GetParam().gather_limit, GetParam().limit), GetParam().message);
  EXPECT_EQ(gatherer->calls, 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, PipelineLimits,
                         testing::Values(LimitCase{10, 20, "limit cannot exceed gather_limit"},
                                         LimitCase{0, 20, "gather_limit must be positive"},
                                         LimitCase{0, 0, "gather_limit must be positive"},
                                         LimitCase{-3, 1, "gather_limit must be positive"},
                                         LimitCase{5, 0, "limit must be positive"},
                                         LimitCase{5, -1, "limit must be positive"},
                                         LimitCase{std::numeric_limits<std::int64_t>::min(), 1,
                                                   "gather_limit must be positive"}),
                         [](const testing::TestParamInfo<LimitCase>& info) {
                           auto sign = [](std::int64_t v) {
                             std::string text = std::to_string(v);
                             return text[0] == '-' ? "minus" + text.substr(1) : text;
                           };
                           return "gather" + sign(info.param.gather_limit) + "_limit" + sign(info.param.limit);
                         });

TEST(Pipeline, EqualLimitsAndHugeGatherLimitPass) {
  auto gatherer = gatherer_of(candidates_scored({1.0f}));
  SearchPipeline pipeline(gatherer);
  EXPECT_TRUE(pipeline.search(plain_query(), 1, 1).has_value());
  EXPECT_TRUE(pipeline.search(plain_query(), std::numeric_limits<std::int64_t>::max(), 3).has_value());
  EXPECT_EQ(gatherer->last_limit, static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max()));
}

TEST(Pipeline, MissingFeatureFailsBeforeTheGatherer) {
  auto gatherer = std::make_shared<ScriptedGatherer>(gathered({}), Requirements{{"dense", representation("e")}});
  SearchPipeline pipeline(gatherer);
  auto result = pipeline.search(plain_query(), 5, 5);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), Error::Kind::IncompatibleQuery);
  EXPECT_EQ(result.error().text(), "query has no 'dense' feature; available: []");
  EXPECT_EQ(gatherer->calls, 0);
}

TEST(Pipeline, GathererRequirementsAreCheckedBeforeTheReranker) {
  auto gatherer = std::make_shared<ScriptedGatherer>(gathered({}), Requirements{{"g", representation("e")}});
  auto reranker = std::make_shared<FixedReranker>(Scored{}, Requirements{{"a", representation("e")}});
  SearchPipeline pipeline(gatherer, reranker);
  auto result = pipeline.search(plain_query(), 5, 5);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().text(), "query has no 'g' feature; available: []");
}

TEST(Pipeline, RerankerRequirementFailsBeforeTheGatherer) {
  auto gatherer = std::make_shared<ScriptedGatherer>(gathered({}), Requirements{{"dense", representation("e")}});
  auto reranker = std::make_shared<FixedReranker>(
      Scored{}, Requirements{{"dense", representation("e")}, {"multi", representation("other")}});
  SearchPipeline pipeline(gatherer, reranker);
  // The query has "dense" from "e" and "multi" from "e": the reranker needs "multi" from "other".
  auto result = pipeline.search(query_with({{"dense", representation("e")}, {"multi", representation("e")}}), 5, 5);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), Error::Kind::IncompatibleQuery);
  EXPECT_EQ(result.error().text(), "representations differ (encoder: \"other\" != \"e\")");
  EXPECT_EQ(gatherer->calls, 0);
  EXPECT_EQ(reranker->calls, 0);

  auto fine = pipeline.search(query_with({{"dense", representation("e")}, {"multi", representation("other")}}), 5, 5);
  EXPECT_TRUE(fine.has_value()) << fine.error().text();
}

TEST(Require, ChecksEntriesInNameOrder) {
  Requirements requirements{{"zeta", representation("e")}, {"alpha", representation("e")}};
  EXPECT_TRUE(require(plain_query(), {}).has_value());
  auto missing = require(plain_query(), requirements);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().text(), "query has no 'alpha' feature; available: []");
  auto second = require(query_with({{"alpha", representation("e")}}), requirements);
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(second.error().text(), "query has no 'zeta' feature; available: ['alpha']");
}

// ---- validation of the gathered candidates ----------------------------------

struct GatherCase {
  const char* name;
  std::vector<Candidate> candidates;
  std::int64_t gather_limit;
  bool restricted;  // search with the subset {a: only "1"}
  const char* message;
};

void PrintTo(const GatherCase& c, std::ostream* os) { *os << c.name; }


class PipelineGatherValidation : public testing::TestWithParam<GatherCase> {};

TEST_P(PipelineGatherValidation, Rejects) {
  const GatherCase& c = GetParam();
  auto reranker = std::make_shared<FixedReranker>(Scored{});
  SearchPipeline pipeline(gatherer_of(c.candidates), reranker);
  Subset subset = Subset().restrict("a", Restriction::only({SharedText("1")}));
  expect_invalid(pipeline.search(plain_query(), c.gather_limit, 1, c.restricted ? &subset : nullptr), c.message);
  EXPECT_EQ(reranker->calls, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PipelineGatherValidation,
    testing::Values(
        GatherCase{"TooMany", {candidate("a", "1", 1, 0), candidate("a", "2", 1, 1)}, 1, false,
                   "gatherer returned more candidates than requested"},
        // The count is checked before anything else about the candidates.
        GatherCase{"TooManyBeforeRanks", {candidate("a", "1", 1, 5), candidate("a", "1", 1, 5)}, 1, true,
                   "gatherer returned more candidates than requested"},
        GatherCase{"RankGap", {candidate("a", "1", 1, 0), candidate("a", "2", 1, 2)}, 5, false,
                   "candidate gather ranks must be contiguous and zero-based"},
        GatherCase{"RanksFromOne", {candidate("a", "1", 1, 1), candidate("a", "2", 1, 2)}, 5, false,
                   "candidate gather ranks must be contiguous and zero-based"},
        GatherCase{"OutsideTheSubset", {candidate("a", "2", 1, 0)}, 5, true,
                   "gatherer returned document \"a\"/\"2\", which is outside the subset"},
        GatherCase{"CorpusNotNamed", {candidate("a", "1", 1, 0), candidate("b", "1", 1, 1)}, 5, true,
                   "gatherer returned document \"b\"/\"1\", which is outside the subset"},
        GatherCase{"Duplicate", {candidate("a", "1", 1, 0), candidate("a", "1", 7, 1)}, 5, false,
                   "gatherer returned document \"a\"/\"1\" more than once"},
        GatherCase{"DuplicateEscaped", {candidate("a", "q\"", 1, 0), candidate("a", "q\"", 7, 1)}, 5, false,
                   "gatherer returned document \"a\"/\"q\\\"\" more than once"},
        // Each candidate is checked fully before the next: the duplicate at 1
        // is found before the rank gap at 2 ...
        GatherCase{"DuplicateBeforeLaterRankGap",
                   {candidate("a", "1", 1, 0), candidate("a", "1", 1, 1), candidate("a", "3", 1, 9)}, 5, false,
                   "gatherer returned document \"a\"/\"1\" more than once"},
        // ... and within one candidate the rank comes before the subset, the
        // subset before the duplicate.
        GatherCase{"RankBeforeSubset", {candidate("a", "1", 1, 0), candidate("b", "1", 1, 2)}, 5, true,
                   "candidate gather ranks must be contiguous and zero-based"},
        GatherCase{"SubsetBeforeDuplicate",
                   {candidate("b", "9", 1, 0), candidate("b", "9", 1, 1)}, 5, true,
                   "gatherer returned document \"b\"/\"9\", which is outside the subset"}),
    [](const testing::TestParamInfo<GatherCase>& info) { return std::string(info.param.name); });

TEST(Pipeline, EmptySubsetRejectsAnyCandidateAndPassesAnEmptyGather) {
  Subset empty;
  SearchPipeline rejecting(gatherer_of({candidate("a", "1", 1, 0)}));
  expect_invalid(rejecting.search(plain_query(), 5, 5, &empty),
                 "gatherer returned document \"a\"/\"1\", which is outside the subset");

  auto gatherer = gatherer_of({});
  SearchPipeline passing(gatherer);
  auto result = passing.search(plain_query(), 5, 5, &empty);
  ASSERT_TRUE(result.has_value()) << result.error().text();
  EXPECT_TRUE(result->documents.empty());
  EXPECT_TRUE(result->candidates.empty());
  EXPECT_TRUE(result->scores.empty());
  EXPECT_EQ(result->diagnostics.candidate_count, 0u);
  EXPECT_EQ(gatherer->last_subset, &empty);  // the very subset reaches the gatherer
}

TEST(Pipeline, SubsetThatAllowsEveryCandidatePasses) {
  Subset subset = Subset()
                      .restrict("a", Restriction::only({SharedText("1"), SharedText("2")}))
                      .restrict("b", Restriction::except({SharedText("x")}));
  SearchPipeline pipeline(gatherer_of({candidate("a", "2", 1, 0), candidate("b", "y", 2, 1)}));
  auto result = pipeline.search(plain_query(), 5, 5, &subset);
  ASSERT_TRUE(result.has_value()) << result.error().text();
  EXPECT_EQ(result->documents.size(), 2u);
}

// ---- stage errors -----------------------------------------------------------

TEST(Pipeline, StageErrorsPassThroughUnchanged) {
  auto failing_gatherer = std::make_shared<ScriptedGatherer>(std::unexpected(Error::storage("disk on fire")));
  auto result = SearchPipeline(failing_gatherer).search(plain_query(), 5, 5);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().debug(), "Storage(\"disk on fire\")");

  auto failing_reranker = std::make_shared<FixedReranker>(std::unexpected(Error::incompatible_index("no source")));
  result = SearchPipeline(gatherer_of(candidates_scored({1})), failing_reranker).search(plain_query(), 5, 5);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().debug(), "IncompatibleIndex(\"no source\")");
}

// ---- scores, ranking and diagnostics ------------------------------------------

TEST(Pipeline, WithoutRerankerTheGatherScoresRank) {
  auto gatherer = gatherer_of(candidates_scored({0.5f, 0.9f, -0.0f, 0.0f, 0.9f}), {7, 8});
  SearchPipeline pipeline(gatherer);
  auto result = pipeline.search(plain_query(), 10, 4);
  ASSERT_TRUE(result.has_value()) << result.error().text();
  EXPECT_EQ(result->scores, (Scores{0.5f, 0.9f, -0.0f, 0.0f, 0.9f}));
  ASSERT_EQ(result->documents.size(), 4u);
  const char* expected_ids[] = {"1", "4", "0", "3"};  // ties keep gather order; +0 above -0
  for (std::size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(result->documents[k].key.document_id().view(), expected_ids[k]);
    EXPECT_EQ(result->documents[k].rank, k + 1);
    EXPECT_EQ(result->documents[k].score, *result->scores[std::stoul(expected_ids[k])]);
  }
  EXPECT_EQ(result->candidates.size(), 5u);
  EXPECT_EQ(result->as_of, (TimeValue{7, 8}));
  const SearchDiagnostics& d = result->diagnostics;
  EXPECT_EQ(d.candidate_count, 5u);
  EXPECT_EQ(d.dropped, 0u);
  EXPECT_EQ(d.gatherer, "ScriptedGatherer");
  EXPECT_EQ(d.reranker, std::nullopt);
  EXPECT_EQ(d.score_semantics, "gather-scale");
}

TEST(Pipeline, RankedDocumentsShareTheCandidatesKeys) {
  SearchPipeline pipeline(gatherer_of(candidates_scored({1.0f})));
  auto result = pipeline.search(plain_query(), 1, 1);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->documents[0].key.document_id().view().data(),
            result->candidates[0].key.document_id().view().data());
  EXPECT_EQ(result->candidates[0].provenance, "");
}

TEST(Pipeline, RerankerScoresRankAndMissingScoresAreDropped) {
  std::vector<Candidate> ten = candidates_scored(std::vector<float>(10, 1.0f));
  Scores scores{0.1f, std::nullopt, 0.3f, 0.3f, std::nullopt, 0.9f, 0.2f, std::nullopt, 0.0f, 0.5f};
  auto reranker = std::make_shared<FixedReranker>(Scored{scores, {100, 5}});
  SearchPipeline pipeline(gatherer_of(ten), reranker);
  auto result = pipeline.search(plain_query(), 10, 10);
  ASSERT_TRUE(result.has_value()) << result.error().text();
  EXPECT_EQ(reranker->seen().candidates, 10u);
  EXPECT_EQ(result->candidates.size(), 10u);
  EXPECT_EQ(result->scores, scores);
  std::vector<std::string> order;
  std::vector<std::size_t> ranks;
  for (const auto& doc : result->documents) {
    order.push_back(doc.key.document_id().str());
    ranks.push_back(doc.rank);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"5", "9", "2", "3", "6", "0", "8"}));
  EXPECT_EQ(ranks, (std::vector<std::size_t>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(result->documents[0].score, 0.9f);
  const SearchDiagnostics& d = result->diagnostics;
  EXPECT_EQ(d.candidate_count, 10u);
  EXPECT_EQ(d.dropped, 3u);
  EXPECT_EQ(d.gatherer, "ScriptedGatherer");
  EXPECT_EQ(d.reranker, "FixedReranker");
  EXPECT_EQ(d.score_semantics, "rerank-scale");
}

TEST(Pipeline, StageNamesComeFromTheStages) {
  auto gatherer = std::make_shared<TemplatedGatherer<std::vector<int>>>(gathered({}));
  auto reranker = std::make_shared<NamedReranker>(Scored{});
  auto result = SearchPipeline(gatherer, reranker).search(plain_query(), 1, 1);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->diagnostics.gatherer, "TemplatedGatherer");
  EXPECT_EQ(result->diagnostics.reranker, "custom name");
}

TEST(Pipeline, NanGatherScoreBeyondTheLimitFails) {
  SearchPipeline pipeline(gatherer_of(candidates_scored({3.0f, 2.0f, 1.0f, kNan})));
  auto result = pipeline.search(plain_query(), 10, 1);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), Error::Kind::Ranking);
  EXPECT_EQ(result.error().text(), "the score of candidate 3 is NaN");
}

TEST(Pipeline, WrongNumberOfRerankScoresFails) {
  auto reranker = std::make_shared<FixedReranker>(Scored{{1.0f, 2.0f, 3.0f}, {}});
  auto result = SearchPipeline(gatherer_of(candidates_scored({1, 1})), reranker).search(plain_query(), 10, 1);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), Error::Kind::Ranking);
  EXPECT_EQ(result.error().text(), "3 scores were returned for 2 candidates");
}

struct AsOfCase {
  TimeValue gathered;
  TimeValue reranked;
  TimeValue expected;
};

void PrintTo(const AsOfCase& c, std::ostream* os) {
  *os << "gathered=" << c.gathered.seconds << "s+" << c.gathered.nanoseconds << "ns reranked=" << c.reranked.seconds
      << "s+" << c.reranked.nanoseconds << "ns";
}


class PipelineAsOf : public testing::TestWithParam<AsOfCase> {};

TEST_P(PipelineAsOf, IsTheEarlierTime) {
  const AsOfCase& c = GetParam();
  auto reranker = std::make_shared<FixedReranker>(Scored{{1.0f}, c.reranked});
  auto result = SearchPipeline(gatherer_of(candidates_scored({1}), c.gathered), reranker).search(plain_query(), 1, 1);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->as_of, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, PipelineAsOf,
                         testing::Values(AsOfCase{{20, 0}, {10, 0}, {10, 0}}, AsOfCase{{10, 0}, {20, 0}, {10, 0}},
                                         AsOfCase{{10, 7}, {10, 3}, {10, 3}}, AsOfCase{{9, 999999999}, {10, 0}, {9, 999999999}},
                                         AsOfCase{{5, 5}, {5, 5}, {5, 5}}),
                         [](const testing::TestParamInfo<AsOfCase>& info) {
                           auto t = [](TimeValue v) { return std::to_string(v.seconds) + "s" + std::to_string(v.nanoseconds); };
                           return "gathered" + t(info.param.gathered) + "_reranked" + t(info.param.reranked);
                         });

TEST(Pipeline, DefaultBudgetReachesTheReranker) {
  auto reranker = std::make_shared<FixedReranker>(Scored{{1.0f}, {}});
  SearchPipeline pipeline(gatherer_of(candidates_scored({1})), reranker);
  ASSERT_TRUE(pipeline.search(plain_query(), 1, 1).has_value());
  EXPECT_EQ(reranker->seen().max_batch_tokens, 131072u);
  EXPECT_EQ(reranker->seen().max_documents, 256u);
  EXPECT_EQ(reranker->seen().threads, std::nullopt);

  ASSERT_TRUE(pipeline.search(plain_query(), 1, 1, nullptr, make_budget(64, 2, 3)).has_value());
  EXPECT_EQ(reranker->seen().max_batch_tokens, 64u);
  EXPECT_EQ(reranker->seen().max_documents, 2u);
  EXPECT_EQ(reranker->seen().threads, 3u);
}

// ---- timings ------------------------------------------------------------------

class SleepingGatherer : public ScriptedGatherer {
 public:
  using ScriptedGatherer::ScriptedGatherer;
  Result<Gathered> gather(const Query& q, std::size_t limit, const Subset* subset) const override {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return ScriptedGatherer::gather(q, limit, subset);
  }
};
class SleepingReranker : public FixedReranker {
 public:
  using FixedReranker::FixedReranker;
  Result<Scored> rerank(const Query& q, std::span<const Candidate> c, const ResourceBudget& b) const override {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    return FixedReranker::rerank(q, c, b);
  }
};

TEST(Pipeline, TimingsCoverTheirIntervals) {
  auto gatherer = std::make_shared<SleepingGatherer>(gathered(candidates_scored({1})));
  auto reranker = std::make_shared<SleepingReranker>(Scored{{1.0f}, {}});
  auto result = SearchPipeline(gatherer, reranker).search(plain_query(), 1, 1);
  ASSERT_TRUE(result.has_value());
  const SearchTimings& t = result->timings;
  // Lower bounds only: a sleep lasts at least as long as asked.
  EXPECT_GE(t.gather_seconds(), 0.020);
  EXPECT_GE(t.rerank_seconds(), 0.030);
  EXPECT_GE(t.total, t.gather + t.rerank);
}

TEST(SearchTimings, SecondsAreWholeSecondsPlusNanoseconds) {
  EXPECT_EQ(SearchTimings::seconds(std::chrono::nanoseconds(1'500'000'000)), 1.5);
  EXPECT_EQ(SearchTimings::seconds(std::chrono::nanoseconds(0)), 0.0);
  EXPECT_EQ(SearchTimings::seconds(std::chrono::nanoseconds(3'000'000'001)), 3.0 + 1e-9);
}

// ---- concurrency --------------------------------------------------------------

TEST(PipelineConcurrency, OnePipelineServesManyThreads) {
  // 64 candidates with distinct scores; reranked scores reverse the order and
  // leave every fourth document unscored.
  std::vector<float> gather_scores;
  Scores rerank_scores;
  for (int i = 0; i < 64; ++i) {
    gather_scores.push_back(static_cast<float>(i));
    rerank_scores.push_back(i % 4 == 3 ? std::nullopt : std::optional<float>(static_cast<float>(64 - i)));
  }
  auto gatherer = gatherer_of(candidates_scored(gather_scores), {50, 0});
  auto reranker = std::make_shared<FixedReranker>(Scored{rerank_scores, {40, 0}});
  const SearchPipeline pipeline(gatherer, reranker);
  const SearchPipeline gather_only(gatherer);
  Subset everything = Subset().restrict("c", Restriction::except({}));

  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 200; ++round) {
        const std::int64_t limit = 1 + (t * 7 + round) % 64;
        const bool reranked = (t + round) % 2 == 0;
        auto result = (reranked ? pipeline : gather_only).search(plain_query(), 64, limit, &everything);
        if (!result) { ++failures; continue; }
        const std::size_t expected_size = reranked ? std::min<std::size_t>(limit, 48) : limit;
        bool ok = result->documents.size() == expected_size && result->candidates.size() == 64 &&
                  result->as_of == (reranked ? TimeValue{40, 0} : TimeValue{50, 0}) &&
                  result->diagnostics.dropped == (reranked ? 16u : 0u);
        for (std::size_t k = 0; ok && k < result->documents.size(); ++k) {
          // Reranked: best is id 0 (score 64), skipping every fourth; gather: best is id 63.
          std::size_t id = reranked ? k + k / 3 : 63 - k;
          ok = result->documents[k].key.document_id().str() == std::to_string(id) &&
               result->documents[k].rank == k + 1;
        }
        if (!ok) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(gatherer->calls, 8 * 200);
}

}  // namespace
}  // namespace quillmark
