#include "storage/writer.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <limits>
#include <sys/random.h>
#include <unistd.h>

#include "storage/publication.h"

namespace quillmark {

namespace {

bool is_error_kind(const Error& error, IoErrorKind kind) {
  return error.io() != nullptr && error.io()->kind() == kind;
}

// `path` without trailing separators: "dir/store/" names the directory
// "store" in "dir", whose entry a new store's creation must flush.
std::filesystem::path without_trailing_separator(std::filesystem::path path) {
  while (path.has_relative_path() && !path.has_filename()) path = path.parent_path();
  return path;
}

}  // namespace

VectorStoreWriter::VectorStoreWriter(std::filesystem::path path, FileSystem& file_system, Directory store,
                                     Manifest manifest, std::vector<LiveSegment> segments, Encoding encoding)
    : path_(std::move(path)),
      file_system_(&file_system),
      store_(std::move(store)),
      fork_released_(store_.fd()),
      owner_(::getpid()),
      manifest_(std::move(manifest)),
      segments_(std::move(segments)),
      next_segment_id_(manifest_.next_segment_id),
      encoding_(encoding) {}

Result<VectorStoreWriter> VectorStoreWriter::create(const std::filesystem::path& given, std::string corpus,
                                                    Representation representation, Encoding encoding,
                                                    FileSystem& file_system) {
  if (corpus.empty()) return std::unexpected(Error::invalid_input("a vector store's corpus must not be empty"));
  const std::filesystem::path path = without_trailing_separator(given);
  std::filesystem::path parent_path = path.parent_path();
  if (parent_path.empty()) parent_path = ".";
  const std::string name = path.filename().string();
  auto already_exists = [&] {
    return IoError::with_message(IoErrorKind::AlreadyExists, "vector store already exists: " + given.string());
  };
  // "." and ".." always exist; the root has no name to create.
  if (name.empty() || name == "." || name == "..") return std::unexpected(already_exists());
  QM_TRY(file_system.create_directories(parent_path));
  const Directory parent = QM_TRY(file_system.open_directory(parent_path));
  // The one exclusive step: of racing creators exactly one makes the
  // directory, and everything after works on the directory it made.
  if (auto made = file_system.create_directory(parent, name); !made) {
    if (is_error_kind(made.error(), IoErrorKind::AlreadyExists)) return std::unexpected(already_exists());
    return std::unexpected(made.error());
  }
  Directory store;
  bool published = false;
  auto built = [&]() -> Result<void> {
    store = QM_TRY(file_system.open_directory(parent, name));
    QM_TRY(file_system.lock_directory(store));
    Manifest manifest{std::string(kManifestFormat),
                      QM_TRY(store_id()),
                      std::string(encoding.name()),
                      std::move(corpus),
                      std::move(representation),
                      0,
                      0,
                      now(),
                      {}};
    return write_manifest(file_system, store, manifest, published);
  }();
  if (!built) {
    // Only what this call made goes: the directory's contents through its
    // own descriptor, then its name, which rmdir removes only while empty
    // (a directory moved into its place meanwhile is not touched).
    if (!published) {
      if (store.is_open()) {
        if (auto entries = file_system.list(store))
          for (const DirectoryEntry& entry : *entries) (void)file_system.remove_all(store, entry.name);
        store.close();
      }
      (void)file_system.remove_directory(parent, name);
    }
    return std::unexpected(built.error());
  }
  QM_TRY(file_system.sync_directory(parent, FlushSite::NewStoreParent));
  return open_locked(given, file_system, std::move(store));
}

Result<VectorStoreWriter> VectorStoreWriter::open(const std::filesystem::path& path, FileSystem& file_system) {
  Directory store = QM_TRY(file_system.open_directory(path));
  // The lock comes first: a refused writer must not run the clean-up, which
  // would remove what the holder has staged.
  if (auto locked = file_system.lock_directory(store); !locked) {
    if (is_error_kind(locked.error(), IoErrorKind::WouldBlock))
      return std::unexpected(
          IoError::with_message(IoErrorKind::WouldBlock, "vector store is already open for writing: " + path.string()));
    return std::unexpected(locked.error());
  }
  return open_locked(path, file_system, std::move(store));
}

Result<VectorStoreWriter> VectorStoreWriter::open_locked(const std::filesystem::path& path, FileSystem& file_system,
                                                         Directory store) {
  Manifest manifest = QM_TRY(Manifest::read(store));
  std::vector<LiveSegment> segments = QM_TRY(load_segments(store, manifest, {}));
  // Durable before anything is removed: a leftover must not be removed
  // while the entries it depends on could still vanish in a power loss.
  QM_TRY(file_system.sync_directory(store, FlushSite::OpenedStore));
  remove_unreferenced(file_system, store, manifest);
  // Manifest::read accepted only these two texts.
  const Encoding encoding = manifest.encoding == "int8" ? Encoding::Int8 : Encoding::Float32;
  return VectorStoreWriter(path, file_system, std::move(store), std::move(manifest), std::move(segments), encoding);
}

std::optional<std::string> VectorStoreWriter::inherited() const {
  if (::getpid() == owner_) return std::nullopt;
  return "vector store writer of " + path_.string() + " was opened in process " + std::to_string(owner_) +
         "; a writer inherited across a fork cannot be used";
}

Result<void> VectorStoreWriter::check_owner() const {
  if (auto message = inherited()) return std::unexpected(Error::storage(std::move(*message)));
  return {};
}

Result<std::uint64_t> VectorStoreWriter::allocate_segment() {
  if (next_segment_id_ == UINT64_MAX) return std::unexpected(Error::storage("segment IDs exhausted"));
  return next_segment_id_++;
}

std::optional<Location> VectorStoreWriter::locate(std::string_view id) const { return locate_in(segments_, id); }

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

double next_commit_time(double previous, double now) {
  const auto before = time_from_seconds(previous);
  if (!before) return std::max(previous, now);  // a manifest never holds such a time
  auto later = [&](double t) {
    auto time = time_from_seconds(t);
    return time && *time > *before;
  };
  if (later(now)) return now;
  // One nanosecond on, then up by the double's own steps where it is
  // coarser than that (a few at most).
  double next = previous + 1e-9;
  while (!later(next)) next = std::nextafter(next, std::numeric_limits<double>::infinity());
  return next;
}

double now() {
  timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  if (ts.tv_sec < 0) return 0.0;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace quillmark
