#include "storage/io/file_descriptor.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmark {

namespace {

Error last_os_error() { return IoError::from_errno(errno); }

}  // namespace

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

Result<FileDescriptor> FileDescriptor::open_read_only(const std::filesystem::path& path) {
  int fd;
  do {
    // O_NONBLOCK: a FIFO planted under a store file name must not hang the
    // reader (it then fails to map or reads as empty); no effect on files.
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(last_os_error());
  return FileDescriptor(fd);
}

Result<std::uint64_t> FileDescriptor::length() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return std::unexpected(last_os_error());
  return static_cast<std::uint64_t>(st.st_size);
}

Result<void> FileDescriptor::write_all(std::span<const std::byte> bytes) const {
  const std::byte* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd_, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(last_os_error());
    }
    if (n == 0) return std::unexpected(IoError::with_message(IoErrorKind::Other, "failed to write whole buffer"));
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return {};
}

Result<std::uint64_t> FileDescriptor::regular_file_length(const std::filesystem::path& path) const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return std::unexpected(last_os_error());
  if (!S_ISREG(st.st_mode)) return std::unexpected(Error::storage(path.string() + ": not a regular file"));
  return static_cast<std::uint64_t>(st.st_size);
}

Result<std::string> FileDescriptor::read_at_most(std::uint64_t limit) const {
  if (limit > SIZE_MAX - 1) return std::unexpected(IoError::from_errno(EFBIG));
  std::string out;
  out.resize(static_cast<std::size_t>(limit));
  std::size_t filled = 0;
  while (filled < out.size()) {
    ssize_t n = ::read(fd_, out.data() + filled, out.size() - filled);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(last_os_error());
    }
    if (n == 0) break;  // shorter than it was: the parser sees what is there
    filled += static_cast<std::size_t>(n);
  }
  out.resize(filled);
  return out;
}

Result<void> FileDescriptor::full_sync() const {
  for (;;) {
#ifdef F_FULLFSYNC
    int rc = ::fcntl(fd_, F_FULLFSYNC);
#else
    int rc = ::fsync(fd_);
#endif
    if (rc == 0) return {};
    if (errno != EINTR) return std::unexpected(last_os_error());
  }
}

Result<void> FileDescriptor::close() {
  int fd = release();
  if (fd < 0) return {};
  // POSIX leaves the descriptor state unspecified after EINTR; on Linux it is
  // closed, so the call is never repeated.
  if (::close(fd) != 0 && errno != EINTR) return std::unexpected(last_os_error());
  return {};
}

Result<std::string> read_file(const std::filesystem::path& path) {
  FileDescriptor fd = QM_TRY(FileDescriptor::open_read_only(path));
  const std::uint64_t length = QM_TRY(fd.regular_file_length(path));
  return fd.read_at_most(length);
}

}  // namespace quillmark
