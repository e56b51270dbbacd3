// Commit: publishing everything staged as one new manifest.

#include <optional>

#include "storage/publication.h"
#include "storage/writer.h"

namespace quillmark {

Result<TimeValue> VectorStoreWriter::commit() {
  FileSystem& file_system = *file_system_;
  return commit_with([&file_system](const Directory& store, const Manifest& manifest, bool& published) {
    return write_manifest(file_system, store, manifest, published);
  });
}

Result<TimeValue> VectorStoreWriter::commit_with(const ManifestWriter& write) {
  QM_TRY(check_owner());
  if (manifest_.commit == UINT64_MAX) return std::unexpected(Error::storage("commit numbers exhausted"));
  if (merge_at_commit_) QM_TRY(merge());
  Manifest next = manifest_;
  next.commit = manifest_.commit + 1;
  next.next_segment_id = next_segment_id_;
  next.committed_at = next_commit_time(manifest_.committed_at, now());
  next.segments.clear();
  next.segments.reserve(segments_.size());
  for (const LiveSegment& segment : segments_) next.segments.push_back(segment.entry);
  // The changed segments' tombstone files, published before the manifest
  // names them. With none there is nothing to stage: the files of staged
  // segments were made durable when they were staged.
  std::optional<ImmutableFiles> files;
  if (!changed_segments_.empty()) {
    files.emplace(QM_TRY(ImmutableFiles::create(*file_system_, store_)));
    for (std::size_t i = 0; i < segments_.size(); ++i) {
      SegmentEntry& entry = next.segments[i];
      if (!changed_segments_.contains(entry.id)) continue;
      // The segment's whole tombstone list, under the new commit's number.
      QM_TRY(write_tombstones(*file_system_, files->staging_directory(), entry.id, next.commit,
                              *segments_[i].tombstones));
      entry.tombstones = next.commit;
    }
    QM_TRY(files->install());
  }
  bool published = false;
  Result<void> written = write(store_, next, published);
  if (!published) {
    QM_INVARIANT(!written, "a manifest writer that succeeded has published");
    // Nothing became visible; everything stays staged and `files` removes
    // the tombstone files it linked.
    return std::unexpected(written.error());
  }
  if (files) files->retain();
  for (std::size_t i = 0; i < segments_.size(); ++i) segments_[i].entry = next.segments[i];
  changed_segments_.clear();
  manifest_ = std::move(next);
  if (!written) return std::unexpected(written.error());
  remove_unreferenced(*file_system_, store_, manifest_);
  return manifest_.committed_at_time();
}

}  // namespace quillmark
