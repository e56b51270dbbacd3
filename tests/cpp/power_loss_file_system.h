#pragma once
// A file system that simulates power loss.
//
// Every call but a flush is made on the operating system's file system (a
// flush only updates the model, which alone decides what survives), and is
// mirrored in
// a model of the tree under one root directory that knows, for each file,
// what its last flush made durable and, for each directory, which entries
// its last flush made durable. A crash at the N-th call fails that call and
// every later one without making them (the process is gone); power_loss()
// then rewrites the tree on disk to what stable storage could hold after
// the machine stopped: each change not yet flushed (a file's unflushed
// data; a directory entry created, linked, removed or renamed since that
// directory's last flush, a rename counting as one change) independently
// survives or is undone, as the caller's choice says. The reader then opens
// the rewritten tree with the operating system directly.

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "storage/io/file_system.h"

namespace quillmark::testing {

const char* flush_site_name(FlushSite site);

// Not thread-safe: calls must not overlap (one writer, whose pool threads
// are synchronised with it, makes them).
class PowerLossFileSystem final : public FileSystem {
 public:
  // Adopts the tree under `root` as it is now, all of it durable. Paths
  // outside `root` are passed to the operating system unmodelled.
  explicit PowerLossFileSystem(std::filesystem::path root);

  // Crashes at call number `n` counted from the next call (0: never).
  void crash_at(std::size_t n);
  // Whether the crash has happened.
  bool crashed() const;
  // Ends a crash that took only the process down: the next calls are made
  // again, on what the page cache still holds (nothing is lost).
  void revive();
  std::size_t call_count() const;

  // Flushes of `site` (and, when `file_part` is not empty, only of files
  // whose name contains it) succeed without making anything durable.
  void skip_flushes(FlushSite site, std::string file_part = {});

  // The changes a power loss now may keep or undo, described.
  std::vector<std::string> pending_changes() const;
  // Rewrites the tree under the root to the state after a power loss in
  // which pending change i (in pending_changes() order) survives exactly
  // when keep[i]. May be called again with another choice: the model is
  // not changed. REQUIRES: keep.size() == pending_changes().size().
  void power_loss(const std::vector<bool>& keep) const;

  Result<Directory> open_directory(const std::filesystem::path& path) override;
  Result<Directory> open_directory(const Directory& parent, const std::string& name) override;
  Result<FileDescriptor> create_exclusive(const Directory& directory, const std::string& name) override;
  Result<void> write(const FileDescriptor& file, std::span<const std::byte> bytes) override;
  Result<void> sync(const FileDescriptor& file, FlushSite site) override;
  Result<void> close(FileDescriptor& file) override;
  Result<void> link(const Directory& from_dir, const std::string& from, const Directory& to_dir,
                    const std::string& to) override;
  Result<void> rename(const Directory& directory, const std::string& from, const std::string& to) override;
  Result<void> remove_file(const Directory& directory, const std::string& name) override;
  Result<void> create_directory(const Directory& directory, const std::string& name) override;
  Result<void> remove_directory(const Directory& directory, const std::string& name) override;
  Result<void> create_directories(const std::filesystem::path& path) override;
  Result<void> remove_all(const Directory& directory, const std::string& name) override;
  Result<std::vector<DirectoryEntry>> list(const Directory& directory) override;
  Result<void> sync_directory(const Directory& directory, FlushSite site) override;
  Result<FileIdentity> identity(const Directory& directory, const std::string& name) override;
  Result<OpenedFile> open_read(const Directory& directory, const std::string& name) override;
  Result<void> copy(const FileDescriptor& from, const FileDescriptor& to, std::uint64_t length) override;
  Result<void> lock_directory(const Directory& directory) override;

 private:
  using NodeId = std::size_t;
  using Entries = std::map<std::string, NodeId>;
  // A file (contents) or a directory (entries), as the process sees it
  // (live) and as stable storage holds it (durable).
  struct Node {
    bool directory;
    std::string label;  // its path under the root when it was made
    std::string live, durable;
    Entries live_entries, durable_entries;
  };
  // One entry name of one directory.
  using Key = std::pair<NodeId, std::string>;
  // A change a power loss may undo: a file's unflushed data, or directory
  // entries (two for a rename) whose live and durable values differ.
  struct Change {
    std::optional<NodeId> data;
    std::vector<Key> entries;
  };

  // Counts the call; fails it when the process has crashed.
  Result<void> enter();
  // The node's parent directory and the name in it, when `path` lies
  // strictly under the root and its parent is modelled.
  std::optional<Key> locate_parent(const std::filesystem::path& path) const;
  std::optional<NodeId> locate(const std::filesystem::path& path) const;
  NodeId add_node(bool directory, std::string label);
  void adopt(NodeId directory, const std::filesystem::path& real);
  void forget_live(NodeId directory);
  bool skipped(FlushSite site, const std::string& name) const;
  std::vector<Change> changes() const;
  void rebuild(NodeId directory, const std::filesystem::path& real, const std::map<Key, bool>& entry_kept,
               const std::map<NodeId, bool>& data_kept) const;

  std::filesystem::path root_;
  std::vector<Node> nodes_;                     // nodes_[0] is the root
  std::map<int, std::pair<NodeId, std::string>> open_files_;  // descriptor -> file node, its name
  std::vector<std::pair<Key, Key>> renames_;    // every rename, source then destination
  std::optional<std::pair<FlushSite, std::string>> skip_;
  std::size_t calls_ = 0;
  std::size_t crash_at_ = 0;  // 0: never
  bool crashed_ = false;
};

}  // namespace quillmark::testing
