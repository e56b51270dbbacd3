#pragma once
// The operating system's file system without its flushes, which only cost
// time in tests that check neither durability nor flush order; allocates
// nothing of its own.

#include "storage/io/file_system.h"

namespace quillmark::testing {

class NoFlushFileSystem final : public FileSystem {
 public:
  using D = const Directory&;
  using N = const std::string&;
  Result<Directory> open_directory(const std::filesystem::path& p) override { return os().open_directory(p); }
  Result<Directory> open_directory(D d, N n) override { return os().open_directory(d, n); }
  Result<FileDescriptor> create_exclusive(D d, N n) override { return os().create_exclusive(d, n); }
  Result<void> write(const FileDescriptor& f, std::span<const std::byte> b) override { return os().write(f, b); }
  Result<void> sync(const FileDescriptor&, FlushSite) override { return {}; }
  Result<void> close(FileDescriptor& f) override { return os().close(f); }
  Result<void> link(D d, N a, D e, N b) override { return os().link(d, a, e, b); }
  Result<void> rename(D d, N a, N b) override { return os().rename(d, a, b); }
  Result<void> remove_file(D d, N n) override { return os().remove_file(d, n); }
  Result<void> create_directory(D d, N n) override { return os().create_directory(d, n); }
  Result<void> remove_directory(D d, N n) override { return os().remove_directory(d, n); }
  Result<void> create_directories(const std::filesystem::path& p) override { return os().create_directories(p); }
  Result<void> remove_all(D d, N n) override { return os().remove_all(d, n); }
  Result<std::vector<DirectoryEntry>> list(D d) override { return os().list(d); }
  Result<void> sync_directory(D, FlushSite) override { return {}; }
  Result<FileIdentity> identity(D d, N n) override { return os().identity(d, n); }
  Result<OpenedFile> open_read(D d, N n) override { return os().open_read(d, n); }
  Result<void> copy(const FileDescriptor& f, const FileDescriptor& t, std::uint64_t n) override {
    return os().copy(f, t, n);
  }
  Result<void> lock_directory(D d) override { return os().lock_directory(d); }

 private:
  static FileSystem& os() { return os_file_system(); }
};

}  // namespace quillmark::testing
