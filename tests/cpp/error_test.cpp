#include "error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace quillmark {
namespace {

struct Carried : ExternalError {
  std::string text() const override { return "carried text"; }
};

TEST(Error, DisplayFormIsTheMessageAlone) {
  EXPECT_EQ(Error::invalid_input("bad thing").text(), "bad thing");
  EXPECT_EQ(Error::storage("x: broken").text(), "x: broken");
  EXPECT_EQ(Error(RankingError::score_count(5, 2)).text(), "2 scores were returned for 5 candidates");
  EXPECT_EQ(Error(RankingError::nan_score(3)).text(), "the score of candidate 3 is NaN");
  EXPECT_EQ(Error::external(std::make_shared<Carried>()).text(), "carried text");
  EXPECT_EQ(Error(IoError::from_errno(ENOENT)).text(), std::string(std::strerror(ENOENT)) + " (os error 2)");
}

TEST(Error, KindsFollowVariantOrder) {
  EXPECT_EQ(static_cast<int>(Error::incompatible_index("").kind()), 0);
  EXPECT_EQ(static_cast<int>(Error::incompatible_query("").kind()), 1);
  EXPECT_EQ(static_cast<int>(Error::invalid_input("").kind()), 2);
  EXPECT_EQ(static_cast<int>(Error(RankingError::nan_score(0)).kind()), 3);
  EXPECT_EQ(static_cast<int>(Error::storage("").kind()), 4);
  EXPECT_EQ(static_cast<int>(Error(IoError::from_errno(EIO)).kind()), 5);
  EXPECT_EQ(static_cast<int>(Error::external(nullptr).kind()), 6);
}

TEST(Error, DebugFormNamesTheVariant) {
  EXPECT_EQ(Error::invalid_input("a \"b\"").debug(), "InvalidInput(\"a \\\"b\\\"\")");
  EXPECT_EQ(Error::incompatible_index("m").debug(), "IncompatibleIndex(\"m\")");
  EXPECT_EQ(Error(RankingError::score_count(5, 2)).debug(), "Ranking(ScoreCount { candidates: 5, scores: 2 })");
  EXPECT_EQ(Error(RankingError::nan_score(3)).debug(), "Ranking(NanScore(3))");
  EXPECT_EQ(Error::external(std::make_shared<Carried>()).debug(), "External(carried text)");
}

TEST(IoError, KindsOfErrno) {
  EXPECT_EQ(IoError::from_errno(ENOENT).kind(), IoErrorKind::NotFound);
  EXPECT_EQ(IoError::from_errno(EEXIST).kind(), IoErrorKind::AlreadyExists);
  EXPECT_EQ(IoError::from_errno(ENOSPC).kind(), IoErrorKind::StorageFull);
  EXPECT_EQ(IoError::from_errno(EIO).kind(), IoErrorKind::Other);
  EXPECT_EQ(IoError::with_message(IoErrorKind::UnexpectedEof, "short read").text(), "short read");
}

Result<int> half(int x) {
  if (x % 2) return std::unexpected(Error::invalid_input("odd " + std::to_string(x)));
  return x / 2;
}

Result<int> quarter(int x) {
  int h = QM_TRY(half(x));
  return QM_TRY(half(h));
}

TEST(Error, TryPropagatesTheFirstError) {
  EXPECT_EQ(quarter(8).value(), 2);
  EXPECT_EQ(quarter(6).error().text(), "odd 3");
  EXPECT_EQ(quarter(5).error().text(), "odd 5");
  EXPECT_THROW(invariant_failed("broken"), InvariantViolation);
}

}  // namespace
}  // namespace quillmark
