#pragma once
// The two ways a set of scores can fail to rank; carried inline by Error.

#include <cstddef>
#include <string>

namespace quillmark {

class RankingError {
 public:
  enum class Case { ScoreCount, NanScore };

  static RankingError score_count(std::size_t candidates, std::size_t scores) {
    return RankingError(Case::ScoreCount, candidates, scores, 0);
  }
  static RankingError nan_score(std::size_t position) {
    return RankingError(Case::NanScore, 0, 0, position);
  }

  Case which() const { return case_; }
  std::size_t candidates() const { return candidates_; }  // ScoreCount only
  std::size_t scores() const { return scores_; }          // ScoreCount only
  std::size_t position() const { return position_; }      // NanScore only

  // "{scores} scores were returned for {candidates} candidates" or
  // "the score of candidate {position} is NaN".
  std::string text() const;
  // "ScoreCount { candidates: 5, scores: 2 }" or "NanScore(3)".
  std::string debug() const;

  friend bool operator==(const RankingError&, const RankingError&) = default;

 private:
  RankingError(Case c, std::size_t candidates, std::size_t scores, std::size_t position)
      : case_(c), candidates_(candidates), scores_(scores), position_(position) {}

  Case case_;
  std::size_t candidates_;
  std::size_t scores_;
  std::size_t position_;
};

}  // namespace quillmark
