#pragma once
// The file-system calls of the store writer, behind one narrow interface.
//
// Every call by which the writer (and the .npy writer it uses) changes or
// inspects a store directory goes through a FileSystem, so that tests can
// substitute an implementation that fails a chosen call and so enumerate
// every failure point of an operation. Production code uses os_file_system().
// Reading committed files (manifest, segments) is the reader's business and
// does not go through here; a snapshot (store_snapshot.h), which reads the
// files it copies and writes a new store, does all of its calls through here.

#include <cstddef>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"
#include "storage/io/directory.h"
#include "storage/io/file_descriptor.h"

namespace quillmark {

// One entry of a directory listing.
struct DirectoryEntry {
  std::string name;   // the entry's file name, as bytes
  bool is_directory;  // a directory itself, not a link to one
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
  SnapshotFile,       // a file a snapshot copied (not linked) into its new directory
  SnapshotParent,     // the directory holding a snapshot, after its rename into place
};

// A file opened for reading, and which file it is (fstat of the descriptor).
struct OpenedFile {
  FileDescriptor fd;
  FileIdentity identity;
};

// Every call names its files by a name inside an open Directory (a single
// component, or ".staging-X/NAME" below it), never by a path resolved again:
// a writer keeps working on the directory it opened and locked.
// Thread-compatible: one implementation may serve several writers at once,
// each call being independent.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Opens the directory at `path` (resolved now, following links).
  virtual Result<Directory> open_directory(const std::filesystem::path& path) = 0;
  // Opens the subdirectory `name` of `parent`, not following a link.
  virtual Result<Directory> open_directory(const Directory& parent, const std::string& name) = 0;
  // Creates a new file `name` in `directory` for writing; fails with
  // AlreadyExists if anything exists there. Permission bits 0666 before the
  // umask.
  virtual Result<FileDescriptor> create_exclusive(const Directory& directory, const std::string& name) = 0;
  // Writes every byte at the file's position (retrying short writes).
  virtual Result<void> write(const FileDescriptor& file, std::span<const std::byte> bytes) = 0;
  // Forces the file's data and metadata to stable storage.
  virtual Result<void> sync(const FileDescriptor& file, FlushSite site) = 0;
  // Closes the file, reporting a failure of the close.
  virtual Result<void> close(FileDescriptor& file) = 0;
  // Creates a hard link `to_dir`/`to` to the file `from_dir`/`from`; never
  // replaces `to`.
  virtual Result<void> link(const Directory& from_dir, const std::string& from, const Directory& to_dir,
                            const std::string& to) = 0;
  // Atomically renames `from` to `to` within `directory`, replacing a file
  // at `to`.
  virtual Result<void> rename(const Directory& directory, const std::string& from, const std::string& to) = 0;
  // Removes a file (not a directory).
  virtual Result<void> remove_file(const Directory& directory, const std::string& name) = 0;
  // Creates one directory; fails with AlreadyExists if anything is there.
  virtual Result<void> create_directory(const Directory& directory, const std::string& name) = 0;
  // Removes the empty directory `name`.
  virtual Result<void> remove_directory(const Directory& directory, const std::string& name) = 0;
  // Creates a directory and its missing parents (0777 before the umask).
  virtual Result<void> create_directories(const std::filesystem::path& path) = 0;
  // Removes `name` and, for a directory, everything in it. Nothing there is
  // success.
  virtual Result<void> remove_all(const Directory& directory, const std::string& name) = 0;
  // The entries of a directory, "." and ".." excluded, in the order the file
  // system returns them. Entries whose type cannot be read are left out.
  virtual Result<std::vector<DirectoryEntry>> list(const Directory& directory) = 0;
  // Flushes the directory's entries to stable storage.
  virtual Result<void> sync_directory(const Directory& directory, FlushSite site) = 0;
  // The identity of `name` in `directory` ("." for the directory itself),
  // not following a link; the I/O error of fstatat(2).
  virtual Result<FileIdentity> identity(const Directory& directory, const std::string& name) = 0;
  // Opens the existing file `name` of `directory` read-only, not through a
  // link, with the identity of what was opened.
  virtual Result<OpenedFile> open_read(const Directory& directory, const std::string& name) = 0;
  // Appends the first `length` bytes of `from` (read from offset 0, whatever
  // its position) at the position of `to`: copy_file_range(2), then
  // sendfile(2) where the kernel refuses that pair of files, then read and
  // write. Returns the first I/O error; UnexpectedEof when `from` is shorter.
  virtual Result<void> copy(const FileDescriptor& from, const FileDescriptor& to, std::uint64_t length) = 0;
  // Takes the exclusive lock of the directory (flock on its descriptor)
  // without waiting: WouldBlock when another holder has it (in this process
  // or another). The lock lasts as long as the descriptor: closing the
  // Directory releases it.
  virtual Result<void> lock_directory(const Directory& directory) = 0;
};

// The operating system's file system. Lives for the process.
FileSystem& os_file_system();

}  // namespace quillmark
