#pragma once
// The core's single error type. Every fallible core operation returns
// Result<T>; the binding layer turns an Error into a Python exception.

#include <expected>
#include <memory>
#include <string>
#include <utility>
#include <variant>

#include "base/io_error.h"
#include "base/ranking_error.h"

namespace quillmark {

// An error raised outside the core (a Python exception raised by a provider
// or a Python stage) and carried through it unchanged. Implementations must
// be safe to destroy on any thread.
class ExternalError {
 public:
  virtual ~ExternalError() = default;
  virtual std::string text() const = 0;
  virtual std::string debug() const { return text(); }
};

class Error {
 public:
  // The order is the variant index.
  enum class Kind { IncompatibleIndex, IncompatibleQuery, InvalidInput, Ranking, Storage, Io, External };

  static Error incompatible_index(std::string message) { return Error(Tagged<0>{std::move(message)}); }
  static Error incompatible_query(std::string message) { return Error(Tagged<1>{std::move(message)}); }
  static Error invalid_input(std::string message) { return Error(Tagged<2>{std::move(message)}); }
  static Error storage(std::string message) { return Error(StorageMessage{std::move(message), false}); }
  // A Storage error reporting that a commit was published (its manifest is
  // in force and readers see it) but the store directory could not be
  // flushed afterwards, so the publication may not survive a power loss. A
  // further commit or reopening the writer flushes the directory again.
  static Error unsynced_publication(std::string message) {
    return Error(StorageMessage{std::move(message), true});
  }
  Error(RankingError e) : payload_(std::move(e)) {}                 // NOLINT: implicit by design
  Error(IoError e) : payload_(std::move(e)) {}                      // NOLINT: implicit by design
  static Error external(std::shared_ptr<const ExternalError> e) { return Error(External{std::move(e)}); }

  Kind kind() const { return static_cast<Kind>(payload_.index()); }

  // The message of a string variant (IncompatibleIndex, IncompatibleQuery,
  // InvalidInput, Storage); empty for the others.
  const std::string& message() const;
  // Whether this is the Storage error of unsynced_publication.
  bool unsynced_publication() const;
  const RankingError* ranking() const { return std::get_if<RankingError>(&payload_); }
  const IoError* io() const { return std::get_if<IoError>(&payload_); }
  // The carried error of External; null for the others.
  const std::shared_ptr<const ExternalError>* external() const;

  // Display form: the message alone, no prefix.
  std::string text() const;
  // Debug form: the variant name and the payload, e.g. InvalidInput("...").
  std::string debug() const;

 private:
  template <int N>
  struct Tagged {
    std::string message;
  };
  struct StorageMessage {
    std::string message;
    bool unsynced_publication;
  };
  struct External {
    std::shared_ptr<const ExternalError> error;
  };
  // Only the payload types: an unconstrained template here would make every
  // is_constructible<Error, X> check instantiate X's constructors, which
  // recurses for X = Result<T> under clang.
  template <int N>
  explicit Error(Tagged<N> payload) : payload_(std::move(payload)) {}
  explicit Error(StorageMessage payload) : payload_(std::move(payload)) {}
  explicit Error(External payload) : payload_(std::move(payload)) {}

  std::variant<Tagged<0>, Tagged<1>, Tagged<2>, RankingError, StorageMessage, IoError, External> payload_;
};

template <class T>
using Result = std::expected<T, Error>;

// The errno that stands for `error`: its OS error number, or for an error
// built without one (with_message, wrapping) the number of its kind, EIO for
// the kinds no number names (invalid data, unexpected end of file, other).
int errno_of(const IoError& error);

// A state that validated input can never reach. Thrown, never returned; the
// binding layer turns it into an exception deriving from BaseException.
class InvariantViolation : public std::exception {
 public:
  explicit InvariantViolation(std::string text) : text_(std::move(text)) {}
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

[[noreturn]] void invariant_failed(const char* text);

}  // namespace quillmark

// Evaluates a Result-returning expression; on error returns the error from the
// enclosing function, otherwise yields the value.
#define QM_TRY(...)                                                        \
  ({                                                                       \
    auto&& qm_try_result_ = (__VA_ARGS__);                                 \
    if (!qm_try_result_) return std::unexpected(std::move(qm_try_result_).error()); \
    std::move(qm_try_result_).value();                                     \
  })

#define QM_INVARIANT(cond, text)                      \
  do {                                                \
    if (!(cond)) ::quillmark::invariant_failed(text); \
  } while (0)
