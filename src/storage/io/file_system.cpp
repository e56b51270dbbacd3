#include "storage/io/file_system.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <memory>
#include <string_view>

namespace quillmark {

namespace {

Error last_os_error() { return IoError::from_errno(errno); }

Error from_error_code(const std::error_code& ec) { return IoError::from_errno(ec.value()); }

struct DirectoryCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

// Removes `name` in the directory `parent` (AT_FDCWD: the current one): a
// file or link, or a directory with everything in it. Nothing there is
// success. Returns 0 or the errno of the first failure. Out of memory is
// std::bad_alloc from this code, never from inside the standard library's
// recursive removal, which ends the process when an allocation fails.
int remove_tree(int parent, const char* name) {
  if (::unlinkat(parent, name, 0) == 0 || errno == ENOENT) return 0;
  if (errno != EISDIR) return errno;
  int fd;
  do {
    fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno == ENOENT ? 0 : errno;
  std::unique_ptr<DIR, DirectoryCloser> dir(::fdopendir(fd));
  if (!dir) {
    const int failure = errno;
    ::close(fd);
    return failure;
  }
  // All names first: removing entries while reading leaves what readdir
  // returns unspecified.
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) return errno;
      break;
    }
    const std::string_view child = entry->d_name;
    if (child != "." && child != "..") names.emplace_back(child);
  }
  for (const std::string& child : names)
    if (int failure = remove_tree(::dirfd(dir.get()), child.c_str()); failure != 0) return failure;
  dir.reset();
  if (::unlinkat(parent, name, AT_REMOVEDIR) != 0 && errno != ENOENT) return errno;
  return 0;
}

// Errors by which copy_file_range(2) and sendfile(2) say that they cannot
// copy between this pair of files (another file system, an old kernel, a
// file system without the operation), as opposed to a failure of the copy.
bool unsupported_pair(int code) {
  return code == EXDEV || code == EINVAL || code == ENOSYS || code == EOPNOTSUPP || code == EBADF;
}

// Copies [offset, length) of `from` to `to` with pread and write.
Result<void> copy_by_reading(int from, const FileDescriptor& to, std::uint64_t offset, std::uint64_t length) {
  std::vector<std::byte> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(length - offset, 1 << 20)));
  while (offset < length) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(length - offset, buffer.size()));
    const ssize_t got = ::pread(from, buffer.data(), want, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::unexpected(last_os_error());
    if (got == 0) return std::unexpected(IoError::with_message(IoErrorKind::UnexpectedEof, "the file to copy is shorter than expected"));
    QM_TRY(to.write_all(std::span<const std::byte>(buffer.data(), static_cast<std::size_t>(got))));
    offset += static_cast<std::uint64_t>(got);
  }
  return {};
}

Result<void> copy_file(const FileDescriptor& from, const FileDescriptor& to, std::uint64_t length) {
  constexpr std::uint64_t kChunk = std::uint64_t{1} << 30;
  std::uint64_t done = 0;
  // In the kernel, without passing the bytes through this process (and on
  // file systems that share extents, without copying them at all).
  bool kernel_copy = true;
  while (kernel_copy && done < length) {
    loff_t in_offset = static_cast<loff_t>(done);
    const ssize_t n = ::copy_file_range(from.get(), &in_offset, to.get(), nullptr,
                                        static_cast<std::size_t>(std::min(length - done, kChunk)), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && unsupported_pair(errno) && done == 0) break;
    if (n < 0) return std::unexpected(last_os_error());
    if (n == 0) return std::unexpected(IoError::with_message(IoErrorKind::UnexpectedEof, "the file to copy is shorter than expected"));
    done += static_cast<std::uint64_t>(n);
  }
  if (done == length) return {};
  // sendfile(2) copies into any file since Linux 2.6.33, across file systems.
  while (done < length) {
    off_t in_offset = static_cast<off_t>(done);
    const ssize_t n = ::sendfile(to.get(), from.get(), &in_offset, static_cast<std::size_t>(std::min(length - done, kChunk)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && unsupported_pair(errno) && done == 0) return copy_by_reading(from.get(), to, 0, length);
    if (n < 0) return std::unexpected(last_os_error());
    if (n == 0) return std::unexpected(IoError::with_message(IoErrorKind::UnexpectedEof, "the file to copy is shorter than expected"));
    done += static_cast<std::uint64_t>(n);
  }
  return {};
}

Result<void> check(int rc) {
  if (rc != 0) return std::unexpected(last_os_error());
  return {};
}

class OsFileSystem final : public FileSystem {
 public:
  Result<Directory> open_directory(const std::filesystem::path& path) override { return Directory::open(path); }

  Result<Directory> open_directory(const Directory& parent, const std::string& name) override {
    return parent.open_child(name);
  }

  Result<FileDescriptor> create_exclusive(const Directory& directory, const std::string& name) override {
    return open_at(directory.fd(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
  }

  Result<void> write(const FileDescriptor& file, std::span<const std::byte> bytes) override {
    return file.write_all(bytes);
  }

  Result<void> sync(const FileDescriptor& file, FlushSite) override { return file.full_sync(); }

  Result<void> close(FileDescriptor& file) override { return file.close(); }

  Result<void> link(const Directory& from_dir, const std::string& from, const Directory& to_dir,
                    const std::string& to) override {
    return check(::linkat(from_dir.fd(), from.c_str(), to_dir.fd(), to.c_str(), 0));
  }

  Result<void> rename(const Directory& directory, const std::string& from, const std::string& to) override {
    return check(::renameat(directory.fd(), from.c_str(), directory.fd(), to.c_str()));
  }

  Result<void> remove_file(const Directory& directory, const std::string& name) override {
    return check(::unlinkat(directory.fd(), name.c_str(), 0));
  }

  Result<void> create_directory(const Directory& directory, const std::string& name) override {
    return check(::mkdirat(directory.fd(), name.c_str(), 0777));
  }

  Result<void> remove_directory(const Directory& directory, const std::string& name) override {
    return check(::unlinkat(directory.fd(), name.c_str(), AT_REMOVEDIR));
  }

  Result<void> create_directories(const std::filesystem::path& path) override {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) return std::unexpected(from_error_code(ec));
    return {};
  }

  Result<void> remove_all(const Directory& directory, const std::string& name) override {
    if (int failure = remove_tree(directory.fd(), name.c_str()); failure != 0)
      return std::unexpected(IoError::from_errno(failure));
    return {};
  }

  Result<std::vector<DirectoryEntry>> list(const Directory& directory) override {
    // A descriptor of its own: readdir moves the position of the one it reads.
    FileDescriptor fd = QM_TRY(open_at(directory.fd(), ".", O_RDONLY | O_DIRECTORY));
    DIR* opened = ::fdopendir(fd.get());
    if (opened == nullptr) return std::unexpected(last_os_error());
    (void)fd.release();  // the DIR owns it now
    // Closed on every exit, std::bad_alloc from a name included.
    const std::unique_ptr<DIR, DirectoryCloser> dir(opened);
    std::vector<DirectoryEntry> entries;
    int failure = 0;
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir.get());
      if (entry == nullptr) {
        failure = errno;
        break;
      }
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      bool is_directory;
      if (entry->d_type != DT_UNKNOWN) {
        is_directory = entry->d_type == DT_DIR;
      } else {
        struct stat st;
        if (::fstatat(::dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        is_directory = S_ISDIR(st.st_mode);
      }
      entries.push_back({name, is_directory});
    }
    if (failure != 0) return std::unexpected(IoError::from_errno(failure));
    return entries;
  }

  Result<void> sync_directory(const Directory& directory, FlushSite) override { return directory.sync(); }

  Result<FileIdentity> identity(const Directory& directory, const std::string& name) override {
    return directory.identity(name);
  }

  Result<OpenedFile> open_read(const Directory& directory, const std::string& name) override {
    OpenedFile opened;
    opened.fd = QM_TRY(open_at(directory.fd(), name.c_str(), O_RDONLY | O_NOFOLLOW));
    opened.identity = QM_TRY(identity_of(opened.fd));
    return opened;
  }

  Result<void> copy(const FileDescriptor& from, const FileDescriptor& to, std::uint64_t length) override {
    return copy_file(from, to, length);
  }

  Result<void> lock_directory(const Directory& directory) override {
    for (;;) {
      if (::flock(directory.fd(), LOCK_EX | LOCK_NB) == 0) return {};
      if (errno != EINTR) return std::unexpected(last_os_error());
    }
  }
};

}  // namespace

FileSystem& os_file_system() {
  static OsFileSystem file_system;
  return file_system;
}

}  // namespace quillmark
