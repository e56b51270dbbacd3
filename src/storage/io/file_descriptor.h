#pragma once
// An owned operating-system file descriptor and the few operations the store
// performs on one: opening, exclusive creation, whole reads and writes, and
// flushing to stable storage.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

#include "base/error.h"

namespace quillmark {

// Owns one open descriptor (or none, -1). Move-only; the destructor closes it
// and ignores a failure of that close, so callers that must know whether the
// close succeeded call close() themselves.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();

  // Opens an existing file for reading. Returns the I/O error of open(2).
  static Result<FileDescriptor> open_read_only(const std::filesystem::path& path);

  int get() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }

  // The file's length in bytes (fstat), or the I/O error.
  Result<std::uint64_t> length() const;
  // The length of the regular file this descriptor reads, named `path` in
  // errors: Storage "{path}: not a regular file" for anything else (a FIFO,
  // a character device such as /dev/zero, a directory), whose length fstat
  // does not bound; the I/O error of fstat otherwise.
  Result<std::uint64_t> regular_file_length(const std::filesystem::path& path) const;
  // Writes every byte, retrying short and interrupted writes.
  Result<void> write_all(std::span<const std::byte> bytes) const;
  // Reads from the current position until end of file or `limit` bytes,
  // whichever comes first: a file that grows is not followed past the
  // length its reader was prepared for.
  Result<std::string> read_at_most(std::uint64_t limit) const;
  // Forces the file's data and metadata to stable storage: the full-device
  // flush of fcntl(F_FULLFSYNC) where the platform has it, fsync(2) otherwise.
  // An interrupted call is repeated; any other failure is the I/O error.
  Result<void> full_sync() const;
  // Closes the descriptor now and reports a failure of close(2). The
  // descriptor is released even when close fails.
  Result<void> close();
  // Gives up ownership without closing; returns the descriptor.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

// Reads a whole regular file into memory, at most the length fstat reports
// once it is open. Returns the I/O error of opening or reading, or Storage
// "{path}: not a regular file".
Result<std::string> read_file(const std::filesystem::path& path);

}  // namespace quillmark
