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
  const std::size_t chunk_values = kAppendChunkRows * dim;

  ArrayFiller fill;
  if (encoding_ == Encoding::Float32) {
    // Straight from the caller's buffer: runs this large bypass the .npy
    // writer's buffer.
    fill = [&](std::span<NpyWriter> arrays) -> Result<void> {
      for (std::size_t at = 0; at < values.size(); at += chunk_values)
        QM_TRY(arrays[0].write(values.subspan(at, std::min(chunk_values, values.size() - at))));
      return {};
    };
  } else {
    fill = [&](std::span<NpyWriter> arrays) -> Result<void> {
      return install(threads, [&]() -> Result<void> {
        const std::size_t chunk_rows = std::min<std::uint64_t>(kAppendChunkRows, rows);
        std::vector<std::int8_t> codes(chunk_rows * dim);
        std::vector<float> scales(chunk_rows);
        for (std::uint64_t row = 0; row < rows; row += chunk_rows) {
          const std::size_t n = std::min<std::uint64_t>(chunk_rows, rows - row);
          const std::span<std::int8_t> chunk_codes(codes.data(), n * dim);
          const std::span<float> chunk_scales(scales.data(), n);
          int8_encode(values.subspan(row * dim, n * dim), dim, chunk_codes, chunk_scales);
          QM_TRY(arrays[0].write(std::span<const std::int8_t>(chunk_codes)));
          QM_TRY(arrays[1].write(std::span<const float>(chunk_scales)));
        }
        return {};
      });
    };
  }
  std::shared_ptr<const SegmentData> data = QM_TRY(stage(entry, ids, lengths, fill));
  segments_.push_back(LiveSegment{entry, std::move(data), std::make_shared<const Tombstones>()});
  return {};
}

}  // namespace quillmark
