#include "storage/segment_sources.h"

#include <array>

#include "storage/format/npy.h"

namespace quillmark {

Result<void> write_segment_sources(FileSystem& file_system, const Directory& directory, std::uint64_t segment_id,
                                   std::span<const SegmentSource> sources) {
  const std::uint64_t shape[] = {sources.size(), 3};
  NpyWriter writer =
      QM_TRY(NpyWriter::create(directory, sources_file_name(segment_id), Dtype::Uint64, shape, file_system));
  for (const SegmentSource& source : sources) {
    const std::array<std::uint64_t, 3> row{source.segment, source.row, source.fingerprint};
    QM_TRY(writer.write(std::span<const std::uint64_t>(row)));
  }
  return std::move(writer).finish();
}

Result<std::optional<std::vector<SegmentSource>>> load_segment_sources(const Directory& directory,
                                                                       const SegmentEntry& entry) {
  const std::string name = sources_file_name(entry.id);
  auto opened = NpyArray::open(directory, name);
  if (!opened) {
    const IoError* io = opened.error().io();
    if (io != nullptr && io->kind() == IoErrorKind::NotFound) return std::nullopt;
    return std::unexpected(std::move(opened).error());
  }
  const std::string path = directory.file(name).string();
  auto values = opened->values<std::uint64_t>();
  const std::vector<std::uint64_t> shape{entry.documents, 3};
  if (!values || opened->shape() != shape)
    return std::unexpected(Error::storage(path + ": the sources of segment " + std::to_string(entry.id) +
                                          " must be a uint64 [documents, 3] array"));
  std::vector<SegmentSource> sources;
  sources.reserve(entry.documents);
  for (std::uint64_t r = 0; r < entry.documents; ++r) {
    const SegmentSource source{(*values)[3 * r], (*values)[3 * r + 1], (*values)[3 * r + 2]};
    if (source.segment >= entry.id)
      return std::unexpected(Error::storage(path + ": source segment " + std::to_string(source.segment) + " of row " +
                                            std::to_string(r) + " is not below segment " + std::to_string(entry.id)));
    sources.push_back(source);
  }
  return sources;
}

}  // namespace quillmark
