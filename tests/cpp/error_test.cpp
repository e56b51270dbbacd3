#include "base/error.h"

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

// Every I/O error has an errno: its own, or for one built from a kind the
// number whose kind it is (EIO for the kinds no number names).
TEST(IoError, ErrnoOfEveryKind) {
  EXPECT_EQ(errno_of(IoError::from_errno(ENOSPC)), ENOSPC);
  EXPECT_EQ(errno_of(IoError::from_errno(EIO)), EIO);
  EXPECT_EQ(errno_of(IoError::wrapping(std::make_shared<Carried>())), EIO);
  for (int k = 0; k <= static_cast<int>(IoErrorKind::Other); ++k) {
    const auto kind = static_cast<IoErrorKind>(k);
    const int code = errno_of(IoError::with_message(kind, "m"));
    const bool unnamed =
        kind == IoErrorKind::InvalidData || kind == IoErrorKind::UnexpectedEof || kind == IoErrorKind::Other;
    EXPECT_EQ(io_error_kind_of_errno(code), unnamed ? IoErrorKind::Other : kind) << k;
    EXPECT_EQ(code == EIO, unnamed) << k;
  }
}

// A publication whose directory flush failed is a Storage error like any
// other, told apart by its flag alone.
TEST(Error, UnsyncedPublicationIsAFlaggedStorageError) {
  const Error unsynced = Error::unsynced_publication("published: flush failed");
  EXPECT_EQ(unsynced.kind(), Error::Kind::Storage);
  EXPECT_EQ(unsynced.text(), "published: flush failed");
  EXPECT_EQ(unsynced.debug(), "Storage(\"published: flush failed\")");
  EXPECT_TRUE(unsynced.unsynced_publication());
  EXPECT_FALSE(Error::storage("published: flush failed").unsynced_publication());
  EXPECT_FALSE(Error(IoError::from_errno(EIO)).unsynced_publication());
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
