#include "storage/io/directory.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace quillmark {

namespace {

Error last_os_error() { return IoError::from_errno(errno); }

FileIdentity identity_from(const struct stat& st) {
  return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
          static_cast<std::uint64_t>(st.st_size),
          static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

}  // namespace

Result<Directory> Directory::open(const std::filesystem::path& path) {
  FileDescriptor fd = QM_TRY(open_at(AT_FDCWD, path.c_str(), O_RDONLY | O_DIRECTORY));
  return Directory(std::move(fd), path);
}

Result<Directory> Directory::open_child(const std::string& name) const {
  FileDescriptor fd = QM_TRY(open_at(fd_.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
  return Directory(std::move(fd), path_ / name);
}

Result<FileDescriptor> Directory::open_file(const std::string& name) const {
  // O_NONBLOCK: a FIFO planted under a store file name must not hang the
  // reader (it then fails as not a regular file); no effect on files.
  auto fd = open_at(fd_.get(), name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
  if (!fd && fd.error().io() != nullptr && fd.error().io()->os_code() == ELOOP)
    return std::unexpected(Error::storage(file(name).string() + ": a store file must not be a symbolic link"));
  return fd;
}

Result<std::string> Directory::read(const std::string& name) const {
  FileDescriptor fd = QM_TRY(open_file(name));
  const std::uint64_t length = QM_TRY(fd.regular_file_length(file(name)));
  return fd.read_at_most(length);
}

Result<FileIdentity> Directory::identity(const std::string& name) const {
  struct stat st;
  if (::fstatat(fd_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::unexpected(last_os_error());
  return identity_from(st);
}

Result<FileDescriptor> open_at(int directory, const char* name, int flags, unsigned mode) {
  int fd;
  do {
    fd = ::openat(directory, name, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(last_os_error());
  return FileDescriptor(fd);
}

Result<FileIdentity> identity_of(const FileDescriptor& fd) {
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return std::unexpected(last_os_error());
  return identity_from(st);
}

}  // namespace quillmark
