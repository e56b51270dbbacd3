#pragma once
// The loaded, validated files of one segment, shared by every view and
// writer state that contains the segment.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/text.h"
#include "storage/format/id_index.h"
#include "storage/format/manifest.h"
#include "storage/format/npy.h"
#include "storage/io/file_system.h"

namespace quillmark {

// Invariants (established by load, relied on by every reader without
// further checks):
//  1. ids() holds `documents` distinct texts; row(ids()[r]) == r, and
//     may_hold(IdHash(ids()[r])) is true.
//  2. offsets() has documents + 1 entries, starts at 0, strictly increases
//     and ends at `tokens`. They are a private copy: a store file rewritten
//     in place (which a store never does, but a careless copy may) cannot
//     change them, so a row range never leaves the mapped arrays.
//  3. arrays() are the arrays of Encoding::arrays(encoding, dimension), in
//     that order, each with its dtype, its shape for `tokens` rows, and
//     values aligned for their type (values<T>() succeeds).
// Immutable after load; shared read-only between threads.
class SegmentData {
 public:
  // Loads segment `entry.id` from `directory`: the ids file, the offsets and
  // the arrays of `encoding`. Checks, in order: the ids file parses as a
  // JSON array of strings ("PATH: MESSAGE"; I/O error if it cannot be read),
  // no ID twice, the ID count equals entry.documents, the offsets, each
  // array's dtype and shape. Returns the first failure as a Storage error
  // (or the I/O or Storage error of opening a .npy file).
  // Files are opened relative to `directory`, never through a link.
  static Result<std::shared_ptr<const SegmentData>> load(const Directory& directory, const SegmentEntry& entry,
                                                         Encoding encoding, std::uint64_t dimension);
  // load() from the directory at `path`, opened now.
  static Result<std::shared_ptr<const SegmentData>> load(const std::filesystem::path& path,
                                                         const SegmentEntry& entry, Encoding encoding,
                                                         std::uint64_t dimension);

  // Whether `directory` still holds the very files this segment was loaded
  // from (same device and inode for each), as opposed to files of the same
  // names restored or replaced since. Costs one fstatat(2) per file, no
  // read. A file that is gone or cannot be inspected does not count as
  // replaced: the loaded copy, validated when it was read, still stands.
  bool same_files(const Directory& directory) const;

  // A 64-bit digest of the identities, sizes and modification times of the
  // files this segment was loaded from. Segment files never change, so a
  // cache derived from a segment (kept outside the store) stays valid while
  // the digest is the same; a copy, a restore, or another segment written
  // under the same ID after a store went back in time gives another digest.
  std::uint64_t fingerprint() const { return fingerprint_; }

  SegmentData(const SegmentData&) = delete;
  SegmentData& operator=(const SegmentData&) = delete;

  // The name and identity of every file loaded, the ids file first, then
  // the offsets and the arrays in Encoding::arrays order.
  const std::vector<std::pair<std::string, FileIdentity>>& files() const { return files_; }
  // The identity of the segment's sources file (segment_sources.h) as it
  // was when the segment was loaded; nothing when it had none. The file is
  // not read.
  const std::optional<FileIdentity>& sources_file() const { return sources_file_; }

  const std::vector<SharedText>& ids() const { return ids_; }
  // The row of a document ID in this segment, or nothing.
  std::optional<std::uint64_t> row(std::string_view id) const { return row(id, IdHash(id)); }
  // row() for an ID hashed once by the caller for many segments.
  // REQUIRES: hash is IdHash(id).
  std::optional<std::uint64_t> row(std::string_view id, const IdHash& hash) const {
    return index_.find(hash, [&](std::uint64_t r) { return ids_[r].view() == id; });
  }
  // False when this segment holds no ID of `hash`; reads one 32-byte block.
  // True for every ID it holds and, rarely, for another.
  bool may_hold(const IdHash& hash) const { return index_.may_contain(hash); }
  std::span<const std::uint64_t> offsets() const { return offsets_; }
  // The arrays of the encoding, in Encoding::arrays order.
  const std::vector<NpyArray>& arrays() const { return arrays_; }

 private:
  SegmentData() = default;

  std::vector<SharedText> ids_;
  IdIndex index_;  // of ids_
  std::vector<std::uint64_t> offsets_;
  std::vector<NpyArray> arrays_;
  // The file names and identities of every file loaded, ids file first.
  std::vector<std::pair<std::string, FileIdentity>> files_;
  std::uint64_t fingerprint_ = 0;
  std::optional<FileIdentity> sources_file_;
};

// The text of an ids file: a JSON array of the IDs, without blanks.
std::string ids_file_text(std::span<const SharedText> ids);

// Loads the tombstone file the entry names (entry.tombstones must be set):
// a one-dimensional uint64 array, aligned, strictly ascending, every row
// below entry.documents; else Storage "the tombstones of segment ID must be
// ascending rows inside it". Errors of opening the file are returned as they
// are. The rows are copied out of the file.
Result<std::shared_ptr<const std::vector<std::uint64_t>>> load_tombstones(const Directory& directory,
                                                                           const SegmentEntry& entry);
// load_tombstones from the directory at `path`, opened now.
Result<std::shared_ptr<const std::vector<std::uint64_t>>> load_tombstones(const std::filesystem::path& path,
                                                                           const SegmentEntry& entry);

// Writes the tombstone file of segment `segment` under commit `commit`
// ("segment-ID.tombstones-N.npy": the rows as a one-dimensional uint64
// array) into `directory`, created exclusively and synchronised, as a
// commit does into its staging directory. Returns the I/O error of
// NpyWriter::create (AlreadyExists when the name is taken), write or finish.
// REQUIRES: rows ascend strictly (load_tombstones refuses anything else).
Result<void> write_tombstones(FileSystem& file_system, const Directory& directory, std::uint64_t segment,
                              std::uint64_t commit, std::span<const std::uint64_t> rows);

}  // namespace quillmark
