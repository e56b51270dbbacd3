// Removal of what the manifest in force no longer needs.

#include <unordered_set>

#include "publication.h"
#include "utf8.h"
#include "writer.h"

namespace quillmark {

namespace {

// The file names (within the store directory) `manifest` references.
std::unordered_set<std::string> referenced_names(const Manifest& manifest) {
  std::unordered_set<std::string> names{std::string(kManifestFileName)};
  const Encoding encoding = manifest.encoding == "int8" ? Encoding::Int8 : Encoding::Float32;
  const std::vector<ArraySpec> arrays = Encoding::arrays(encoding, manifest.representation.dimension());
  for (const SegmentEntry& entry : manifest.segments) {
    for (const ArraySpec& array : arrays) names.insert(segment_file_name(entry.id, std::string(array.name) + ".npy"));
    names.insert(segment_file_name(entry.id, "offsets.npy"));
    names.insert(segment_file_name(entry.id, "ids.json"));
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
