#pragma once
// The single writer of one vector store directory.
//
// A writer stages changes and publishes them together with commit():
//  - append writes a complete new segment at once: its files are written
//    into a staging directory, synchronised, validated by loading them, and
//    hard-linked into the store under names no manifest references yet;
//  - delete_documents only marks rows in memory (copy-on-write tombstone
//    lists); the commit writes one tombstone file per changed segment;
//  - compact stages the present documents as one segment replacing all;
//  - merge stages, tier by tier, one segment replacing many small ones, so
//    that the segment count stays logarithmic in the documents (optionally
//    at every commit: set_merge_at_commit).
// Nothing staged is visible to readers until commit() renames a new
// manifest.json into place. Files no manifest references (staged work of a
// writer that stopped, superseded segments and tombstones) are removed by
// the next open or successful commit.
//
// One writer per store: open() takes an exclusive advisory lock on the store
// directory (flock on a descriptor of the directory itself) before it reads
// or removes anything, and holds it for the writer's lifetime; a second
// writer, in this process or another, is refused with WouldBlock. The lock
// dies with the process, so a crash never leaves it behind; readers never
// take it.
//
// The writer works on the directory it locked, through that descriptor:
// every file it reads, writes, links, renames or removes is named relative
// to it, so a change of the working directory, a rename of the store, or
// another store made at the old path never leads it into another
// directory. A child made by fork() inherits the object but not the lock
// (fork_release.h), and every operation there is refused (inherited()).

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "base/error.h"
#include "base/representation.h"
#include "base/text.h"
#include "base/time_value.h"
#include "storage/append_check.h"
#include "storage/format/manifest.h"
#include "storage/format/npy.h"
#include "storage/format/segment_data.h"
#include "storage/io/file_system.h"
#include "storage/io/fork_release.h"
#include "storage/segment_sources.h"
#include "storage/store.h"

namespace quillmark {

// Appended vectors are streamed to their files in chunks of this many rows,
// which bounds the int8 code and scale buffers whatever the append's size.
inline constexpr std::size_t kAppendChunkRows = std::size_t{1} << 17;

// The tier width of merge(): segments whose sizes share a power of this
// number are merged once there are this many of them.
inline constexpr std::uint64_t kMergeFactor = 10;

// Invariants (between calls):
//  1. segments_ are the manifest's segments (those not replaced by a staged
//     compaction or merge), then the staged ones, in strictly ascending ID
//     order, all below next_segment_id_.
//  2. changed_segments_ holds IDs of segments_ whose tombstone rows changed
//     since the last commit; empty after open and after every commit.
//  3. Each segment's tombstones ascend strictly and lie below its documents;
//     a list whose ID is in own_tombstones_ was made by this writer and, when
//     no one else holds it, may be changed in place.
//  4. manifest_ is what this writer last published or read at open.
//  5. Segments staged and not yet committed have IDs from
//     manifest_.next_segment_id on; no published manifest names them.
// Not thread-safe: callers serialise all operations (the Python class holds
// the writer behind one mutex).
class VectorStoreWriter {
 public:
  // The manifest-writing step of a commit: the contract of write_manifest
  // (publication.h), including the published flag.
  using ManifestWriter =
      std::function<Result<void>(const Directory& store, const Manifest& manifest, bool& published)>;
  // Fills the vector arrays of a staged segment, given their writers in
  // Encoding::arrays order.
  using ArrayFiller = std::function<Result<void>(std::span<NpyWriter> arrays)>;

  // Makes a new empty store at `path` (trailing separators ignored) and
  // opens it. Fails with InvalidInput "a vector store's corpus must not be
  // empty"; Io AlreadyExists "vector store already exists: PATH" when
  // anything is at `path` (of concurrent creators of one path exactly one
  // succeeds); the I/O error of creating the directory; the error of
  // write_manifest (what this call made is then removed unless the manifest
  // was published); the I/O error of flushing the parent directory (the
  // store stays); or open's errors.
  // `file_system` must outlive the writer.
  static Result<VectorStoreWriter> create(const std::filesystem::path& path, std::string corpus,
                                          Representation representation, Encoding encoding,
                                          FileSystem& file_system = os_file_system());

  // Opens the store at `path`: takes the directory lock (Io WouldBlock
  // "vector store is already open for writing: PATH" when another writer
  // holds it), reads the manifest and loads its segments (their errors as
  // they are), flushes the directory (its I/O error), then removes
  // unreferenced files.
  static Result<VectorStoreWriter> open(const std::filesystem::path& path,
                                        FileSystem& file_system = os_file_system());

  VectorStoreWriter(VectorStoreWriter&&) = default;
  VectorStoreWriter& operator=(VectorStoreWriter&&) = delete;

  // In a process other than the one that opened the writer (a fork), the
  // message every operation fails with: "vector store writer of PATH was
  // opened in process N; a writer inherited across a fork cannot be used".
  std::optional<std::string> inherited() const;

  // append, compact, merge and commit fail first with Storage inherited()
  // in a forked child.
  //
  // Stages `ids` (one per entry of `lengths`) with their token rows
  // `values`, a row-major [tokens, columns] float32 matrix packed by
  // document. Checks, in order, with InvalidInput errors: nothing at all
  // given (not an error: returns, nothing staged); columns != dimension;
  // empty matrix; empty or zero length; lengths not summing to the rows;
  // a non-finite value; rows not of unit length on a normalized
  // representation; id count != length count; an id repeated. Then Storage
  // "segment IDs exhausted", or stage()'s errors (the segment ID stays
  // used). `threads` sizes the int8 encoding pool (install's rule).
  Result<void> append(std::span<const SharedText> ids, std::span<const float> values, std::size_t columns,
                      std::span<const std::uint64_t> lengths, std::optional<std::size_t> threads);

  // Marks the current occurrence of each present id deleted; returns how
  // many were marked. Never fails; writes nothing.
  std::uint64_t delete_documents(std::span<const SharedText> ids);

  // Stages the present documents as one new segment (values copied as
  // stored, with its sources file: segment_sources.h) replacing all segments.
  // Nothing to compact (no segment, or one without deletions): no change.
  // No document present: all segments dropped, no file written. Errors:
  // Storage "segment IDs exhausted", or stage()'s (nothing changed).
  Result<void> compact();

  // Stages merges of small segments. A segment's size is its rows not
  // deleted, its level floor(log_kMergeFactor(max(size, 1))). While some
  // level holds kMergeFactor segments or more, every segment of the lowest
  // such level is replaced by one new segment, the newest, holding their
  // present documents (oldest segment first, row order within a segment,
  // values copied as stored) and a sources file (segment_sources.h); with
  // no document present none is written. Every document keeps its presence
  // and vectors: where a merged segment holds the deciding occurrence of an
  // id and that row is deleted, the older occurrences outside the merge are
  // marked deleted, since dropping the deleted row would bring one of them
  // back. Replaced segments that no commit ever named have their files
  // removed at once. Returns how many segments were replaced (0: nothing to
  // do). Errors: Storage inherited(), "segment IDs exhausted", or stage()'s;
  // the failing round changes nothing, and rounds before it stay staged
  // (each keeps every document as it was).
  Result<std::uint64_t> merge();

  // Whether commit() runs merge() first (off after open and create). A merge
  // that fails fails the commit before anything is published.
  void set_merge_at_commit(bool on) { merge_at_commit_ = on; }
  bool merge_at_commit() const { return merge_at_commit_; }

  // commit_with(write_manifest on this writer's file system).
  Result<TimeValue> commit();
  // Publishes everything staged (merged first when merge_at_commit(), whose
  // error then comes first) as one new manifest written by `write`,
  // with a commit time after the previous commit's even when the clock has
  // stepped back (next_commit_time). Storage "commit numbers exhausted"; a
  // failure before publication (the
  // flag still false) returns its error with everything still staged; after
  // publication the writer is in the committed state, and an error of
  // `write` is returned then. On success removes unreferenced files and
  // returns the commit time.
  Result<TimeValue> commit_with(const ManifestWriter& write);

  // Writes the files of the segment `entry` (its vector arrays filled by
  // `fill`, offsets from `lengths`, ids file from `ids`, and a sources file
  // from `sources` unless it is empty) into a staging directory, loads and
  // validates them, and publishes them into the store. On failure nothing
  // new remains in the store directory.
  // REQUIRES: ids.size() == lengths.size() == entry.documents; the lengths
  // are positive and sum to entry.tokens; sources is empty or has
  // entry.documents rows, each from a segment below entry.id.
  Result<std::shared_ptr<const SegmentData>> stage(const SegmentEntry& entry, std::span<const SharedText> ids,
                                                   std::span<const std::uint64_t> lengths, const ArrayFiller& fill,
                                                   std::span<const SegmentSource> sources = {});

  // The next segment ID, used up from now on; Storage "segment IDs
  // exhausted" at the largest 64-bit value.
  Result<std::uint64_t> allocate_segment();

  // The newest segment holding `id` and its row, unless that row is deleted.
  std::optional<Location> locate(std::string_view id) const;

  const std::filesystem::path& path() const { return path_; }
  const Manifest& manifest() const { return manifest_; }
  const std::vector<LiveSegment>& segments() const { return segments_; }
  const std::set<std::uint64_t>& changed_segments() const { return changed_segments_; }
  std::uint64_t next_segment_id() const { return next_segment_id_; }
  Encoding encoding() const { return encoding_; }
  std::uint64_t dimension() const { return manifest_.representation.dimension(); }

 private:
  VectorStoreWriter(std::filesystem::path path, FileSystem& file_system, Directory store, Manifest manifest,
                    std::vector<LiveSegment> segments, Encoding encoding);
  // open() after the lock of `store` was taken.
  static Result<VectorStoreWriter> open_locked(const std::filesystem::path& path, FileSystem& file_system,
                                               Directory store);
  // Storage inherited() in a forked child.
  Result<void> check_owner() const;

  // Marks `row` of segments_[index] deleted, copying its list first unless
  // this writer owns it alone.
  void mark_deleted(std::size_t index, std::uint64_t row);

  // A row of segments_ to copy into a new segment.
  struct CopiedRow {
    std::size_t segment;  // index into segments_
    std::uint64_t row;
  };
  // The rows of segments_[i], for the ascending indices i of `chosen`, that
  // hold the current occurrence of a present document: oldest segment
  // first, in row order.
  std::vector<CopiedRow> present_rows(std::span<const std::size_t> chosen) const;
  // Stages `rows` (not empty, in the order given) as one new segment with
  // their values copied as stored and their sources file; returns it.
  // Errors: Storage "segment IDs exhausted", or stage()'s (the ID stays
  // used).
  Result<LiveSegment> stage_copy(std::span<const CopiedRow> rows);
  // One round of merge(): replaces segments_[i] for the ascending indices
  // of `chosen`. Errors as stage_copy's, with nothing changed.
  Result<void> merge_segments(std::span<const std::size_t> chosen);

  std::filesystem::path path_;     // as given by the caller, for messages only
  FileSystem* file_system_;        // never null
  Directory store_;                // locked for the writer's lifetime
  ForkReleased fork_released_;     // of store_'s descriptor; destroyed before it
  pid_t owner_;                    // the process that opened the writer
  Manifest manifest_;
  std::vector<LiveSegment> segments_;
  std::set<std::uint64_t> changed_segments_;
  std::unordered_set<std::uint64_t> own_tombstones_;
  std::uint64_t next_segment_id_;
  Encoding encoding_;
  bool merge_at_commit_ = false;
};

// The segment-writing step of VectorStoreWriter::stage, for any caller that
// makes segments outside a writer (test fixtures build stores with it, so
// that the writer's own code defines the files): writes the files of the
// segment `entry` of a store of `encoding` and `dimension` (vector arrays
// filled by `fill`, offsets from `lengths`, ids file from `ids`, a sources
// file from `sources` unless it is empty) into a staging directory inside
// `store`, loads and validates them as a reader would, and links them into
// `store`. Returns the loaded segment. On failure nothing new remains in
// `store`. Errors: those of ImmutableFiles::create and install (AlreadyExists
// when a file of the segment is already there), NpyWriter's, `fill`'s, and
// SegmentData::load's or load_segment_sources' for what was written.
// REQUIRES: ids.size() == lengths.size() == entry.documents; the lengths are
// positive and sum to entry.tokens; sources is empty or has
// entry.documents rows, each from a segment below entry.id.
Result<std::shared_ptr<const SegmentData>> stage_segment(FileSystem& file_system, const Directory& store,
                                                         const SegmentEntry& entry, Encoding encoding,
                                                         std::uint64_t dimension, std::span<const SharedText> ids,
                                                         std::span<const std::uint64_t> lengths,
                                                         const VectorStoreWriter::ArrayFiller& fill,
                                                         std::span<const SegmentSource> sources = {});

// Encodes row-major float rows of `dimension` values into the vector arrays
// of `encoding` (given in Encoding::arrays order, as an ArrayFiller gets
// them), in chunks of kAppendChunkRows rows: float32 rows are written as
// they are; int8 rows through int8_encode (int8.h), on the calling thread's
// pool. Returns the first error of the writers.
// REQUIRES: arrays are those of Encoding::arrays(encoding, dimension);
// dimension > 0 and values.size() is a multiple of it.
Result<void> write_encoded_rows(std::span<NpyWriter> arrays, Encoding encoding, std::size_t dimension,
                                std::span<const float> values);

// Removes what `manifest` does not reference from the store directory:
// ".staging-" directories, and unreferenced "segment-" and "manifest.json."
// files. Names that are not UTF-8, other names, and other kinds of entry are
// left alone. Never fails: what cannot be listed or removed stays for the
// next clean-up.
void remove_unreferenced(FileSystem& file_system, const Directory& store, const Manifest& manifest);

// 32 lowercase hexadecimal digits of 16 bytes from the operating system's
// entropy source; Storage "OS Error: N" when it fails.
Result<std::string> store_id();

// The system clock as seconds since the Unix epoch; 0.0 before the epoch.
double now();

// The time of a commit made at `now` after one at `previous`: `now`, or,
// when the clock has stepped back, the least time after `previous` that
// reads back (to the nanosecond) as later than it, so that commit times
// only increase.
double next_commit_time(double previous, double now);

}  // namespace quillmark
