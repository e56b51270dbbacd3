// Appending documents: the streaming of vectors into a new segment in
// bounded chunks, after append_check.h's checks.

#include <algorithm>

#include "runtime/thread_pool.h"
#include "runtime/threads.h"
#include "storage/append_check.h"
#include "storage/format/int8.h"
#include "storage/writer.h"

namespace quillmark {

Result<void> VectorStoreWriter::append(std::span<const SharedText> ids, std::span<const float> values,
                                       std::size_t columns, std::span<const std::uint64_t> lengths,
                                       std::optional<std::size_t> threads) {
  if (values.empty() && ids.empty() && lengths.empty()) return {};
  QM_TRY(check_append(manifest_.representation, ids, values, columns, lengths));
  const std::size_t dim = dimension();
  const std::uint64_t rows = values.size() / dim;
  const std::uint64_t id = QM_TRY(allocate_segment());
  const SegmentEntry entry{id, ids.size(), rows, std::nullopt};
  // Float32 rows go straight from the caller's buffer (runs this large
  // bypass the .npy writer's buffer); int8 encoding runs on the pool that
  // `threads` selects.
  const Encoding encoding = encoding_;
  const ArrayFiller fill = [&](std::span<NpyWriter> arrays) -> Result<void> {
    if (encoding == Encoding::Float32) return write_encoded_rows(arrays, encoding, dim, values);
    return install(threads, [&]() -> Result<void> { return write_encoded_rows(arrays, encoding, dim, values); });
  };
  std::shared_ptr<const SegmentData> data = QM_TRY(stage(entry, ids, lengths, fill));
  segments_.push_back(LiveSegment{entry, std::move(data), std::make_shared<const Tombstones>()});
  return {};
}

Result<void> write_encoded_rows(std::span<NpyWriter> arrays, Encoding encoding, std::size_t dimension,
                                std::span<const float> values) {
  if (encoding == Encoding::Float32) {
    const std::size_t chunk_values = kAppendChunkRows * dimension;
    for (std::size_t at = 0; at < values.size(); at += chunk_values)
      QM_TRY(arrays[0].write(values.subspan(at, std::min(chunk_values, values.size() - at))));
    return {};
  }
  const std::uint64_t rows = values.size() / dimension;
  const std::size_t chunk_rows = std::min<std::uint64_t>(kAppendChunkRows, rows);
  std::vector<std::int8_t> codes(chunk_rows * dimension);
  std::vector<float> scales(chunk_rows);
  for (std::uint64_t row = 0; row < rows; row += chunk_rows) {
    const std::size_t n = std::min<std::uint64_t>(chunk_rows, rows - row);
    const std::span<std::int8_t> chunk_codes(codes.data(), n * dimension);
    const std::span<float> chunk_scales(scales.data(), n);
    int8_encode(values.subspan(row * dimension, n * dimension), dimension, chunk_codes, chunk_scales);
    QM_TRY(arrays[0].write(std::span<const std::int8_t>(chunk_codes)));
    QM_TRY(arrays[1].write(std::span<const float>(chunk_scales)));
  }
  return {};
}

}  // namespace quillmark
