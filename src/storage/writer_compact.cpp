// Compaction: the present documents, copied byte for byte into one new
// segment that replaces all others.

#include "writer.h"

namespace quillmark {

namespace {

// A present document: its segment (index into the writer's segments) and row.
struct Kept {
  std::size_t segment;
  std::uint64_t row;
};

// Appends rows [first, last) of `source` (row_items values a row) to `out`.
template <class T>
Result<void> copy_rows(NpyWriter& out, const NpyArray& source, std::size_t row_items, std::uint64_t first,
                       std::uint64_t last) {
  std::span<const T> values = QM_TRY(source.values<T>());
  return out.write(values.subspan(first * row_items, (last - first) * row_items));
}

}  // namespace

Result<void> VectorStoreWriter::compact() {
  if (segments_.empty() || (segments_.size() == 1 && segments_[0].tombstones->empty())) return {};
  // Each present document once, at its current occurrence, oldest segment
  // first and in row order within a segment.
  std::vector<Kept> kept;
  std::vector<SharedText> ids;
  std::vector<std::uint64_t> lengths;
  std::uint64_t tokens = 0;
  for (std::size_t s = 0; s < segments_.size(); ++s) {
    const SegmentData& data = *segments_[s].data;
    for (std::uint64_t row = 0; row < data.ids().size(); ++row) {
      auto location = locate(data.ids()[row].view());
      if (!location || location->segment != s || location->row != row) continue;
      kept.push_back({s, row});
      ids.push_back(data.ids()[row]);
      const std::uint64_t length = data.offsets()[row + 1] - data.offsets()[row];
      lengths.push_back(length);
      tokens += length;
    }
  }
  if (kept.empty()) {
    segments_.clear();
    changed_segments_.clear();
    return {};
  }
  const std::uint64_t id = QM_TRY(allocate_segment());
  const SegmentEntry entry{id, kept.size(), tokens, std::nullopt};
  const std::size_t dim = dimension();
  auto fill = [&](std::span<NpyWriter> arrays) -> Result<void> {
    // Array by array, so each new file is written sequentially; values are
    // copied as stored (int8 codes and scales are not re-encoded).
    const std::vector<ArraySpec> specs = Encoding::arrays(encoding_, dim);
    for (std::size_t a = 0; a < arrays.size(); ++a) {
      const std::size_t row_items = specs[a].second_axis ? dim : 1;
      for (const Kept& k : kept) {
        const SegmentData& data = *segments_[k.segment].data;
        const NpyArray& source = data.arrays()[a];
        const std::uint64_t first = data.offsets()[k.row], last = data.offsets()[k.row + 1];
        switch (specs[a].dtype) {
          case Dtype::Float32: QM_TRY(copy_rows<float>(arrays[a], source, row_items, first, last)); break;
          case Dtype::Int8: QM_TRY(copy_rows<std::int8_t>(arrays[a], source, row_items, first, last)); break;
          case Dtype::Uint64: invariant_failed("segment vector arrays are float32 or int8");
        }
      }
    }
    return {};
  };
  std::shared_ptr<const SegmentData> data = QM_TRY(stage(entry, ids, lengths, fill));
  // Everything that allocates comes before the old segments go; the
  // push_back then reuses their capacity.
  LiveSegment compacted{entry, std::move(data), std::make_shared<const Tombstones>()};
  segments_.clear();
  segments_.push_back(std::move(compacted));
  changed_segments_.clear();
  return {};
}

}  // namespace quillmark
