#pragma once
// Publication of new files into a store directory, and the atomic, durable
// replacement of its manifest.
//
// A store directory only gains complete, synchronised files that never change
// again; manifest.json changes in one rename. New files are written into a
// private staging directory inside the store (".staging-" + 6 random
// letters or digits), then hard-linked into the store under their final
// names. A temporary manifest is "manifest.json." + 6 random characters.
// Nothing else in a store begins with these prefixes, which is how the
// clean-up (remove_unreferenced, writer.h) recognises leftovers.

#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "storage/format/manifest.h"
#include "storage/io/file_system.h"

namespace quillmark {

inline constexpr std::string_view kStagingPrefix = ".staging-";
inline constexpr std::string_view kTemporaryManifestPrefix = "manifest.json.";

// `prefix` followed by 6 characters drawn from A-Z, a-z, 0-9 (not
// cryptographically strong; collisions are retried by the callers).
std::string random_name(std::string_view prefix);

// A staging directory and the files it has published.
//
// Calling order: create, write complete synchronised files into
// staging_directory(), install, then retain (the publication stands) or
// not (it is rolled back), then destroy.
//
// Invariants:
//  1. installed_ holds the names linked into the store by install and not
//     yet taken over by retain; destroying the value removes them.
//  2. The staging directory lies in the store directory (reached through
//     the store's descriptor) and is removed with its contents when the
//     value is destroyed.
// Move-only; used by one thread.
class ImmutableFiles {
 public:
  // Creates a fresh staging directory inside `store`. Returns the I/O error
  // of creating or opening it. `file_system` and `store` must outlive the
  // value.
  static Result<ImmutableFiles> create(FileSystem& file_system, const Directory& store);

  ImmutableFiles(ImmutableFiles&& other) noexcept;
  ImmutableFiles& operator=(ImmutableFiles&&) = delete;
  ImmutableFiles(const ImmutableFiles&) = delete;
  ImmutableFiles& operator=(const ImmutableFiles&) = delete;
  // Removes every installed, unretained name, then the staging directory;
  // failures are ignored (the next clean-up retries).
  ~ImmutableFiles();

  const Directory& staging_directory() const { return staging_; }

  // Links every file of the staging directory into the store under the
  // same name (never replacing an existing name: AlreadyExists), then
  // flushes the store directory. Returns the first I/O error; links made
  // before it stay recorded and are removed on destruction.
  Result<void> install();

  // The installed names now belong to the store.
  void retain() { installed_.clear(); }

 private:
  ImmutableFiles(FileSystem& file_system, const Directory& store, std::string staging_name, Directory staging)
      : file_system_(&file_system), store_(&store), staging_name_(std::move(staging_name)),
        staging_(std::move(staging)) {}

  FileSystem* file_system_;  // null once moved from
  const Directory* store_;
  std::string staging_name_;  // its name in the store
  Directory staging_;
  std::vector<std::string> installed_;
};

// Replaces manifest.json in `store` by `manifest` atomically and durably:
// temporary file, whole write, sync, rename, then a flush of the store
// directory. REQUIRES: `published` is false on entry.
// Before the rename a failure returns the I/O error, removes the temporary
// file and leaves `published` false and the old manifest in force. After the
// rename `published` is true; a failure of the final directory flush then
// returns Storage "manifest published but directory synchronization failed;
// retry commit or reopen the writer: " + the I/O error's text.
Result<void> write_manifest(FileSystem& file_system, const Directory& store, const Manifest& manifest,
                            bool& published);

}  // namespace quillmark
