// Removal of what the manifest in force no longer needs.

#include <unordered_set>

#include "base/utf8.h"
#include "storage/publication.h"
#include "storage/writer.h"

namespace quillmark {

namespace {

// The file names (within the store directory) `manifest` references.
std::unordered_set<std::string> referenced_names(const Manifest& manifest) {
  std::unordered_set<std::string> names{std::string(kManifestFileName)};
  const Encoding encoding = manifest.encoding == "int8" ? Encoding::Int8 : Encoding::Float32;
  for (const SegmentEntry& entry : manifest.segments) {
    // The sources file among them: kept while its segment is referenced,
    // removed with it.
    for (std::string& name : segment_file_names(encoding, entry.id)) names.insert(std::move(name));
    if (entry.tombstones) names.insert(tombstones_file_name(entry.id, *entry.tombstones));
  }
  return names;
}

}  // namespace

void remove_unreferenced(FileSystem& file_system, const Directory& store, const Manifest& manifest) {
  const std::unordered_set<std::string> referenced = referenced_names(manifest);
  auto entries = file_system.list(store);
  if (!entries) return;
  for (const DirectoryEntry& entry : *entries) {
    if (!is_valid_utf8(entry.name)) continue;
    const std::string_view name = entry.name;
    if (name.starts_with(kStagingPrefix)) {
      if (entry.is_directory) (void)file_system.remove_all(store, entry.name);
      continue;
    }
    if ((name.starts_with("segment-") || name.starts_with(kTemporaryManifestPrefix)) && !referenced.contains(entry.name))
      (void)file_system.remove_file(store, entry.name);
  }
}

}  // namespace quillmark
