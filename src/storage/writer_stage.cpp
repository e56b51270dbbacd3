// Staging one new segment: the shared machinery of append and compaction.

#include <array>

#include "storage/publication.h"
#include "storage/writer.h"

namespace quillmark {

namespace {

Result<void> write_offsets(NpyWriter& writer, std::span<const std::uint64_t> lengths) {
  std::array<std::uint64_t, 4096> block;
  std::size_t used = 0;
  std::uint64_t total = 0;
  block[used++] = 0;
  for (std::uint64_t length : lengths) {
    if (used == block.size()) {
      QM_TRY(writer.write(std::span<const std::uint64_t>(block.data(), used)));
      used = 0;
    }
    total += length;
    block[used++] = total;
  }
  return writer.write(std::span<const std::uint64_t>(block.data(), used));
}

Result<void> write_ids(FileSystem& file_system, const Directory& directory, const std::string& name,
                       std::span<const SharedText> ids) {
  const std::string text = ids_file_text(ids);
  FileDescriptor file = QM_TRY(file_system.create_exclusive(directory, name));
  QM_TRY(file_system.write(file, std::as_bytes(std::span(text.data(), text.size()))));
  QM_TRY(file_system.sync(file, FlushSite::IdsFile));
  return file_system.close(file);
}

}  // namespace

Result<std::shared_ptr<const SegmentData>> stage_segment(FileSystem& file_system, const Directory& store,
                                                         const SegmentEntry& entry, Encoding encoding,
                                                         std::uint64_t dimension, std::span<const SharedText> ids,
                                                         std::span<const std::uint64_t> lengths,
                                                         const VectorStoreWriter::ArrayFiller& fill,
                                                         std::span<const SegmentSource> sources) {
  QM_INVARIANT(ids.size() == entry.documents && lengths.size() == entry.documents,
               "a staged segment has one id and one length per document");
  QM_INVARIANT(sources.empty() || sources.size() == entry.documents, "a copied segment has one source per document");
  const std::vector<ArraySpec> specs = Encoding::arrays(encoding, dimension);
  // Destroying `files` on any early return removes what it linked into the
  // store and the staging directory.
  ImmutableFiles files = QM_TRY(ImmutableFiles::create(file_system, store));
  const Directory& staging = files.staging_directory();
  std::vector<NpyWriter> arrays;
  arrays.reserve(specs.size());
  for (const ArraySpec& spec : specs) {
    std::string name(spec.name);
    name += ".npy";
    const std::vector<std::uint64_t> shape = spec.shape(entry.tokens);
    arrays.push_back(
        QM_TRY(NpyWriter::create(staging, segment_file_name(entry.id, name), spec.dtype, shape, file_system)));
  }
  QM_TRY(fill(arrays));
  {
    const std::uint64_t shape[] = {entry.documents + 1};
    NpyWriter offsets = QM_TRY(
        NpyWriter::create(staging, segment_file_name(entry.id, "offsets.npy"), Dtype::Uint64, shape, file_system));
    QM_TRY(write_offsets(offsets, lengths));
    QM_TRY(std::move(offsets).finish());
  }
  QM_TRY(write_ids(file_system, staging, segment_file_name(entry.id, "ids.json"), ids));
  if (!sources.empty()) QM_TRY(write_segment_sources(file_system, staging, entry.id, sources));
  for (NpyWriter& array : arrays) QM_TRY(std::move(array).finish());
  // The new segment passes exactly the validation a reader applies before
  // any name of it appears in the store.
  std::shared_ptr<const SegmentData> data = QM_TRY(SegmentData::load(staging, entry, encoding, dimension));
  if (!sources.empty()) QM_TRY(load_segment_sources(staging, entry));
  QM_TRY(files.install());
  files.retain();
  return data;
}

Result<std::shared_ptr<const SegmentData>> VectorStoreWriter::stage(const SegmentEntry& entry,
                                                                    std::span<const SharedText> ids,
                                                                    std::span<const std::uint64_t> lengths,
                                                                    const ArrayFiller& fill,
                                                                    std::span<const SegmentSource> sources) {
  QM_TRY(check_owner());
  return stage_segment(*file_system_, store_, entry, encoding_, dimension(), ids, lengths, fill, sources);
}

}  // namespace quillmark
