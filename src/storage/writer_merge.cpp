// Tiered merging: the segments of one size level replaced by one segment,
// so that the segment count stays logarithmic in the documents.

#include <algorithm>
#include <map>

#include "storage/writer.h"

namespace quillmark {

namespace {

// floor(log_kMergeFactor(max(size, 1))).
unsigned level_of(std::uint64_t size) {
  unsigned level = 0;
  for (; size >= kMergeFactor; size /= kMergeFactor) ++level;
  return level;
}

}  // namespace

Result<std::uint64_t> VectorStoreWriter::merge() {
  QM_TRY(check_owner());
  std::uint64_t replaced = 0;
  // Every round replaces at least kMergeFactor segments by at most one, so
  // the loop ends.
  for (;;) {
    std::map<unsigned, std::vector<std::size_t>> levels;  // level -> ascending indices into segments_
    for (std::size_t s = 0; s < segments_.size(); ++s) {
      const LiveSegment& segment = segments_[s];
      levels[level_of(segment.entry.documents - segment.tombstones->size())].push_back(s);
    }
    const auto full = std::find_if(levels.begin(), levels.end(),
                                   [](const auto& level) { return level.second.size() >= kMergeFactor; });
    if (full == levels.end()) return replaced;
    QM_TRY(merge_segments(full->second));
    replaced += full->second.size();
  }
}

Result<void> VectorStoreWriter::merge_segments(std::span<const std::size_t> chosen) {
  std::vector<bool> merged(segments_.size(), false);
  for (std::size_t s : chosen) merged[s] = true;

  // A deleted row that holds the deciding (newest) occurrence of its id
  // hides every older occurrence. Dropped with its segment, it would let
  // the newest older one outside the merge decide again, so those are
  // marked deleted. Older occurrences inside the merge go with it.
  std::map<std::size_t, std::vector<std::uint64_t>> hidden;  // index into segments_ -> rows
  for (std::size_t s : chosen) {
    const LiveSegment& segment = segments_[s];
    for (std::uint64_t row : *segment.tombstones) {
      const std::string_view id = segment.data->ids()[row].view();
      bool deciding = true;
      for (std::size_t j = s + 1; j < segments_.size() && deciding; ++j)
        deciding = !segments_[j].data->row(id).has_value();
      if (!deciding) continue;
      for (std::size_t j = 0; j < s; ++j) {
        if (merged[j]) continue;
        auto older = segments_[j].data->row(id);
        if (older && !segments_[j].deleted(*older)) hidden[j].push_back(*older);
      }
    }
  }

  // Rows whose current occurrence lies outside the merge are not copied:
  // the merged segment becomes the newest, and must not hide them.
  const std::vector<CopiedRow> rows = present_rows(chosen);
  std::optional<LiveSegment> copy;
  if (!rows.empty()) copy.emplace(QM_TRY(stage_copy(rows)));

  // The new state is built whole before it replaces the old, so that an
  // allocation failure leaves the writer as it was (the new segment's
  // files, linked and unreferenced, go at the next clean-up).
  std::vector<LiveSegment> next;
  next.reserve(segments_.size() - chosen.size() + 1);
  std::set<std::uint64_t> changed = changed_segments_;
  std::unordered_set<std::uint64_t> own = own_tombstones_;
  std::vector<std::string> unpublished;  // files of replaced segments no commit named
  for (std::size_t s = 0; s < segments_.size(); ++s) {
    const std::uint64_t id = segments_[s].entry.id;
    if (merged[s]) {
      changed.erase(id);
      own.erase(id);
      if (id >= manifest_.next_segment_id)
        for (std::string& name : segment_file_names(encoding_, id)) unpublished.push_back(std::move(name));
      continue;
    }
    LiveSegment segment = segments_[s];
    if (auto it = hidden.find(s); it != hidden.end()) {
      auto marked = std::make_shared<Tombstones>(*segment.tombstones);
      for (std::uint64_t row : it->second) marked->insert(std::lower_bound(marked->begin(), marked->end(), row), row);
      segment.tombstones = std::move(marked);
      changed.insert(id);
      own.insert(id);
    }
    next.push_back(std::move(segment));
  }
  if (copy) next.push_back(std::move(*copy));
  segments_.swap(next);
  changed_segments_.swap(changed);
  own_tombstones_.swap(own);
  // Only this writer ever knew these files; a failure leaves them to the
  // next clean-up.
  for (const std::string& name : unpublished) (void)file_system_->remove_file(store_, name);
  return {};
}

}  // namespace quillmark
