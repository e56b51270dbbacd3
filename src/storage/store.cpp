#include "storage/store.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <cmath>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "runtime/threads.h"
#include "storage/format/int8.h"

namespace quillmark {

namespace {

const std::shared_ptr<const Tombstones>& no_tombstones() {
  static const std::shared_ptr<const Tombstones> empty = std::make_shared<const Tombstones>();
  return empty;
}

// Segments of `previous` may stand in for segments of `manifest` only when
// both describe the same store with the same arrays.
bool can_reuse(const StoreView& previous, const Manifest& manifest) {
  const Manifest& old = previous.manifest();
  return old.store_id == manifest.store_id && old.encoding == manifest.encoding &&
         old.representation.dimension() == manifest.representation.dimension();
}

bool is_not_found(const Error& error) {
  const IoError* io = error.io();
  return io != nullptr && io->kind() == IoErrorKind::NotFound;
}

// Values of output one parallel fetch task writes at least (1 MiB): large
// enough that claiming a task costs nothing next to it, small enough that a
// 2-worker pool shares even a few-megabyte fetch evenly.
constexpr std::size_t kFetchTaskValues = std::size_t{1} << 18;

// The first range of every fetch task, then ranges.size(): tasks are runs of
// whole documents of at least kFetchTaskValues values (the last may be
// smaller).
std::vector<std::size_t> fetch_tasks(std::span<const RowRange> ranges, std::size_t dimension) {
  std::vector<std::size_t> starts{0};
  std::size_t values = 0;
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    values += ranges[i].rows() * dimension;
    if (values >= kFetchTaskValues && i + 1 < ranges.size()) {
      starts.push_back(i + 1);
      values = 0;
    }
  }
  starts.push_back(ranges.size());
  return starts;
}

}  // namespace

// --- LiveSegment ---

bool LiveSegment::deleted(std::uint64_t row) const {
  return std::binary_search(tombstones->begin(), tombstones->end(), row);
}

std::optional<Location> locate_in(std::span<const LiveSegment> segments, std::string_view document_id) {
  const IdHash hash(document_id);
  for (std::size_t i = segments.size(); i-- > 0;) {
    const LiveSegment& segment = segments[i];
    // The oldest segment is searched without its filter: no older segment
    // remains for the filter to spare, and the one segment of a compacted
    // store then costs one table probe per lookup.
    if (i > 0 && !segment.data->may_hold(hash)) continue;
    const auto row = segment.data->row(document_id, hash);
    if (!row) continue;  // admitted by the filter only
    if (segment.deleted(*row)) return std::nullopt;
    return Location{i, *row};
  }
  return std::nullopt;
}

// --- StoreView ---

StoreView::StoreView(Manifest manifest, Encoding encoding, TimeValue as_of, std::vector<LiveSegment> segments,
                     std::filesystem::path directory)
    : manifest_(std::move(manifest)), encoding_(encoding), as_of_(as_of), segments_(std::move(segments)),
      directory_(std::move(directory)) {
  QM_INVARIANT(segments_.size() == manifest_.segments.size(), "a view's segments differ from its manifest");
}

std::vector<std::optional<Location>> StoreView::locate_each(std::span<const SharedText> document_ids) const {
  std::vector<std::optional<Location>> out;
  out.reserve(document_ids.size());
  for (const SharedText& id : document_ids) out.push_back(locate(id.view()));
  return out;
}

std::vector<SharedText> StoreView::document_ids() const {
  // An ID is present through the newest segment that lists it, when its row
  // there is not deleted; every other listing of it is hidden. Sorting every
  // listing by (ID, newest segment first) puts the deciding one at the head
  // of each run of equal IDs.
  struct Listing {
    std::string_view id;
    std::size_t segment;
    bool deleted;
    const SharedText* text;
  };
  std::size_t rows = 0;
  for (const LiveSegment& segment : segments_) rows += segment.data->ids().size();
  std::vector<Listing> listings;
  listings.reserve(rows);
  for (std::size_t i = 0; i < segments_.size(); ++i) {
    const LiveSegment& segment = segments_[i];
    auto tombstone = segment.tombstones->begin();
    const auto& ids = segment.data->ids();
    for (std::uint64_t row = 0; row < ids.size(); ++row) {
      while (tombstone != segment.tombstones->end() && *tombstone < row) ++tombstone;
      const bool deleted = tombstone != segment.tombstones->end() && *tombstone == row;
      listings.push_back({ids[row].view(), i, deleted, &ids[row]});
    }
  }
  std::sort(listings.begin(), listings.end(), [](const Listing& a, const Listing& b) {
    if (const int c = a.id.compare(b.id); c != 0) return c < 0;  // byte-wise
    return a.segment > b.segment;
  });
  std::vector<SharedText> present;
  present.reserve(listings.size());
  for (std::size_t i = 0; i < listings.size(); ++i) {
    if (i > 0 && listings[i].id == listings[i - 1].id) continue;  // hidden by a newer listing
    if (!listings[i].deleted) present.push_back(*listings[i].text);
  }
  return present;
}

std::vector<std::optional<std::size_t>> StoreView::lengths(std::span<const SharedText> document_ids) const {
  std::vector<std::optional<std::size_t>> out;
  out.reserve(document_ids.size());
  for (const SharedText& id : document_ids) {
    auto location = locate(id.view());
    if (location)
      out.emplace_back(row_range(*location).rows());
    else
      out.emplace_back(std::nullopt);
  }
  return out;
}

Result<std::vector<std::optional<std::size_t>>> StoreView::document_lengths(
    std::span<const SharedText> document_ids) const {
  return lengths(document_ids);
}

Result<std::vector<Location>> StoreView::locate_all(std::span<const SharedText> document_ids) const {
  std::vector<Location> locations;
  locations.reserve(document_ids.size());
  for (const SharedText& id : document_ids) {
    auto location = locate(id.view());
    if (!location)
      return std::unexpected(Error::invalid_input("document " + debug_form(id.view()) +
                                                  " is not in the vector store of corpus " +
                                                  debug_form(corpus())));
    locations.push_back(*location);
  }
  return locations;
}

RowRange StoreView::row_range(Location location) const {
  const auto offsets = segments_[location.segment].data->offsets();
  return {location.segment, offsets[location.row], offsets[location.row + 1]};
}

std::size_t StoreView::row_dimension() const { return static_cast<std::size_t>(representation().dimension()); }

std::vector<std::optional<RowRange>> StoreView::locate_rows(std::span<const SharedText> document_ids) const {
  std::vector<std::optional<RowRange>> out;
  out.reserve(document_ids.size());
  for (const SharedText& id : document_ids) {
    const std::optional<Location> location = locate(id.view());
    out.push_back(location ? std::optional<RowRange>(row_range(*location)) : std::nullopt);
  }
  return out;
}

Result<FetchPlan> StoreView::plan_fetch(std::span<const SharedText> document_ids) const {
  const std::vector<Location> locations = QM_TRY(locate_all(document_ids));
  FetchPlan plan;
  plan.ranges.reserve(locations.size());
  plan.lengths.reserve(locations.size());
  for (const Location& location : locations) {
    plan.ranges.push_back(row_range(location));
    plan.lengths.push_back(plan.ranges.back().rows());
    plan.rows += plan.lengths.back();
  }
  return plan;
}

Result<void> StoreView::check_rows(std::span<const RowRange> ranges) const {
  if (encoding_ != Encoding::Int8) return {};
  for (const RowRange& range : ranges) {
    const auto scales = segments_[range.segment].values<float>(1).subspan(range.begin, range.rows());
    for (float scale : scales)
      if (!(std::isfinite(scale) && scale > 0))
        return std::unexpected(Error::storage("int8 scales must be finite and positive"));
  }
  return {};
}

const float* StoreView::rows_in_place(const RowRange& range) const {
  if (encoding_ != Encoding::Float32) return nullptr;
  const std::size_t dimension = static_cast<std::size_t>(representation().dimension());
  return segments_[range.segment].values<float>(0).data() + range.begin * dimension;
}

void StoreView::gather_rows(std::span<const RowRange> ranges, std::span<float> out) const {
  const std::size_t dimension = static_cast<std::size_t>(representation().dimension());
  std::size_t at = 0;
  if (encoding_ == Encoding::Float32) {
    for (const RowRange& range : ranges) {
      const std::size_t count = range.rows() * dimension;
      QM_INVARIANT(count <= out.size() - at, "gathered rows fit the output");
      const float* rows = segments_[range.segment].values<float>(0).data() + range.begin * dimension;
      std::memcpy(out.data() + at, rows, count * sizeof(float));
      at += count;
    }
  } else {
    const bool unit_rows = representation().normalized();
    for (const RowRange& range : ranges) {
      QM_INVARIANT(range.rows() * dimension <= out.size() - at, "gathered rows fit the output");
      const LiveSegment& segment = segments_[range.segment];
      const std::int8_t* codes = segment.values<std::int8_t>(0).data() + range.begin * dimension;
      const float* scales = segment.values<float>(1).data() + range.begin;
      for (std::size_t r = 0; r < range.rows(); ++r, at += dimension)
        int8_decode_row({codes + r * dimension, dimension}, scales[r], unit_rows, out.subspan(at, dimension));
    }
  }
  QM_INVARIANT(at == out.size(), "gathered rows fill the output");
}

Result<void> StoreView::fetch_into(const FetchPlan& plan, std::span<float> out,
                                   std::optional<std::size_t> threads) const {
  const std::size_t dimension = static_cast<std::size_t>(representation().dimension());
  QM_INVARIANT(out.size() == plan.rows * dimension, "the fetch output holds the plan's rows");
  const bool int8 = encoding_ == Encoding::Int8;
  if (int8) {
    // Checked whole before the pool is chosen: bad data is reported before
    // a bad thread count, and nothing is written on failure.
    QM_TRY(check_rows(plan.ranges));
    if (threads && *threads == 0) return std::unexpected(Error::invalid_input("threads must be positive"));
  }
  const std::vector<std::size_t> starts = fetch_tasks(plan.ranges, dimension);
  const std::size_t tasks = starts.size() - 1;
  // One task, or one thread asked for: the calling thread does it (a pool of
  // one worker would only add a thread start). float32 with threads 0 too:
  // its fetch does not fail on the thread count.
  if (tasks <= 1 || (threads && *threads <= 1)) {
    gather_rows(plan.ranges, out);
    return {};
  }
  std::vector<std::size_t> first_value(tasks + 1, 0);
  for (std::size_t t = 0; t < tasks; ++t) {
    std::size_t rows = 0;
    for (std::size_t i = starts[t]; i < starts[t + 1]; ++i) rows += plan.ranges[i].rows();
    first_value[t + 1] = first_value[t] + rows * dimension;
  }
  // Tasks write disjoint parts of `out` and only read the view.
  return install(threads, [&]() -> Result<void> {
    parallel_for_each_index(tasks, [&](std::size_t t) {
      gather_rows(std::span<const RowRange>(plan.ranges).subspan(starts[t], starts[t + 1] - starts[t]),
                  out.subspan(first_value[t], first_value[t + 1] - first_value[t]));
    });
    return {};
  });
}

Result<PackedDocuments> StoreView::fetch(std::span<const SharedText> document_ids,
                                         std::optional<std::size_t> threads) const {
  FetchPlan plan = QM_TRY(plan_fetch(document_ids));
  const std::size_t dimension = static_cast<std::size_t>(representation().dimension());
  std::vector<float> out(plan.rows * dimension);
  QM_TRY(fetch_into(plan, out, threads));
  return PackedDocuments::make(std::move(out), std::move(plan.lengths), dimension);
}

// --- loading ---

Result<void> load_segments_into(const Directory& directory, const Manifest& manifest,
                                std::span<const LiveSegment> previous, std::vector<LiveSegment>& segments) {
  segments.clear();
  const Encoding encoding = QM_TRY(Encoding::parse(manifest.encoding));
  const std::uint64_t dimension = manifest.representation.dimension();

  std::unordered_map<std::uint64_t, const LiveSegment*> known;
  known.reserve(previous.size());
  // The last of several with one ID is the most recently loaded.
  for (const LiveSegment& segment : previous) known[segment.entry.id] = &segment;

  segments.reserve(manifest.segments.size());
  for (const SegmentEntry& entry : manifest.segments) {
    LiveSegment live{entry, nullptr, nullptr};
    // A known segment stands in only while the directory holds the very
    // files it was loaded from: a store restored from a backup reuses
    // segment IDs for other content.
    if (auto it = known.find(entry.id); it != known.end() && it->second->data->same_files(directory)) {
      const LiveSegment& old = *it->second;
      if (old.entry.documents != entry.documents || old.entry.tokens != entry.tokens)
        return std::unexpected(Error::storage("a known segment's dimensions changed"));
      live.data = old.data;
      const auto same_tombstones = [&] {
        if (!entry.tombstones) return true;
        auto now = directory.identity(tombstones_file_name(entry.id, *entry.tombstones));
        return !now || *now == old.tombstones_file;
      };
      if (old.entry.tombstones == entry.tombstones && same_tombstones()) {
        live.tombstones = old.tombstones;
        live.tombstones_file = old.tombstones_file;
      }
    } else {
      live.data = QM_TRY(SegmentData::load(directory, entry, encoding, dimension));
    }
    if (live.tombstones) {
      // unchanged tombstone file: shared
    } else if (entry.tombstones) {
      const std::string name = tombstones_file_name(entry.id, *entry.tombstones);
      live.tombstones = QM_TRY(load_tombstones(directory, entry));
      live.tombstones_file = QM_TRY(directory.identity(name));
    } else {
      live.tombstones = no_tombstones();
    }
    segments.push_back(std::move(live));
  }
  return {};
}

Result<std::vector<LiveSegment>> load_segments(const Directory& directory, const Manifest& manifest,
                                               std::span<const LiveSegment> previous) {
  std::vector<LiveSegment> segments;
  QM_TRY(load_segments_into(directory, manifest, previous, segments));
  return segments;
}

Result<std::shared_ptr<const StoreView>> load_committed(const Directory& directory, const StoreView* previous) {
  Manifest manifest = QM_TRY(Manifest::read(directory));
  return load_committed(directory, std::move(manifest), previous);
}

Result<std::shared_ptr<const StoreView>> load_committed(const Directory& directory, Manifest manifest,
                                                        const StoreView* previous) {
  return load_committed(directory, std::move(manifest), previous, load_segments_into, kLoadRetrySeconds);
}

Result<std::shared_ptr<const StoreView>> load_committed(const Directory& directory, Manifest manifest,
                                                        const StoreView* previous, const SegmentLoader& load,
                                                        double retry_seconds) {
  // A file named by the manifest can vanish while it is being opened when a
  // newer commit's clean-up removes it; the newer manifest then names what
  // to load instead. Each attempt reuses what the earlier ones loaded, so a
  // retry opens only the files the newer commits added, and a reader keeps
  // up with a writer however often it commits.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(retry_seconds);
  std::vector<LiveSegment> reusable;
  if (previous != nullptr && can_reuse(*previous, manifest))
    reusable.assign(previous->segments().begin(), previous->segments().end());
  std::vector<LiveSegment> segments;
  for (;;) {
    auto loaded = load(directory, manifest, reusable, segments);
    if (loaded) {
      const Encoding encoding = QM_TRY(Encoding::parse(manifest.encoding));
      const TimeValue as_of = QM_TRY(manifest.committed_at_time());
      return std::make_shared<const StoreView>(std::move(manifest), encoding, as_of, std::move(segments),
                                               directory.path());
    }
    if (!is_not_found(loaded.error()) || std::chrono::steady_clock::now() >= deadline)
      return std::unexpected(std::move(loaded).error());
    Manifest again = QM_TRY(Manifest::read(directory));
    if (again == manifest) return std::unexpected(std::move(loaded).error());
    // Segments of the same store just loaded are as good as the previous
    // view's; another store (a new store_id) shares nothing.
    if (again.store_id != manifest.store_id || again.encoding != manifest.encoding ||
        again.representation.dimension() != manifest.representation.dimension())
      reusable.clear();
    else
      reusable.insert(reusable.end(), std::make_move_iterator(segments.begin()),
                      std::make_move_iterator(segments.end()));
    manifest = std::move(again);
  }
}

// --- VectorStore ---

VectorStore::VectorStore(std::filesystem::path path, std::filesystem::path resolved,
                         std::shared_ptr<const StoreView> view)
    : path_(std::move(path)),
      resolved_(std::move(resolved)),
      corpus_(view->corpus()),
      encoding_(view->encoding()),
      representation_(view->representation()),
      current_(std::move(view)) {}

Result<std::shared_ptr<const VectorStore>> VectorStore::open(const std::filesystem::path& path) {
  // Resolved once: a later change of the working directory must not lead
  // this store to another directory.
  std::error_code ec;
  std::filesystem::path resolved = std::filesystem::absolute(path, ec);
  if (ec) return std::unexpected(IoError::from_errno(ec.value()));
  const Directory directory = QM_TRY(Directory::open(resolved));
  std::shared_ptr<const StoreView> view = QM_TRY(load_committed(directory, nullptr));
  return std::shared_ptr<const VectorStore>(new VectorStore(path, std::move(resolved), std::move(view)));
}

std::string_view VectorStore::score_semantics() const {
  return encoding_ == Encoding::Float32 ? kFloat32ExactFullMaxsim : kInt8ReconstructedApproximateFullMaxsim;
}

std::shared_ptr<const StoreView> VectorStore::current_view() const {
  ReaderLock lock(mutex_);
  return current_;
}

Result<std::shared_ptr<const StoreView>> VectorStore::store_view() const {
  std::shared_ptr<const StoreView> current = current_view();
  // The path is followed anew, so a store renamed into its place is seen;
  // the manifest and every file of one load come from one directory.
  const Directory directory = QM_TRY(Directory::open(resolved_));
  Manifest manifest = QM_TRY(Manifest::read(directory));
  if (manifest == current->manifest()) return current;

  std::shared_ptr<const StoreView> fresh = QM_TRY(load_committed(directory, std::move(manifest), current.get()));
  if (fresh->corpus() != corpus_ || fresh->encoding() != encoding_ || fresh->representation() != representation_)
    return std::unexpected(Error::storage("vector store " + path_.string() +
                                          " was replaced by one of another corpus, encoding, or representation"));
  std::shared_ptr<const StoreView> replaced;
  {
    WriterLock lock(mutex_);
    replaced = std::exchange(current_, fresh);
  }
  // `replaced` (possibly the last holder of an old view) is released here,
  // outside the lock.
  return fresh;
}

Result<std::optional<std::vector<SegmentSource>>> VectorStore::segment_sources(std::uint64_t segment_id) const {
  const Directory directory = QM_TRY(Directory::open(resolved_));
  const auto entry_in = [segment_id](const Manifest& manifest) -> std::optional<SegmentEntry> {
    for (const SegmentEntry& entry : manifest.segments)
      if (entry.id == segment_id) return entry;
    return std::nullopt;
  };
  const auto absent = [&] {
    return std::unexpected(Error::invalid_input("segment " + std::to_string(segment_id) +
                                                " is not in the current commit of vector store " + path_.string()));
  };
  const std::optional<SegmentEntry> entry = entry_in(QM_TRY(Manifest::read(directory)));
  if (!entry) return absent();
  std::optional<std::vector<SegmentSource>> sources = QM_TRY(load_segment_sources(directory, *entry));
  if (sources) return sources;
  // No file: a segment written by append, or one a newer commit's clean-up
  // has just removed. The clean-up removes only segments its manifest no
  // longer names, and a removed segment's ID is never used again, so the
  // manifest read now tells which.
  if (!entry_in(QM_TRY(Manifest::read(directory)))) return absent();
  return sources;
}

Result<std::shared_ptr<const VectorView>> VectorStore::view() const {
  std::shared_ptr<const StoreView> view = QM_TRY(store_view());
  return std::shared_ptr<const VectorView>(std::move(view));
}

}  // namespace quillmark
