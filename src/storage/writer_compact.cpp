// Copying present rows into a new segment, and compaction: the present
// documents copied byte for byte into one new segment that replaces all
// others. Merging (writer_merge.cpp) copies with the same machinery.

#include "storage/writer.h"

namespace quillmark {

namespace {

// Appends rows [first, last) of `source` (row_items values a row) to `out`.
template <class T>
Result<void> copy_rows(NpyWriter& out, const NpyArray& source, std::size_t row_items, std::uint64_t first,
                       std::uint64_t last) {
  std::span<const T> values = QM_TRY(source.values<T>());
  return out.write(values.subspan(first * row_items, (last - first) * row_items));
}

}  // namespace

std::vector<VectorStoreWriter::CopiedRow> VectorStoreWriter::present_rows(std::span<const std::size_t> chosen) const {
  std::vector<CopiedRow> rows;
  for (std::size_t s : chosen) {
    const SegmentData& data = *segments_[s].data;
    for (std::uint64_t row = 0; row < data.ids().size(); ++row) {
      auto location = locate(data.ids()[row].view());
      if (location && location->segment == s && location->row == row) rows.push_back({s, row});
    }
  }
  return rows;
}

Result<LiveSegment> VectorStoreWriter::stage_copy(std::span<const CopiedRow> rows) {
  QM_INVARIANT(!rows.empty(), "a copied segment holds at least one document");
  std::vector<SharedText> ids;
  std::vector<std::uint64_t> lengths;
  std::vector<SegmentSource> sources;
  ids.reserve(rows.size());
  lengths.reserve(rows.size());
  sources.reserve(rows.size());
  std::uint64_t tokens = 0;
  for (const CopiedRow& copied : rows) {
    const LiveSegment& segment = segments_[copied.segment];
    const SegmentData& data = *segment.data;
    ids.push_back(data.ids()[copied.row]);
    const std::uint64_t length = data.offsets()[copied.row + 1] - data.offsets()[copied.row];
    lengths.push_back(length);
    tokens += length;
    sources.push_back({segment.entry.id, copied.row, data.fingerprint()});
  }
  const std::uint64_t id = QM_TRY(allocate_segment());
  const SegmentEntry entry{id, rows.size(), tokens, std::nullopt};
  const std::size_t dim = dimension();
  auto fill = [&](std::span<NpyWriter> arrays) -> Result<void> {
    // Array by array, so each new file is written sequentially; values are
    // copied as stored (int8 codes and scales are not re-encoded).
    const std::vector<ArraySpec> specs = Encoding::arrays(encoding_, dim);
    for (std::size_t a = 0; a < arrays.size(); ++a) {
      const std::size_t row_items = specs[a].second_axis ? dim : 1;
      for (const CopiedRow& copied : rows) {
        const SegmentData& data = *segments_[copied.segment].data;
        const NpyArray& source = data.arrays()[a];
        const std::uint64_t first = data.offsets()[copied.row], last = data.offsets()[copied.row + 1];
        switch (specs[a].dtype) {
          case Dtype::Float32: QM_TRY(copy_rows<float>(arrays[a], source, row_items, first, last)); break;
          case Dtype::Int8: QM_TRY(copy_rows<std::int8_t>(arrays[a], source, row_items, first, last)); break;
          case Dtype::Uint64: invariant_failed("segment vector arrays are float32 or int8");
        }
      }
    }
    return {};
  };
  std::shared_ptr<const SegmentData> data = QM_TRY(stage(entry, ids, lengths, fill, sources));
  return LiveSegment{entry, std::move(data), std::make_shared<const Tombstones>()};
}

Result<void> VectorStoreWriter::compact() {
  if (segments_.empty() || (segments_.size() == 1 && segments_[0].tombstones->empty())) return {};
  std::vector<std::size_t> all(segments_.size());
  for (std::size_t s = 0; s < all.size(); ++s) all[s] = s;
  // Each present document once, at its current occurrence.
  const std::vector<CopiedRow> rows = present_rows(all);
  if (rows.empty()) {
    segments_.clear();
    changed_segments_.clear();
    return {};
  }
  LiveSegment compacted = QM_TRY(stage_copy(rows));
  // Everything that allocates comes before the old segments go; the
  // push_back then reuses their capacity.
  segments_.clear();
  segments_.push_back(std::move(compacted));
  changed_segments_.clear();
  return {};
}

}  // namespace quillmark
