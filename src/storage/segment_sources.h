#pragma once
// Where the rows of a copied segment came from.
//
// compact() and merge() copy present rows, byte for byte, into a new segment
// and write beside its other files segment-ID.sources.npy: uint64
// [documents, 3], row r = (source segment ID, source row, source
// fingerprint), the fingerprint being SegmentData::fingerprint() of the
// segment row r was copied from. A segment made by append has no such file.
// A reader that needs nothing but vectors never opens it; a cache kept
// outside the store uses it to carry the per-document data it derived from
// the source row over to the copy instead of reading the vectors again,
// which is exact because the values are the same bytes.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"
#include "storage/format/manifest.h"
#include "storage/io/directory.h"
#include "storage/io/file_system.h"

namespace quillmark {

struct SegmentSource {
  std::uint64_t segment = 0;
  std::uint64_t row = 0;
  std::uint64_t fingerprint = 0;

  friend bool operator==(const SegmentSource&, const SegmentSource&) = default;
};

// Writes the sources file of segment `segment_id` into `directory` through
// `file_system`, complete and flushed (NpyWriter::finish). Returns the
// .npy writer's first error; an incomplete file may then remain.
Result<void> write_segment_sources(FileSystem& file_system, const Directory& directory, std::uint64_t segment_id,
                                   std::span<const SegmentSource> sources);

// Reads the sources file of `entry` from `directory`, not through a link.
// Returns nothing when the file does not exist; Storage "PATH: the sources
// of segment ID must be a uint64 [documents, 3] array" when its dtype, shape
// or alignment is wrong, Storage "PATH: source segment S of row R is not
// below segment ID" for a source that cannot be older; else the error of
// opening it.
Result<std::optional<std::vector<SegmentSource>>> load_segment_sources(const Directory& directory,
                                                                       const SegmentEntry& entry);

}  // namespace quillmark
