#pragma once
// The file-system calls of the store writer, behind one narrow interface.
//
// Every call by which the writer (and the .npy writer it uses) changes or
// inspects a store directory goes through a FileSystem, so that tests can
// substitute an implementation that fails a chosen call and so enumerate
// every failure point of an operation. Production code uses os_file_system().
// Reading committed files (manifest, segments) is the reader's business and
// does not go through here.

#include <cstddef>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "error.h"
#include "file_descriptor.h"

namespace quillmark {

// One entry of a directory listing.
struct DirectoryEntry {
  std::string name;   // the entry's file name, as bytes
  bool is_directory;  // a directory itself, not a link to one
};

// An exclusive advisory lock on a directory (flock on a descriptor of the
// directory itself), held while this value lives and released when it is
// destroyed or the process dies. Adds no file to the directory.
class DirectoryLock {
 public:
  DirectoryLock() = default;
  explicit DirectoryLock(FileDescriptor fd) : fd_(std::move(fd)) {}
  bool held() const { return fd_.is_open(); }

 private:
  FileDescriptor fd_;  // closing it releases the lock
};

// Where a flush comes from. The operating system ignores it; a test file
// system uses it to turn one kind of flush into a no-op and show that a
// simulated power loss then breaks the store, so that each flush is known
// to be needed.
enum class FlushSite : unsigned char {
  NpyFile,            // a finished .npy file (segment arrays, offsets, tombstones)
  IdsFile,            // a staged segment's ids.json
  ManifestFile,       // the temporary manifest, before its rename
  InstalledNames,     // the store directory, after install linked new files
  PublishedManifest,  // the store directory, after the manifest's rename
  NewStoreParent,     // the parent of a newly created store directory
  OpenedStore,        // the store directory at open, before the clean-up
};

// Thread-compatible: one implementation may serve several writers at once,
// each call being independent.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Creates a new file for writing; fails with AlreadyExists if anything
  // exists at `path`. Permission bits 0666 before the umask.
  virtual Result<FileDescriptor> create_exclusive(const std::filesystem::path& path) = 0;
  // Writes every byte at the file's position (retrying short writes).
  virtual Result<void> write(const FileDescriptor& file, std::span<const std::byte> bytes) = 0;
  // Forces the file's data and metadata to stable storage.
  virtual Result<void> sync(const FileDescriptor& file, FlushSite site) = 0;
  // Closes the file, reporting a failure of the close.
  virtual Result<void> close(FileDescriptor& file) = 0;
  // Creates a hard link `to` to the file `from`; never replaces `to`.
  virtual Result<void> link(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
  // Atomically renames `from` to `to`, replacing a file at `to`.
  virtual Result<void> rename(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
  // Removes a file (not a directory).
  virtual Result<void> remove_file(const std::filesystem::path& path) = 0;
  // Creates one directory; fails with AlreadyExists if anything is there.
  virtual Result<void> create_directory(const std::filesystem::path& path) = 0;
  // Creates a directory and its missing parents (0777 before the umask).
  virtual Result<void> create_directories(const std::filesystem::path& path) = 0;
  // Removes a directory and everything in it.
  virtual Result<void> remove_all(const std::filesystem::path& path) = 0;
  // Whether anything (file, directory, or link, even a dangling one) is at
  // `path`.
  virtual Result<bool> exists(const std::filesystem::path& path) = 0;
  // The entries of a directory, "." and ".." excluded, in the order the file
  // system returns them. Entries whose type cannot be read are left out.
  virtual Result<std::vector<DirectoryEntry>> list(const std::filesystem::path& path) = 0;
  // Opens the directory, flushes it to stable storage, closes it.
  virtual Result<void> sync_directory(const std::filesystem::path& path, FlushSite site) = 0;
  // Takes the exclusive lock of a directory without waiting: WouldBlock
  // when another holder has it (in this process or another).
  virtual Result<DirectoryLock> lock_directory(const std::filesystem::path& path) = 0;
};

// The operating system's file system. Lives for the process.
FileSystem& os_file_system();

}  // namespace quillmark
