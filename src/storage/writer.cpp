#include "writer.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <sys/random.h>

#include "publication.h"

namespace quillmark {

VectorStoreWriter::VectorStoreWriter(std::filesystem::path path, FileSystem& file_system, DirectoryLock lock,
                                     Manifest manifest, std::vector<LiveSegment> segments, Encoding encoding)
    : path_(std::move(path)),
      file_system_(&file_system),
      lock_(std::move(lock)),
      manifest_(std::move(manifest)),
      segments_(std::move(segments)),
      next_segment_id_(manifest_.next_segment_id),
      encoding_(encoding) {}

Result<VectorStoreWriter> VectorStoreWriter::create(const std::filesystem::path& path, std::string corpus,
                                                    Representation representation, Encoding encoding,
                                                    FileSystem& file_system) {
  if (corpus.empty()) return std::unexpected(Error::invalid_input("a vector store's corpus must not be empty"));
  if (QM_TRY(file_system.exists(path)))
    return std::unexpected(
        IoError::with_message(IoErrorKind::AlreadyExists, "vector store already exists: " + path.string()));
  QM_TRY(file_system.create_directories(path));
  Manifest manifest{std::string(kManifestFormat),
                    QM_TRY(store_id()),
                    std::string(encoding.name()),
                    std::move(corpus),
                    std::move(representation),
                    0,
                    0,
                    now(),
                    {}};
  bool published = false;
  if (auto written = write_manifest(file_system, path, manifest, published); !written) {
    if (!published) (void)file_system.remove_all(path);
    return std::unexpected(written.error());
  }
  std::filesystem::path parent = path.parent_path();
  if (parent.empty()) parent = ".";
  QM_TRY(sync_directory(file_system, parent, FlushSite::NewStoreParent));
  return open(path, file_system);
}

Result<VectorStoreWriter> VectorStoreWriter::open(const std::filesystem::path& path, FileSystem& file_system) {
  // The lock comes first: a refused writer must not run the clean-up, which
  // would remove what the holder has staged.
  auto lock = file_system.lock_directory(path);
  if (!lock) {
    if (lock.error().io() != nullptr && lock.error().io()->kind() == IoErrorKind::WouldBlock)
      return std::unexpected(
          IoError::with_message(IoErrorKind::WouldBlock, "vector store is already open for writing: " + path.string()));
    return std::unexpected(lock.error());
  }
  Manifest manifest = QM_TRY(Manifest::read(path));
  std::vector<LiveSegment> segments = QM_TRY(load_segments(path, manifest, {}));
  // Durable before anything is removed: a leftover must not be removed
  // while the entries it depends on could still vanish in a power loss.
  QM_TRY(sync_directory(file_system, path, FlushSite::OpenedStore));
  remove_unreferenced(file_system, path, manifest);
  // Manifest::read accepted only these two texts.
  const Encoding encoding = manifest.encoding == "int8" ? Encoding::Int8 : Encoding::Float32;
  return VectorStoreWriter(path, file_system, std::move(*lock), std::move(manifest), std::move(segments), encoding);
}

Result<std::uint64_t> VectorStoreWriter::allocate_segment() {
  if (next_segment_id_ == UINT64_MAX) return std::unexpected(Error::storage("segment IDs exhausted"));
  return next_segment_id_++;
}

std::optional<Location> VectorStoreWriter::locate(std::string_view id) const {
  for (std::size_t i = segments_.size(); i-- > 0;) {
    const LiveSegment& segment = segments_[i];
    if (auto row = segment.data->row(id)) {
      if (segment.deleted(*row)) return std::nullopt;
      return Location{i, *row};
    }
  }
  return std::nullopt;
}

void VectorStoreWriter::mark_deleted(std::size_t index, std::uint64_t row) {
  LiveSegment& segment = segments_[index];
  const std::uint64_t id = segment.entry.id;
  // Marked changed first: should an allocation below fail, the commit
  // rewrites an unchanged list, whereas a row added to a segment not marked
  // changed would never be written and could not be deleted again.
  changed_segments_.insert(id);
  std::shared_ptr<Tombstones> rows;
  if (own_tombstones_.contains(id) && segment.tombstones.use_count() == 1) {
    // Made by this writer as a non-const object and held by no one else.
    rows = std::const_pointer_cast<Tombstones>(segment.tombstones);
  } else {
    rows = std::make_shared<Tombstones>(*segment.tombstones);
    segment.tombstones = rows;
    own_tombstones_.insert(id);
  }
  rows->insert(std::lower_bound(rows->begin(), rows->end(), row), row);
}

std::uint64_t VectorStoreWriter::delete_documents(std::span<const SharedText> ids) {
  std::uint64_t marked = 0;
  for (const SharedText& id : ids) {
    auto location = locate(id.view());
    if (!location) continue;
    mark_deleted(location->segment, location->row);
    ++marked;
  }
  return marked;
}

Result<std::string> store_id() {
  unsigned char bytes[16];
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    ssize_t n = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(Error::storage("OS Error: " + std::to_string(errno)));
    }
    filled += static_cast<std::size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned char b : bytes) {
    text += kHex[b >> 4];
    text += kHex[b & 0xf];
  }
  return text;
}

double now() {
  timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  if (ts.tv_sec < 0) return 0.0;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace quillmark
