#include "storage/format/segment_data.h"

#include "storage/format/json_reader.h"
#include "storage/io/file_descriptor.h"

namespace quillmark {

namespace {

Error storage(std::string message) { return Error::storage(std::move(message)); }

// The values of an array that must be one-dimensional uint64 with aligned
// data, or nothing.
std::optional<std::span<const std::uint64_t>> u64_vector(const NpyArray& array) {
  if (array.dtype() != Dtype::Uint64 || array.shape().size() != 1) return std::nullopt;
  auto values = array.values<std::uint64_t>();
  if (!values) return std::nullopt;
  return *values;
}

// FNV-1a over the bytes of `value`, continuing from `hash`.
template <class T>
std::uint64_t mix(std::uint64_t hash, const T& value) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&value);
  for (std::size_t i = 0; i < sizeof(T); ++i) hash = (hash ^ bytes[i]) * 0x100000001b3ULL;
  return hash;
}

std::uint64_t fingerprint_of(const std::vector<std::pair<std::string, FileIdentity>>& files) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (const auto& [name, identity] : files) {
    for (unsigned char c : name) hash = (hash ^ c) * 0x100000001b3ULL;
    hash = mix(hash, identity.device);
    hash = mix(hash, identity.inode);
    hash = mix(hash, identity.size);
    hash = mix(hash, identity.modified_ns);
  }
  return hash;
}

bool strictly_ascending(std::span<const std::uint64_t> v) {
  for (std::size_t i = 1; i < v.size(); ++i)
    if (v[i] <= v[i - 1]) return false;
  return true;
}

// Whether `array` has the dtype, the shape and aligned values of `spec`.
bool matches(const NpyArray& array, const ArraySpec& spec, std::uint64_t tokens) {
  if (array.dtype() != spec.dtype || array.shape() != spec.shape(tokens)) return false;
  switch (spec.dtype) {
    case Dtype::Float32: return array.values<float>().has_value();
    case Dtype::Int8: return array.values<std::int8_t>().has_value();
    case Dtype::Uint64: return array.values<std::uint64_t>().has_value();
  }
  return false;
}

// Appends `text` to `out` as a JSON string: quotes, backslashes and control
// characters escaped, everything else (UTF-8 included) as it is.
void append_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += "\\u00";
          out += kHex[static_cast<unsigned char>(c) >> 4];
          out += kHex[c & 0xf];
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

}  // namespace

std::string ids_file_text(std::span<const SharedText> ids) {
  std::string text = "[";
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (i > 0) text += ',';
    append_json_string(text, ids[i].view());
  }
  text += ']';
  return text;
}

Result<std::shared_ptr<const SegmentData>> SegmentData::load(const std::filesystem::path& path,
                                                             const SegmentEntry& entry, Encoding encoding,
                                                             std::uint64_t dimension) {
  const Directory directory = QM_TRY(Directory::open(path));
  return load(directory, entry, encoding, dimension);
}

Result<std::shared_ptr<const SegmentData>> SegmentData::load(const Directory& directory, const SegmentEntry& entry,
                                                             Encoding encoding, std::uint64_t dimension) {
  const std::string segment = std::to_string(entry.id);
  std::shared_ptr<SegmentData> data(new SegmentData());

  // 1. The ids file.
  const std::string ids_name = segment_file_name(entry.id, "ids.json");
  FileDescriptor ids_file = QM_TRY(directory.open_file(ids_name));
  data->files_.emplace_back(ids_name, QM_TRY(identity_of(ids_file)));
  const std::uint64_t ids_length = QM_TRY(ids_file.regular_file_length(directory.file(ids_name)));
  const std::string text = QM_TRY(ids_file.read_at_most(ids_length));
  ids_file = FileDescriptor();
  auto ids = parse_json_string_array(text);
  if (!ids) return std::unexpected(storage(directory.file(ids_name).string() + ": " + ids.error()));

  // 2. Rows by ID.
  data->ids_.reserve(ids->size());
  for (auto& id : *ids) data->ids_.emplace_back(std::move(id));
  auto index = IdIndex::build(data->ids_);
  if (!index)
    return std::unexpected(storage("document ID " + debug_form(data->ids_[index.error()].view()) +
                                   " appears more than once in segment " + segment));
  data->index_ = std::move(*index);

  // 3. The count.
  if (data->ids_.size() != entry.documents)
    return std::unexpected(storage("segment " + segment + " holds " + std::to_string(data->ids_.size()) +
                                   " documents, but the manifest says " + std::to_string(entry.documents)));

  // 4. The offsets, copied: checked once, they must not change afterwards.
  const std::string offsets_name = segment_file_name(entry.id, "offsets.npy");
  const NpyArray offsets = QM_TRY(NpyArray::open(directory, offsets_name));
  data->files_.emplace_back(offsets_name, offsets.identity());
  auto values = u64_vector(offsets);
  if (values) data->offsets_.assign(values->begin(), values->end());
  const std::vector<std::uint64_t>& copied = data->offsets_;
  if (!values || copied.empty() || copied.size() - 1 != entry.documents || copied.front() != 0 ||
      !strictly_ascending(copied) || copied.back() != entry.tokens)
    return std::unexpected(storage("the offsets of segment " + segment + " are invalid"));

  // 5. The arrays of the encoding.
  for (const ArraySpec& spec : Encoding::arrays(encoding, dimension)) {
    const std::string name = segment_file_name(entry.id, std::string(spec.name) + ".npy");
    NpyArray array = QM_TRY(NpyArray::open(directory, name));
    if (!matches(array, spec, entry.tokens))
      return std::unexpected(storage("array '" + std::string(spec.name) + "' of segment " + segment +
                                     " has the wrong shape or dtype"));
    data->files_.emplace_back(name, array.identity());
    data->arrays_.push_back(std::move(array));
  }
  data->fingerprint_ = fingerprint_of(data->files_);
  // Not part of the fingerprint: a hint beside the segment, not its data.
  if (auto sources = directory.identity(sources_file_name(entry.id))) data->sources_file_ = *sources;
  return std::shared_ptr<const SegmentData>(std::move(data));
}

bool SegmentData::same_files(const Directory& directory) const {
  for (const auto& [name, identity] : files_) {
    auto now = directory.identity(name);
    if (now && *now != identity) return false;
  }
  return true;
}

Result<std::shared_ptr<const std::vector<std::uint64_t>>> load_tombstones(const Directory& directory,
                                                                           const SegmentEntry& entry) {
  QM_INVARIANT(entry.tombstones.has_value(), "tombstones are loaded only for entries that name a file");
  NpyArray array = QM_TRY(NpyArray::open(directory, tombstones_file_name(entry.id, *entry.tombstones)));
  auto rows = u64_vector(array);
  if (!rows || !strictly_ascending(*rows) || (!rows->empty() && rows->back() >= entry.documents))
    return std::unexpected(
        storage("the tombstones of segment " + std::to_string(entry.id) + " must be ascending rows inside it"));
  return std::make_shared<const std::vector<std::uint64_t>>(rows->begin(), rows->end());
}

Result<std::shared_ptr<const std::vector<std::uint64_t>>> load_tombstones(const std::filesystem::path& path,
                                                                           const SegmentEntry& entry) {
  const Directory directory = QM_TRY(Directory::open(path));
  return load_tombstones(directory, entry);
}

Result<void> write_tombstones(FileSystem& file_system, const Directory& directory, std::uint64_t segment,
                              std::uint64_t commit, std::span<const std::uint64_t> rows) {
  const std::uint64_t shape[] = {rows.size()};
  NpyWriter writer =
      QM_TRY(NpyWriter::create(directory, tombstones_file_name(segment, commit), Dtype::Uint64, shape, file_system));
  QM_TRY(writer.write(rows));
  return std::move(writer).finish();
}

}  // namespace quillmark
