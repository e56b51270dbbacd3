#pragma once
// The vector-store reader: VectorStore follows the commits of one store
// directory and hands out StoreViews, each one immutable commit.
//
// A StoreView holds its segments' data (memory-mapped files) and tombstone
// lists by shared reference, so it stays readable after later commits and
// after a compaction has removed its files from the directory. Successive
// views share every segment and tombstone list they have in common: a
// segment is loaded once per store object and reused until the store
// directory is replaced by another store.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/representation.h"
#include "base/text.h"
#include "base/thread_annotations.h"
#include "base/time_value.h"
#include "search/row_gatherer.h"
#include "search/source.h"
#include "search/stage.h"
#include "storage/format/manifest.h"
#include "storage/format/segment_data.h"
#include "storage/segment_sources.h"

namespace quillmark {

// Ascending deleted row numbers of one segment.
using Tombstones = std::vector<std::uint64_t>;

// One segment as a view sees it.
// Invariants: data and tombstones are never null; data holds entry.documents
// rows and entry.tokens tokens; tombstones ascend strictly and lie below
// entry.documents.
struct LiveSegment {
  SegmentEntry entry;
  std::shared_ptr<const SegmentData> data;
  std::shared_ptr<const Tombstones> tombstones;
  // The tombstone file the list was read from (none: zeros).
  FileIdentity tombstones_file{};

  // Whether `row` is deleted (binary search in the tombstones).
  bool deleted(std::uint64_t row) const;

  // The values of array `index` (Encoding::arrays order) as T. Validated at
  // load, so a missing array or another dtype is a broken invariant.
  template <class T>
  std::span<const T> values(std::size_t index) const {
    QM_INVARIANT(index < data->arrays().size(), "a loaded segment lacks an array of its encoding");
    auto typed = data->arrays()[index].values<T>();
    QM_INVARIANT(typed.has_value(), "a loaded segment array has another dtype than its encoding");
    return *typed;
  }
};

// Where a present document lives in a view: the index of its segment in
// StoreView::segments() and its row there.
struct Location {
  std::size_t segment = 0;
  std::uint64_t row = 0;
};

// The newest of `segments` (last first) that holds `document_id`, and its
// row, unless that row is deleted; older segments are not consulted once a
// segment holds it. Hashes the ID once; a segment whose ID filter rules the
// ID out costs one 32-byte read, and a segment holding it one table probe
// more.
std::optional<Location> locate_in(std::span<const LiveSegment> segments, std::string_view document_id);

// One committed state of a store. Immutable; shared freely between threads,
// which read it without locking.
//
// Invariants:
//  1. segments() are in manifest order (ascending segment ID) and match the
//     manifest's entries one for one;
//  2. every segment's data has the arrays of encoding() at the manifest's
//     dimension (validated when the segment was loaded).
class StoreView final : public VectorView, public RowGatherer {
 public:
  // REQUIRES: the invariants above hold for the given parts. `directory`:
  // the store directory the files were loaded from, as the loader reached
  // it (empty when unknown).
  StoreView(Manifest manifest, Encoding encoding, TimeValue as_of, std::vector<LiveSegment> segments,
            std::filesystem::path directory = {});

  const Manifest& manifest() const { return manifest_; }
  Encoding encoding() const { return encoding_; }
  const std::string& corpus() const { return manifest_.corpus; }
  std::uint64_t commit() const { return manifest_.commit; }
  const Representation& representation() const { return manifest_.representation; }
  const std::vector<LiveSegment>& segments() const { return segments_; }
  // Where the view was loaded from (empty when unknown). The path may lead
  // to other files by now (a newer commit, another store renamed there):
  // whoever uses files found there checks their identity first.
  const std::filesystem::path& directory() const { return directory_; }

  // The commit time.
  TimeValue as_of() const override { return as_of_; }

  // The newest segment holding `document_id`, and its row, unless that row
  // is deleted; older segments are not consulted once a segment holds it.
  std::optional<Location> locate(std::string_view document_id) const { return locate_in(segments_, document_id); }
  bool contains(std::string_view document_id) const { return locate(document_id).has_value(); }
  // locate() of each ID, in order.
  std::vector<std::optional<Location>> locate_each(std::span<const SharedText> document_ids) const;

  // Every present document ID, sorted by bytes, each once.
  std::vector<SharedText> document_ids() const;

  // One token count per requested ID, in order; nothing for an absent one.
  std::vector<std::optional<std::size_t>> lengths(std::span<const SharedText> document_ids) const;
  // lengths() as a VectorView; never fails.
  Result<std::vector<std::optional<std::size_t>>> document_lengths(
      std::span<const SharedText> document_ids) const override;

  // The vectors of the requested documents, packed in request order (an ID
  // may repeat): plan_fetch, then fetch_into a new buffer. Large requests
  // are copied (float32) or decoded (int8, renormalising rows when the
  // representation is normalized) in parallel on the pool chosen by
  // install(threads); a float32 fetch accepts any thread count, 0 included.
  // Returns InvalidInput "document "ID" is not in the vector store of corpus
  // "CORPUS"" for the first absent ID; for int8, Storage "int8 scales must
  // be finite and positive" for bad on-disk data, then install's
  // InvalidInput errors.
  Result<PackedDocuments> fetch(std::span<const SharedText> document_ids,
                                std::optional<std::size_t> threads) const override;

  // fetch() in two steps, so that a caller can provide the output buffer:
  // plan_fetch locates the documents (returning fetch's error for the first
  // absent one), fetch_into fills `out` with their rows.
  Result<FetchPlan> plan_fetch(std::span<const SharedText> document_ids) const;
  // Writes the plan's rows, one document after another, into `out` as
  // float32. Large plans are copied (float32) or decoded (int8) in parallel
  // on the pool chosen by install(threads); a float32 fetch never fails and
  // runs on the calling thread for threads 0 or 1. Returns, checked before
  // anything is written, for int8: Storage "int8 scales must be finite and
  // positive", then InvalidInput "threads must be positive" and install's
  // pool error.
  // REQUIRES: the plan comes from this view; out.size() == plan.rows *
  // dimension.
  Result<void> fetch_into(const FetchPlan& plan, std::span<float> out, std::optional<std::size_t> threads) const;

  // The located documents, or the error for the first absent one.
  Result<std::vector<Location>> locate_all(std::span<const SharedText> document_ids) const;
  // The token rows of a located document.
  RowRange row_range(Location location) const;

  // --- Gathering rows (RowGatherer): the segments' rows, a RowRange's
  // segment indexing segments() ---

  const RowGatherer* row_gatherer() const override { return this; }
  // The manifest's dimension.
  std::size_t row_dimension() const override;
  // row_range() of each ID's locate(), in order.
  std::vector<std::optional<RowRange>> locate_rows(std::span<const SharedText> document_ids) const override;

  // Storage "int8 scales must be finite and positive" when a row of
  // `ranges` has such a scale; float32 views always succeed. Reads only the
  // scales.
  Result<void> check_rows(std::span<const RowRange> ranges) const override;
  // Writes the rows of `ranges`, one after another, into `out` as float32 on
  // the calling thread: a copy for float32 views; for int8 views the
  // decoded rows, renormalised when the representation is normalized.
  // Touches `out` in order, once. Safe to call concurrently (the view is
  // only read).
  // REQUIRES: check_rows(ranges) succeeded; out.size() is the ranges' rows
  // times the dimension.
  void gather_rows(std::span<const RowRange> ranges, std::span<float> out) const override;
  // The float32 rows of `range` in the mapped segment; nullptr for int8
  // views.
  const float* rows_in_place(const RowRange& range) const override;

  // --- Reading by segment, for indexes kept outside the store (store_segments.cpp) ---

  // The index in segments() of the segment with ID `segment_id`, or nothing.
  std::optional<std::size_t> segment_index(std::uint64_t segment_id) const;
  // segment_index(), or InvalidInput "segment N is not in this view".
  Result<std::size_t> find_segment(std::uint64_t segment_id) const;

  // The IDs of rows `rows` of segments()[index] in request order (a row may
  // repeat), or of every row in row order when `rows` is nothing; deleted
  // and hidden rows included. Returns InvalidInput "row R is out of range
  // for segment N of D rows" for the first row outside [0, D).
  // REQUIRES: index < segments().size().
  Result<std::vector<SharedText>> segment_document_ids(std::size_t index,
                                                       std::optional<std::span<const std::int64_t>> rows) const;

  // Whether row `row` of segments()[index] is where its document is present
  // in this view: the row is not deleted and no newer segment lists its ID.
  // REQUIRES: index < segments().size(); row < that segment's documents.
  bool shows(std::size_t index, std::uint64_t row) const;
  // shows() for each (segment_ids[i], rows[i]) into out[i]; a segment ID that
  // is negative or not in this view gives false. Returns InvalidInput
  // "segment_ids and rows differ in length (A and B)", or the out-of-range
  // error of segment_document_ids for the first bad row of a segment of the
  // view; `out` is then partly written.
  // REQUIRES: out.size() == segment_ids.size().
  Result<void> present(std::span<const std::int64_t> segment_ids, std::span<const std::int64_t> rows,
                       std::span<bool> out) const;

  // Writes, for every row r of segments()[index] (deleted and hidden rows
  // included), row r of `out` ([documents, dimension], row-major): the mean
  // of the document's token vectors as fetch() returns them (int8 decoded
  // and renormalised alike), summed in double precision in row order and
  // divided by the token count, then divided by max(its Euclidean norm in
  // double precision, 1e-12) and rounded to float. Runs on the pool chosen
  // by install(threads), a run of whole documents per task, each document
  // on one thread: the result does not depend on the thread count. Memory
  // beyond `out` is at most 128 decoded rows per thread. Returns install's InvalidInput
  // errors ("threads must be positive" for 0, for float32 too), then for
  // int8 Storage "int8 scales must be finite and positive" when a row of the
  // segment has such a scale (`out` is then partly written).
  // REQUIRES: index < segments().size(); out.size() == documents * dimension.
  Result<void> pool_into(std::size_t index, std::span<float> out, std::optional<std::size_t> threads) const;

 private:

  Manifest manifest_;
  Encoding encoding_;
  TimeValue as_of_;
  std::vector<LiveSegment> segments_;
  std::filesystem::path directory_;
};

// How long a load keeps retrying while newer commits remove the files it
// is opening.
inline constexpr double kLoadRetrySeconds = 10.0;

// Loads the segments of `manifest` from `directory` into `segments` (in
// manifest order), reusing every segment of `previous` with the same ID
// whose files `directory` still holds (SegmentData::same_files): its data,
// and its tombstone list when the tombstone file is the same one. On
// failure `segments` holds the segments loaded before it. Returns the first
// error: Storage "a known segment's dimensions changed" when a reused
// segment's counts differ, else the errors of SegmentData::load and
// load_tombstones.
// REQUIRES: `previous` was loaded for the same store, encoding and
// dimension as `manifest`.
Result<void> load_segments_into(const Directory& directory, const Manifest& manifest,
                                std::span<const LiveSegment> previous, std::vector<LiveSegment>& segments);
// load_segments_into, returning the segments.
Result<std::vector<LiveSegment>> load_segments(const Directory& directory, const Manifest& manifest,
                                               std::span<const LiveSegment> previous);

// Reads the committed state of the store in `directory` and builds its view,
// reusing segments of `previous` (may be null) when it is a view of the same
// store. When a file the manifest names has vanished (a newer commit's
// clean-up removed it), rereads the manifest and starts over, reusing what
// was loaded, for as long as the manifest keeps changing and at most
// kLoadRetrySeconds. Returns the errors of Manifest::read and
// load_segments; the not-found error when the manifest did not change or the
// time ran out.
Result<std::shared_ptr<const StoreView>> load_committed(const Directory& directory, const StoreView* previous);

// load_committed starting from a manifest the caller has just read.
Result<std::shared_ptr<const StoreView>> load_committed(const Directory& directory, Manifest manifest,
                                                        const StoreView* previous);

// The segment-loading step of load_committed (load_segments_into by
// default) and its time bound; tests pass their own to change the directory
// between the steps.
using SegmentLoader = std::function<Result<void>(const Directory& directory, const Manifest& manifest,
                                                 std::span<const LiveSegment> previous,
                                                 std::vector<LiveSegment>& segments)>;
Result<std::shared_ptr<const StoreView>> load_committed(const Directory& directory, Manifest manifest,
                                                        const StoreView* previous, const SegmentLoader& load,
                                                        double retry_seconds);

// A store directory opened for reading.
//
// Invariants:
//  1. corpus, encoding and representation are those of the commit read at
//     opening and never change;
//  2. the current view is never null and has that corpus, encoding and
//     representation.
// Thread-safe: every method may be called concurrently.
class VectorStore final : public MultiVectorSource {
 public:
  // Loads the committed state (load_committed with no previous view). A
  // relative path is resolved against the current directory now, once.
  // Returns its errors unchanged.
  static Result<std::shared_ptr<const VectorStore>> open(const std::filesystem::path& path);

  const std::filesystem::path& path() const { return path_; }
  Encoding encoding() const { return encoding_; }

  std::string_view corpus() const override { return corpus_; }
  const Representation& representation() const override { return representation_; }
  // "float32-exact-full-maxsim" or "int8-reconstructed-approximate-full-maxsim",
  // by encoding.
  std::string_view score_semantics() const override;

  // The latest committed view: rereads manifest.json; returns the current
  // view when the manifest is unchanged, else loads the new commit (reusing
  // what the current view has loaded) and makes it current. Returns the
  // errors of Manifest::read and load_committed, or Storage "vector store
  // PATH was replaced by one of another corpus, encoding, or
  // representation". A failure leaves the current view as it was.
  Result<std::shared_ptr<const StoreView>> store_view() const;
  // store_view() as a MultiVectorSource.
  Result<std::shared_ptr<const VectorView>> view() const override;

  // The view made current last, without reading anything.
  std::shared_ptr<const StoreView> current_view() const;

  // Where the rows of segment `segment_id` were copied from
  // (segment_sources.h), read from the directory resolved at opening;
  // nothing for a segment written by append. Returns InvalidInput "segment
  // ID is not in the current commit of vector store PATH" when the manifest
  // there does not list it (also when a newer commit removed the segment
  // while its file was read), else the errors of Manifest::read and
  // load_segment_sources.
  Result<std::optional<std::vector<SegmentSource>>> segment_sources(std::uint64_t segment_id) const;

 private:
  VectorStore(std::filesystem::path path, std::filesystem::path resolved, std::shared_ptr<const StoreView> view);

  // Constant after construction.
  const std::filesystem::path path_;      // as given, for messages
  const std::filesystem::path resolved_;  // absolute, resolved at opening; followed by view()
  const std::string corpus_;
  const Encoding encoding_;
  const Representation representation_;

  // Held only to read or replace current_, never while reading files.
  mutable SharedMutex mutex_;
  mutable std::shared_ptr<const StoreView> current_ GUARDED_BY(mutex_);  // never null
};

}  // namespace quillmark
