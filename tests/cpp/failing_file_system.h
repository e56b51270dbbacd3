#pragma once
// A file system that passes every call to the operating system's, counting
// them, and fails the N-th call (1-based) with a chosen errno instead of
// making it. Used to enumerate every failure point of a writer operation.

#include <cerrno>
#include <mutex>
#include <string>
#include <vector>

#include "storage/io/file_system.h"

namespace quillmark::testing {

class FailingFileSystem final : public FileSystem {
 public:
  // Fails call number `n` (counted from the next call; 0: none) with `code`.
  void fail_call(std::size_t n, int code = EIO) {
    std::lock_guard lock(mutex_);
    fail_at_ = n == 0 ? 0 : calls_.size() + n;
    code_ = code;
  }
  // Names of the calls made so far ("link", "sync", ...), in order.
  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  std::size_t call_count() const {
    std::lock_guard lock(mutex_);
    return calls_.size();
  }
  // Whether the failure was injected.
  bool failed() const {
    std::lock_guard lock(mutex_);
    return fail_at_ != 0 && calls_.size() >= fail_at_;
  }

  Result<Directory> open_directory(const std::filesystem::path& path) override {
    QM_TRY(enter("open_directory"));
    return os().open_directory(path);
  }
  Result<Directory> open_directory(const Directory& parent, const std::string& name) override {
    QM_TRY(enter("open_directory"));
    return os().open_directory(parent, name);
  }
  Result<FileDescriptor> create_exclusive(const Directory& directory, const std::string& name) override {
    QM_TRY(enter("create_exclusive"));
    return os().create_exclusive(directory, name);
  }
  Result<void> write(const FileDescriptor& file, std::span<const std::byte> bytes) override {
    QM_TRY(enter("write"));
    return os().write(file, bytes);
  }
  Result<void> sync(const FileDescriptor& file, FlushSite site) override {
    QM_TRY(enter("sync"));
    return os().sync(file, site);
  }
  Result<void> close(FileDescriptor& file) override {
    QM_TRY(enter("close"));
    return os().close(file);
  }
  Result<void> link(const Directory& from_dir, const std::string& from, const Directory& to_dir,
                    const std::string& to) override {
    QM_TRY(enter("link"));
    return os().link(from_dir, from, to_dir, to);
  }
  Result<void> rename(const Directory& directory, const std::string& from, const std::string& to) override {
    QM_TRY(enter("rename"));
    return os().rename(directory, from, to);
  }
  Result<void> remove_file(const Directory& directory, const std::string& name) override {
    QM_TRY(enter("remove_file"));
    return os().remove_file(directory, name);
  }
  Result<void> create_directory(const Directory& directory, const std::string& name) override {
    QM_TRY(enter("create_directory"));
    return os().create_directory(directory, name);
  }
  Result<void> remove_directory(const Directory& directory, const std::string& name) override {
    QM_TRY(enter("remove_directory"));
    return os().remove_directory(directory, name);
  }
  Result<void> create_directories(const std::filesystem::path& path) override {
    QM_TRY(enter("create_directories"));
    return os().create_directories(path);
  }
  Result<void> remove_all(const Directory& directory, const std::string& name) override {
    QM_TRY(enter("remove_all"));
    return os().remove_all(directory, name);
  }
  Result<std::vector<DirectoryEntry>> list(const Directory& directory) override {
    QM_TRY(enter("list"));
    return os().list(directory);
  }
  Result<void> sync_directory(const Directory& directory, FlushSite site) override {
    QM_TRY(enter("sync_directory"));
    return os().sync_directory(directory, site);
  }
  Result<FileIdentity> identity(const Directory& directory, const std::string& name) override {
    QM_TRY(enter("identity"));
    return os().identity(directory, name);
  }
  Result<OpenedFile> open_read(const Directory& directory, const std::string& name) override {
    QM_TRY(enter("open_read"));
    return os().open_read(directory, name);
  }
  Result<void> copy(const FileDescriptor& from, const FileDescriptor& to, std::uint64_t length) override {
    QM_TRY(enter("copy"));
    return os().copy(from, to, length);
  }
  Result<void> lock_directory(const Directory& directory) override {
    QM_TRY(enter("lock_directory"));
    return os().lock_directory(directory);
  }

 private:
  static FileSystem& os() { return os_file_system(); }

  Result<void> enter(const char* name) {
    std::lock_guard lock(mutex_);
    calls_.push_back(name);
    if (calls_.size() == fail_at_) return std::unexpected(IoError::from_errno(code_));
    return {};
  }

  mutable std::mutex mutex_;
  std::vector<std::string> calls_;  // guarded by mutex_
  std::size_t fail_at_ = 0;         // guarded by mutex_; 0: never
  int code_ = EIO;                  // guarded by mutex_
};

}  // namespace quillmark::testing
