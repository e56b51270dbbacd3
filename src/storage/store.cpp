#include "store.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <utility>

#include <sys/mman.h>

#include "int8.h"
#include "threads.h"

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

// The token range [begin, end) of a row.
struct TokenRange {
  std::uint64_t begin;
  std::uint64_t end;
  std::size_t length() const { return static_cast<std::size_t>(end - begin); }
};

TokenRange token_range(const LiveSegment& segment, std::uint64_t row) {
  const auto offsets = segment.data->offsets();
  return {offsets[row], offsets[row + 1]};
}

// The values of array `index` of every segment, typed; validated at load, so
// a failure here is a broken invariant.
template <class T>
std::vector<std::span<const T>> segment_values(const std::vector<LiveSegment>& segments, std::size_t index) {
  std::vector<std::span<const T>> spans;
  spans.reserve(segments.size());
  for (const LiveSegment& segment : segments) {
    QM_INVARIANT(index < segment.data->arrays().size(), "a loaded segment lacks an array of its encoding");
    auto values = segment.data->arrays()[index].values<T>();
    QM_INVARIANT(values.has_value(), "a loaded segment array has another dtype than its encoding");
    spans.push_back(*values);
  }
  return spans;
}

// An empty vector with room for `count` values. Large buffers are backed by
// transparent huge pages where the system offers them on request (NumPy
// asks the same for its large arrays): filling fresh memory costs mostly page
// faults otherwise, more than the copy itself.
template <class T>
std::vector<T> output_buffer(std::size_t count) {
  std::vector<T> buffer;
  buffer.reserve(count);
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
  const auto begin = reinterpret_cast<std::uintptr_t>(buffer.data());
  const std::uintptr_t end = begin + count * sizeof(T);
  const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = end & ~(kHugePage - 1);
  // Only advice: a failure leaves ordinary pages.
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
  return buffer;
}

}  // namespace

// --- LiveSegment ---

bool LiveSegment::deleted(std::uint64_t row) const {
  return std::binary_search(tombstones->begin(), tombstones->end(), row);
}

// --- StoreView ---

StoreView::StoreView(Manifest manifest, Encoding encoding, TimeValue as_of, std::vector<LiveSegment> segments)
    : manifest_(std::move(manifest)), encoding_(encoding), as_of_(as_of), segments_(std::move(segments)) {
  QM_INVARIANT(segments_.size() == manifest_.segments.size(), "a view's segments differ from its manifest");
}

std::optional<Location> StoreView::locate(std::string_view document_id) const {
  for (std::size_t i = segments_.size(); i-- > 0;) {
    const LiveSegment& segment = segments_[i];
    auto row = segment.data->row(document_id);
    if (!row) continue;
    if (segment.deleted(*row)) return std::nullopt;
    return Location{i, *row};
  }
  return std::nullopt;
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
      out.emplace_back(token_range(segments_[location->segment], location->row).length());
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

Result<PackedDocuments> StoreView::fetch(std::span<const SharedText> document_ids,
                                         std::optional<std::size_t> threads) const {
  const std::vector<Location> locations = QM_TRY(locate_all(document_ids));
  const std::size_t dimension = static_cast<std::size_t>(representation().dimension());

  std::vector<TokenRange> ranges;
  std::vector<std::size_t> lengths;
  ranges.reserve(locations.size());
  lengths.reserve(locations.size());
  std::size_t total = 0;
  for (const Location& location : locations) {
    ranges.push_back(token_range(segments_[location.segment], location.row));
    lengths.push_back(ranges.back().length());
    total += lengths.back();
  }

  if (encoding_ == Encoding::Float32) {
    const auto vectors = segment_values<float>(segments_, 0);
    // Appended without zero-filling first: one pass over the output.
    std::vector<float> out = output_buffer<float>(total * dimension);
    for (std::size_t i = 0; i < locations.size(); ++i) {
      const float* rows = vectors[locations[i].segment].data() + ranges[i].begin * dimension;
      out.insert(out.end(), rows, rows + lengths[i] * dimension);
    }
    return PackedDocuments::make(std::move(out), std::move(lengths), dimension);
  }

  // int8: gather codes and scales, check them, then decode on the pool.
  const auto codes = segment_values<std::int8_t>(segments_, 0);
  const auto scales = segment_values<float>(segments_, 1);
  std::vector<std::int8_t> gathered_codes(total * dimension);
  std::vector<float> gathered_scales(total);
  std::size_t code_count = 0;
  std::size_t scale_count = 0;
  for (std::size_t i = 0; i < locations.size(); ++i) {
    const std::size_t segment = locations[i].segment;
    const auto code_rows = codes[segment].subspan(ranges[i].begin * dimension, lengths[i] * dimension);
    const auto scale_rows = scales[segment].subspan(ranges[i].begin, lengths[i]);
    std::memcpy(gathered_codes.data() + code_count, code_rows.data(), code_rows.size());
    std::memcpy(gathered_scales.data() + scale_count, scale_rows.data(), scale_rows.size() * sizeof(float));
    code_count += code_rows.size();
    scale_count += scale_rows.size();
  }
  if (code_count != total * dimension || scale_count != total)
    return std::unexpected(Error::storage("int8 rows, scales, and dimension are inconsistent"));
  for (float scale : gathered_scales)
    if (!(std::isfinite(scale) && scale > 0))
      return std::unexpected(Error::storage("int8 scales must be finite and positive"));

  std::vector<float> out = output_buffer<float>(total * dimension);
  out.resize(total * dimension);
  const bool unit_rows = representation().normalized();
  QM_TRY(install(threads, [&]() -> Result<bool> {
    int8_decode(gathered_codes, gathered_scales, dimension, unit_rows, out);
    return true;
  }));
  return PackedDocuments::make(std::move(out), std::move(lengths), dimension);
}

// --- loading ---

Result<std::vector<LiveSegment>> load_segments(const std::filesystem::path& directory, const Manifest& manifest,
                                               std::span<const LiveSegment> previous) {
  const Encoding encoding = QM_TRY(Encoding::parse(manifest.encoding));
  const std::uint64_t dimension = manifest.representation.dimension();

  std::unordered_map<std::uint64_t, const LiveSegment*> known;
  known.reserve(previous.size());
  for (const LiveSegment& segment : previous) known.emplace(segment.entry.id, &segment);

  std::vector<LiveSegment> segments;
  segments.reserve(manifest.segments.size());
  for (const SegmentEntry& entry : manifest.segments) {
    LiveSegment live{entry, nullptr, nullptr};
    if (auto it = known.find(entry.id); it != known.end()) {
      const LiveSegment& old = *it->second;
      if (old.entry.documents != entry.documents || old.entry.tokens != entry.tokens)
        return std::unexpected(Error::storage("a known segment's dimensions changed"));
      live.data = old.data;
      if (old.entry.tombstones == entry.tombstones) live.tombstones = old.tombstones;
    } else {
      live.data = QM_TRY(SegmentData::load(directory, entry, encoding, dimension));
    }
    if (live.tombstones) {
      // unchanged tombstone commit: shared
    } else if (entry.tombstones) {
      live.tombstones = QM_TRY(load_tombstones(directory, entry));
    } else {
      live.tombstones = no_tombstones();
    }
    segments.push_back(std::move(live));
  }
  return segments;
}

Result<std::shared_ptr<const StoreView>> load_committed(const std::filesystem::path& directory,
                                                        const StoreView* previous) {
  Manifest manifest = QM_TRY(Manifest::read(directory));
  return load_committed(directory, std::move(manifest), previous);
}

Result<std::shared_ptr<const StoreView>> load_committed(const std::filesystem::path& directory,
                                                        Manifest manifest, const StoreView* previous) {
  return load_committed(directory, std::move(manifest), previous, load_segments);
}

Result<std::shared_ptr<const StoreView>> load_committed(const std::filesystem::path& directory,
                                                        Manifest manifest, const StoreView* previous,
                                                        const SegmentLoader& load) {
  // A file named by the manifest can vanish while it is being opened when a
  // newer commit's clean-up removes it; the newer manifest then names what
  // to load instead.
  constexpr int kRetries = 7;
  for (int attempt = 0;; ++attempt) {
    std::span<const LiveSegment> reusable;
    if (previous != nullptr && can_reuse(*previous, manifest)) reusable = previous->segments();
    auto segments = load(directory, manifest, reusable);
    if (segments) {
      const Encoding encoding = QM_TRY(Encoding::parse(manifest.encoding));
      const TimeValue as_of = QM_TRY(manifest.committed_at_time());
      return std::make_shared<const StoreView>(std::move(manifest), encoding, as_of, std::move(*segments));
    }
    if (!is_not_found(segments.error()) || attempt == kRetries) return std::unexpected(std::move(segments).error());
    Manifest again = QM_TRY(Manifest::read(directory));
    if (again == manifest) return std::unexpected(std::move(segments).error());
    manifest = std::move(again);
  }
}

// --- VectorStore ---

VectorStore::VectorStore(std::filesystem::path path, std::shared_ptr<const StoreView> view)
    : path_(std::move(path)),
      corpus_(view->corpus()),
      encoding_(view->encoding()),
      representation_(view->representation()),
      current_(std::move(view)) {}

Result<std::shared_ptr<const VectorStore>> VectorStore::open(const std::filesystem::path& path) {
  std::shared_ptr<const StoreView> view = QM_TRY(load_committed(path, nullptr));
  return std::shared_ptr<const VectorStore>(new VectorStore(path, std::move(view)));
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
  Manifest manifest = QM_TRY(Manifest::read(path_));
  if (manifest == current->manifest()) return current;

  std::shared_ptr<const StoreView> fresh = QM_TRY(load_committed(path_, std::move(manifest), current.get()));
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

Result<std::shared_ptr<const VectorView>> VectorStore::view() const {
  std::shared_ptr<const StoreView> view = QM_TRY(store_view());
  return std::shared_ptr<const VectorView>(std::move(view));
}

}  // namespace quillmark
