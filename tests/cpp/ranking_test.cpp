#include "search/ranking.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "base/error.h"

namespace quillmark {
namespace {

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
using Scores = std::vector<std::optional<float>>;
using Positions = std::vector<std::size_t>;

std::vector<Candidate> candidates_ranked(std::vector<std::size_t> ranks) {
  std::vector<Candidate> out;
  for (std::size_t r : ranks) out.push_back(Candidate{DocumentKey("c", std::to_string(r)), 0.0f, r, ""});
  return out;
}
std::vector<Candidate> candidates(std::size_t n) {
  std::vector<Candidate> out;
  for (std::size_t i = 0; i < n; ++i) out.push_back(Candidate{DocumentKey("c", std::to_string(i)), 0.0f, i, ""});
  return out;
}

struct RankCase {
  const char* name;
  Scores scores;
  std::size_t limit;
  Positions expected;
};

void PrintTo(const RankCase& c, std::ostream* os) { *os << c.name; }


class RankOrder : public testing::TestWithParam<RankCase> {};

TEST_P(RankOrder, Ranks) {
  const RankCase& c = GetParam();
  auto ranked = validate_and_rank(candidates(c.scores.size()), c.scores, c.limit);
  ASSERT_TRUE(ranked.has_value()) << ranked.error().text();
  EXPECT_EQ(*ranked, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RankOrder,
    testing::Values(RankCase{"UnscoredDropped", {0.5f, std::nullopt, 0.9f, 0.5f}, 10, {2, 0, 3}},
                    RankCase{"CutAtLimit", {0.5f, std::nullopt, 0.9f, 0.5f}, 2, {2, 0}},
                    RankCase{"AllAbsent", {std::nullopt, std::nullopt}, 5, {}},
                    RankCase{"NoCandidates", {}, 1, {}},
                    RankCase{"PositiveZeroAboveNegativeZero", {-0.0f, +0.0f}, 10, {1, 0}},
                    RankCase{"Infinities", {-kInf, +kInf}, 10, {1, 0}},
                    RankCase{"InfinitiesAroundFinite", {-kInf, 3.0f, kInf, -1e30f}, 10, {2, 1, 3, 0}},
                    RankCase{"NegativesOrdered", {-2.0f, -1.0f, -3.0f}, 10, {1, 0, 2}},
                    RankCase{"TiesKeepGatherOrder", {1.0f, 2.0f, 1.0f, 2.0f, 1.0f}, 10, {1, 3, 0, 2, 4}},
                    RankCase{"TiesCutAtLimit", {1.0f, 1.0f, 1.0f}, 2, {0, 1}},
                    RankCase{"Subnormals", {1e-45f, 0.0f, -1e-45f}, 10, {0, 1, 2}}),
    [](const testing::TestParamInfo<RankCase>& info) { return std::string(info.param.name); });

TEST(Rank, TiesBrokenByGatherRankNotPosition) {
  // Gather ranks need not follow positions when called directly.
  auto cands = candidates_ranked({2, 0, 1});
  auto ranked = validate_and_rank(cands, Scores{1.0f, 1.0f, 1.0f}, 10);
  ASSERT_TRUE(ranked.has_value());
  EXPECT_EQ(*ranked, (Positions{1, 2, 0}));
}

TEST(Rank, CountMismatchFails) {
  auto ranked = validate_and_rank(candidates(2), Scores{1.0f, 2.0f, 3.0f}, 10);
  ASSERT_FALSE(ranked.has_value());
  EXPECT_EQ(ranked.error(), RankingError::score_count(2, 3));
  EXPECT_EQ(ranked.error().text(), "3 scores were returned for 2 candidates");
  EXPECT_EQ(ranked.error().debug(), "ScoreCount { candidates: 2, scores: 3 }");

  auto fewer = validate_and_rank(candidates(2), Scores{}, 10);
  ASSERT_FALSE(fewer.has_value());
  EXPECT_EQ(fewer.error().text(), "0 scores were returned for 2 candidates");
}

TEST(Rank, CountIsCheckedBeforeNan) {
  auto ranked = validate_and_rank(candidates(1), Scores{kNan, kNan}, 10);
  ASSERT_FALSE(ranked.has_value());
  EXPECT_EQ(ranked.error().which(), RankingError::Case::ScoreCount);
}

TEST(Rank, FirstNanFails) {
  auto ranked = validate_and_rank(candidates(3), Scores{1.0f, kNan, kNan}, 10);
  ASSERT_FALSE(ranked.has_value());
  EXPECT_EQ(ranked.error(), RankingError::nan_score(1));
  EXPECT_EQ(ranked.error().text(), "the score of candidate 1 is NaN");
  EXPECT_EQ(ranked.error().debug(), "NanScore(1)");
}

TEST(Rank, NanBeyondTheLimitStillFails) {
  auto ranked = validate_and_rank(candidates(4), Scores{9.0f, 8.0f, std::nullopt, -kNan}, 1);
  ASSERT_FALSE(ranked.has_value());
  EXPECT_EQ(ranked.error(), RankingError::nan_score(3));
}

TEST(Rank, RankingErrorBecomesRankingKind) {
  Error e = RankingError::nan_score(7);
  EXPECT_EQ(e.kind(), Error::Kind::Ranking);
  EXPECT_EQ(e.text(), "the score of candidate 7 is NaN");
  EXPECT_EQ(e.debug(), "Ranking(NanScore(7))");
}

// Against a plain reference: stable sort by (score descending, with +0 above
// -0) of the scored positions, then cut.
TEST(Rank, AgreesWithReferenceOnRandomScores) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> pick(0, 6);
  const float palette[] = {-kInf, -1.0f, -0.0f, 0.0f, 0.25f, 1.0f, kInf};
  for (int round = 0; round < 200; ++round) {
    std::size_t n = rng() % 40;
    Scores scores;
    for (std::size_t i = 0; i < n; ++i) {
      int p = pick(rng);
      scores.push_back(p == 6 && rng() % 2 ? std::nullopt : std::optional<float>(palette[p]));
    }
    std::size_t limit = 1 + rng() % 45;
    std::vector<std::size_t> reference;
    for (std::size_t i = 0; i < n; ++i)
      if (scores[i]) reference.push_back(i);
    auto key = [&](std::size_t i) {
      float s = *scores[i];
      return std::make_pair(s, std::signbit(s) ? 0 : 1);
    };
    std::stable_sort(reference.begin(), reference.end(), [&](std::size_t a, std::size_t b) { return key(a) > key(b); });
    if (reference.size() > limit) reference.resize(limit);

    auto ranked = validate_and_rank(candidates(n), scores, limit);
    ASSERT_TRUE(ranked.has_value());
    EXPECT_EQ(*ranked, reference) << "round " << round;
  }
}

}  // namespace
}  // namespace quillmark
