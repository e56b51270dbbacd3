#include "storage/store_stats.h"

namespace quillmark {

StoreStats store_stats(const StoreView& view) {
  StoreStats stats;
  stats.segments = view.segments().size();
  stats.encoding = view.encoding();
  stats.dimension = view.representation().dimension();
  stats.commit = view.commit();
  stats.committed_at = view.as_of();

  const std::vector<ArraySpec> arrays = Encoding::arrays(view.encoding(), stats.dimension);
  for (const ArraySpec& spec : arrays) stats.on_disk.emplace_back(std::string(spec.name), FileKindUsage{});
  for (const char* kind : {"offsets", "ids", "tombstones", "sources", "manifest"})
    stats.on_disk.emplace_back(kind, FileKindUsage{});
  auto usage = [&](std::string_view kind) -> FileKindUsage& {
    for (auto& [name, counted] : stats.on_disk)
      if (name == kind) return counted;
    QM_INVARIANT(false, "a file kind missing from the statistics");
  };
  auto count = [](FileKindUsage& into, std::uint64_t bytes) {
    ++into.files;
    into.bytes += bytes;
  };

  std::uint64_t segment_files = 0;
  bool deletions = false;
  for (std::size_t index = 0; index < view.segments().size(); ++index) {
    const LiveSegment& segment = view.segments()[index];
    const SegmentData& data = *segment.data;
    stats.stored_tokens += segment.entry.tokens;
    const std::span<const std::uint64_t> offsets = data.offsets();
    for (std::uint64_t row = 0; row < segment.entry.documents; ++row) {
      if (view.shows(index, row)) {
        ++stats.live_documents;
        stats.live_tokens += offsets[row + 1] - offsets[row];
      } else {
        ++stats.superseded_documents;
      }
    }
    // files(): ids, offsets, then the arrays in Encoding::arrays order.
    const auto& files = data.files();
    count(usage("ids"), files[0].second.size);
    count(usage("offsets"), files[1].second.size);
    for (std::size_t a = 0; a < arrays.size(); ++a) count(usage(arrays[a].name), files[2 + a].second.size);
    segment_files += files.size();
    if (data.sources_file()) {
      count(usage("sources"), data.sources_file()->size);
      ++segment_files;
    }
    if (segment.entry.tombstones) {
      count(usage("tombstones"), segment.tombstones_file.size);
      ++segment_files;
      deletions = deletions || !segment.tombstones->empty();
    }
  }
  count(usage("manifest"), view.manifest().to_json().size());
  const bool compaction_acts = stats.segments > 1 || (stats.segments == 1 && deletions);
  stats.compaction_removes = compaction_acts ? segment_files : 0;
  return stats;
}

}  // namespace quillmark
