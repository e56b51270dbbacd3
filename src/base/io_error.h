#pragma once
// Operating-system I/O failures: a kind, and the errno or a static message.

#include <memory>
#include <string>

namespace quillmark {

class ExternalError;

enum class IoErrorKind {
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  ConnectionAborted,
  BrokenPipe,
  AlreadyExists,
  WouldBlock,
  NotADirectory,
  IsADirectory,
  TimedOut,
  Interrupted,
  OutOfMemory,
  InvalidInput,
  InvalidData,
  UnexpectedEof,
  StorageFull,
  ReadOnlyFilesystem,
  CrossesDevices,
  DirectoryNotEmpty,
  Other,
};

class IoError {
 public:
  // An error reported by the operating system through errno.
  static IoError from_errno(int code);
  // An error with no errno, described by a fixed text.
  static IoError with_message(IoErrorKind kind, std::string message);
  // An I/O failure raised by foreign code (a Python file-like object); its
  // text is the wrapped error's and the binding re-raises the original.
  static IoError wrapping(std::shared_ptr<const ExternalError> inner);

  IoErrorKind kind() const { return kind_; }
  int os_code() const { return code_; }  // 0 when not an OS error
  const std::shared_ptr<const ExternalError>& inner() const { return inner_; }

  // For an OS error: strerror(code) + " (os error " + code + ")".
  std::string text() const;
  std::string debug() const;

 private:
  IoError(IoErrorKind kind, int code, std::string message,
          std::shared_ptr<const ExternalError> inner)
      : kind_(kind), code_(code), message_(std::move(message)), inner_(std::move(inner)) {}

  IoErrorKind kind_;
  int code_;
  std::string message_;
  std::shared_ptr<const ExternalError> inner_;
};

IoErrorKind io_error_kind_of_errno(int code);

}  // namespace quillmark
