#pragma once
// A directory held open by descriptor.
//
// Store files are opened and made relative to a Directory, never by
// resolving a path again: what a writer or a load works on is the directory
// it opened, whatever happens to its path (a rename, a new store at the old
// path, a change of the working directory) afterwards.

#include <cstdint>
#include <filesystem>
#include <string>

#include "base/error.h"
#include "storage/io/file_descriptor.h"

namespace quillmark {

// Which file a name led to: equal identities are the same file, whatever
// its path. Read from the opened descriptor, so it costs no extra read.
// The size and modification time are kept beside (not compared): they tell
// a cache outside the store whether a file of the same name and inode was
// written again (an inode is reused once its file is removed).
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modified_ns = 0;  // st_mtim in nanoseconds since the epoch

  friend bool operator==(const FileIdentity& a, const FileIdentity& b) {
    return a.device == b.device && a.inode == b.inode;
  }
};

// Invariants: is_open() after open()/open_child() succeeded; path() is how
// the directory was reached (for messages and test file systems), never
// used to reach it again.
// Move-only; its const operations may be called from several threads.
class Directory {
 public:
  Directory() = default;
  Directory(FileDescriptor fd, std::filesystem::path path) : fd_(std::move(fd)), path_(std::move(path)) {}

  // Opens the directory at `path` (resolved now, following links, a
  // relative path against the current directory). Returns the I/O error.
  static Result<Directory> open(const std::filesystem::path& path);
  // Opens the subdirectory `name` without following a link there.
  Result<Directory> open_child(const std::string& name) const;

  int fd() const { return fd_.get(); }
  bool is_open() const { return fd_.is_open(); }
  const std::filesystem::path& path() const { return path_; }
  // path() / name, for messages.
  std::filesystem::path file(const std::string& name) const { return path_ / name; }

  // Opens the regular file `name` in this directory read-only, refusing a
  // symbolic link: Storage "PATH: a store file must not be a symbolic link".
  // Other failures are the I/O error of openat(2) (NotFound when absent).
  Result<FileDescriptor> open_file(const std::string& name) const;
  // Reads the whole file `name` (open_file, then at most the length fstat
  // reports); Storage "PATH: not a regular file" for anything else.
  Result<std::string> read(const std::string& name) const;
  // The identity of the file `name`, without following a link; the I/O
  // error of fstatat(2).
  Result<FileIdentity> identity(const std::string& name) const;

  // Flushes the directory's entries to stable storage (full_sync).
  Result<void> sync() const { return fd_.full_sync(); }

  // Releases the descriptor now (and any lock taken on it).
  void close() { fd_ = FileDescriptor(); }

 private:
  FileDescriptor fd_;
  std::filesystem::path path_;
};

// openat(2) with O_CLOEXEC added, repeated when interrupted; the I/O error
// otherwise. `mode` applies when `flags` create a file.
Result<FileDescriptor> open_at(int directory, const char* name, int flags, unsigned mode = 0);

// The identity of an open file; the I/O error of fstat(2).
Result<FileIdentity> identity_of(const FileDescriptor& fd);

}  // namespace quillmark
