#include "base/error.h"

#include <cerrno>
#include <cstring>

#include "base/text.h"

namespace quillmark {

std::string RankingError::text() const {
  if (case_ == Case::ScoreCount)
    return std::to_string(scores_) + " scores were returned for " + std::to_string(candidates_) +
           " candidates";
  return "the score of candidate " + std::to_string(position_) + " is NaN";
}

std::string RankingError::debug() const {
  if (case_ == Case::ScoreCount)
    return "ScoreCount { candidates: " + std::to_string(candidates_) +
           ", scores: " + std::to_string(scores_) + " }";
  return "NanScore(" + std::to_string(position_) + ")";
}

IoErrorKind io_error_kind_of_errno(int code) {
  switch (code) {
    case ENOENT: return IoErrorKind::NotFound;
    case EACCES: case EPERM: return IoErrorKind::PermissionDenied;
    case ECONNREFUSED: return IoErrorKind::ConnectionRefused;
    case ECONNRESET: return IoErrorKind::ConnectionReset;
    case ECONNABORTED: return IoErrorKind::ConnectionAborted;
    case EPIPE: return IoErrorKind::BrokenPipe;
    case EEXIST: return IoErrorKind::AlreadyExists;
    case EAGAIN: return IoErrorKind::WouldBlock;
    case ENOTDIR: return IoErrorKind::NotADirectory;
    case EISDIR: return IoErrorKind::IsADirectory;
    case ETIMEDOUT: return IoErrorKind::TimedOut;
    case EINTR: return IoErrorKind::Interrupted;
    case ENOMEM: return IoErrorKind::OutOfMemory;
    case EINVAL: return IoErrorKind::InvalidInput;
    case ENOSPC: return IoErrorKind::StorageFull;
    case EROFS: return IoErrorKind::ReadOnlyFilesystem;
    case EXDEV: return IoErrorKind::CrossesDevices;
    case ENOTEMPTY: return IoErrorKind::DirectoryNotEmpty;
    default: return IoErrorKind::Other;
  }
}

int errno_of(const IoError& error) {
  if (error.os_code() != 0) return error.os_code();
  switch (error.kind()) {
    case IoErrorKind::NotFound: return ENOENT;
    case IoErrorKind::PermissionDenied: return EACCES;
    case IoErrorKind::ConnectionRefused: return ECONNREFUSED;
    case IoErrorKind::ConnectionReset: return ECONNRESET;
    case IoErrorKind::ConnectionAborted: return ECONNABORTED;
    case IoErrorKind::BrokenPipe: return EPIPE;
    case IoErrorKind::AlreadyExists: return EEXIST;
    case IoErrorKind::WouldBlock: return EAGAIN;
    case IoErrorKind::NotADirectory: return ENOTDIR;
    case IoErrorKind::IsADirectory: return EISDIR;
    case IoErrorKind::TimedOut: return ETIMEDOUT;
    case IoErrorKind::Interrupted: return EINTR;
    case IoErrorKind::OutOfMemory: return ENOMEM;
    case IoErrorKind::InvalidInput: return EINVAL;
    case IoErrorKind::StorageFull: return ENOSPC;
    case IoErrorKind::ReadOnlyFilesystem: return EROFS;
    case IoErrorKind::CrossesDevices: return EXDEV;
    case IoErrorKind::DirectoryNotEmpty: return ENOTEMPTY;
    case IoErrorKind::InvalidData:
    case IoErrorKind::UnexpectedEof:
    case IoErrorKind::Other: return EIO;
  }
  return EIO;
}

IoError IoError::from_errno(int code) { return IoError(io_error_kind_of_errno(code), code, {}, nullptr); }

IoError IoError::with_message(IoErrorKind kind, std::string message) {
  return IoError(kind, 0, std::move(message), nullptr);
}

IoError IoError::wrapping(std::shared_ptr<const ExternalError> inner) {
  return IoError(IoErrorKind::Other, 0, {}, std::move(inner));
}

std::string IoError::text() const {
  if (inner_) return inner_->text();
  if (code_ != 0) {
    char buf[256];
    // GNU strerror_r returns the message pointer (maybe not buf).
    const char* msg = strerror_r(code_, buf, sizeof buf);
    return std::string(msg) + " (os error " + std::to_string(code_) + ")";
  }
  return message_;
}

std::string IoError::debug() const {
  if (inner_) return "Custom(" + inner_->debug() + ")";
  if (code_ != 0) return "Os { code: " + std::to_string(code_) + ", message: " + debug_form(text()) + " }";
  return "Custom(" + debug_form(message_) + ")";
}

const std::string& Error::message() const {
  static const std::string empty;
  switch (payload_.index()) {
    case 0: return std::get<0>(payload_).message;
    case 1: return std::get<1>(payload_).message;
    case 2: return std::get<2>(payload_).message;
    case 4: return std::get<4>(payload_).message;
    default: return empty;
  }
}

bool Error::unsynced_publication() const {
  auto* storage = std::get_if<StorageMessage>(&payload_);
  return storage && storage->unsynced_publication;
}

const std::shared_ptr<const ExternalError>* Error::external() const {
  auto* e = std::get_if<External>(&payload_);
  return e ? &e->error : nullptr;
}

std::string Error::text() const {
  switch (kind()) {
    case Kind::Ranking: return ranking()->text();
    case Kind::Io: return io()->text();
    case Kind::External: {
      auto& e = std::get<External>(payload_).error;
      return e ? e->text() : std::string();
    }
    default: return message();
  }
}

std::string Error::debug() const {
  static const char* const names[] = {"IncompatibleIndex", "IncompatibleQuery", "InvalidInput", "Ranking",
                                      "Storage",           "Io",                "External"};
  std::string payload;
  switch (kind()) {
    case Kind::Ranking: payload = ranking()->debug(); break;
    case Kind::Io: payload = io()->debug(); break;
    case Kind::External: {
      auto& e = std::get<External>(payload_).error;
      payload = e ? e->debug() : std::string();
      break;
    }
    default: payload = debug_form(message());
  }
  return std::string(names[payload_.index()]) + "(" + payload + ")";
}

void invariant_failed(const char* text) { throw InvariantViolation(text); }

}  // namespace quillmark
