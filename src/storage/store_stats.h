#pragma once
// What one view of a store holds and what it costs on disk, computed from
// the view alone: its manifest, its ID tables and tombstone lists, and the
// sizes fstat reported when its files were opened. No vector is read and
// no file is opened.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/time_value.h"
#include "storage/format/manifest.h"
#include "storage/store.h"

namespace quillmark {

// The files of one kind in a view, and their bytes.
struct FileKindUsage {
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
};

// Invariants:
//  1. live_documents + superseded_documents == the sum of the segments'
//     rows; live_tokens <= stored_tokens.
//  2. on_disk lists, in this order, the array kinds of the encoding
//     ("vectors", or "codes" then "scales"), then "offsets", "ids",
//     "tombstones", "sources" and "manifest", each once.
struct StoreStats {
  std::uint64_t segments = 0;
  std::uint64_t live_documents = 0;        // present: found by locate()
  std::uint64_t superseded_documents = 0;  // rows deleted, or replaced by a newer segment's row
  std::uint64_t live_tokens = 0;           // tokens of the present documents
  std::uint64_t stored_tokens = 0;         // tokens of every row
  Encoding encoding = Encoding::Float32;
  std::uint64_t dimension = 0;
  std::uint64_t commit = 0;
  TimeValue committed_at{};
  std::vector<std::pair<std::string, FileKindUsage>> on_disk;
  // Files of this view that compacting it and committing would remove: every
  // segment file it holds, when compaction would do anything at all (more
  // than one segment, or one with deleted rows); else none.
  std::uint64_t compaction_removes = 0;
};

// The statistics of `view`. Cost: one ID lookup in the newer segments per
// row of a segment that has newer ones (rows of the newest segment cost
// nothing but their tombstone check); the manifest's size is that of the
// text the writer writes for it (Manifest::to_json), which is what a
// manifest of this store holds. Never fails.
StoreStats store_stats(const StoreView& view);

}  // namespace quillmark
