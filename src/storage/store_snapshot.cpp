#include "storage/store_snapshot.h"

#include <cerrno>
#include <functional>
#include <optional>
#include <string>

#include "storage/format/npy.h"
#include "storage/publication.h"

namespace quillmark {

namespace {

namespace fs = std::filesystem;

// Writes a file's bytes from what the view holds in memory.
using MemoryWriter = std::function<Result<void>(const FileDescriptor&)>;

// Where the snapshot's files come from and go to.
struct Placement {
  FileSystem& file_system;
  const Directory* source;  // the view's directory; null when it cannot be opened
  const Directory& target;  // the new sibling directory
  bool link;
};

// Whether `found` is the file the view loaded as `expected`. The inode
// alone is not enough for the files a view does not keep open (ids,
// offsets, tombstones): once removed, their inode numbers are free for
// reuse, by a store renamed into place for instance; a reused inode with
// the same size and the same modification time to the nanosecond is not a
// risk worth taking seriously.
bool same_file(const FileIdentity& found, const FileIdentity& expected) {
  return found == expected && found.size == expected.size && found.modified_ns == expected.modified_ns;
}

// Puts the file `name` into the target: a link to the view's own file, a
// copy of it, or (`memory`) the bytes the view holds. Without `memory` a
// file that is neither linked nor copied is left out.
Result<void> place(const Placement& at, const std::string& name, const FileIdentity& expected,
                   const MemoryWriter& memory) {
  FileSystem& file_system = at.file_system;
  if (at.source != nullptr && at.link) {
    if (file_system.link(*at.source, name, at.target, name)) {
      auto linked = file_system.identity(at.target, name);
      if (linked && same_file(*linked, expected)) return {};
      // The name led to another file (or cannot be inspected): undo.
      QM_TRY(file_system.remove_file(at.target, name));
    }
  }
  std::optional<OpenedFile> original;
  if (at.source != nullptr) {
    auto opened = file_system.open_read(*at.source, name);
    if (opened && same_file(opened->identity, expected)) original = std::move(*opened);
  }
  if (!original && !memory) return {};
  FileDescriptor out = QM_TRY(file_system.create_exclusive(at.target, name));
  if (original)
    QM_TRY(file_system.copy(original->fd, out, original->identity.size));
  else
    QM_TRY(memory(out));
  QM_TRY(file_system.sync(out, FlushSite::SnapshotFile));
  return file_system.close(out);
}

MemoryWriter bytes_of(FileSystem& file_system, std::span<const std::byte> bytes) {
  return [&file_system, bytes](const FileDescriptor& out) { return file_system.write(out, bytes); };
}

// A one-dimensional uint64 .npy file of `values`, as NpyWriter writes it.
MemoryWriter npy_of(FileSystem& file_system, std::span<const std::uint64_t> values) {
  return [&file_system, values](const FileDescriptor& out) -> Result<void> {
    const std::uint64_t shape[] = {values.size()};
    const std::string prefix = QM_TRY(npy_file_prefix(Dtype::Uint64, shape));
    QM_TRY(file_system.write(out, std::as_bytes(std::span(prefix.data(), prefix.size()))));
    return file_system.write(out, std::as_bytes(values));
  };
}

Result<void> place_segment(const Placement& at, const LiveSegment& segment) {
  FileSystem& file_system = at.file_system;
  const SegmentData& data = *segment.data;
  // files(): ids, offsets, then the arrays in order.
  const auto& files = data.files();
  QM_INVARIANT(files.size() == 2 + data.arrays().size(), "a loaded segment lists a file per array");
  const std::string ids = ids_file_text(data.ids());
  QM_TRY(place(at, files[0].first, files[0].second,
               bytes_of(file_system, std::as_bytes(std::span(ids.data(), ids.size())))));
  QM_TRY(place(at, files[1].first, files[1].second, npy_of(file_system, data.offsets())));
  for (std::size_t a = 0; a < data.arrays().size(); ++a)
    QM_TRY(place(at, files[2 + a].first, files[2 + a].second, bytes_of(file_system, data.arrays()[a].file_bytes())));
  if (segment.entry.tombstones)
    QM_TRY(place(at, tombstones_file_name(segment.entry.id, *segment.entry.tombstones), segment.tombstones_file,
                 npy_of(file_system, *segment.tombstones)));
  if (data.sources_file()) QM_TRY(place(at, sources_file_name(segment.entry.id), *data.sources_file(), nullptr));
  return {};
}

// Whether `directory` is `store` or lies below it: walks up through ".."
// comparing identities, so links and other names of the same directories
// are seen through.
Result<bool> inside(FileSystem& file_system, Directory directory, const FileIdentity& store) {
  for (;;) {
    const FileIdentity here = QM_TRY(file_system.identity(directory, "."));
    if (here == store) return true;
    Directory up = QM_TRY(file_system.open_directory(directory, ".."));
    if (QM_TRY(file_system.identity(up, ".")) == here) return false;  // the root is its own parent
    directory = std::move(up);
  }
}

// Keeps the kind of an I/O error (and the variant of any other) with
// `context` in front of its text.
Error in_context(const std::string& context, const Error& error) {
  if (const IoError* io = error.io()) return IoError::with_message(io->kind(), context + io->text());
  if (error.kind() == Error::Kind::InvalidInput) return Error::invalid_input(context + error.text());
  return Error::storage(context + error.text());
}

// Removes the sibling directory unless disarmed.
struct SiblingRemoval {
  FileSystem& file_system;
  const Directory& parent;
  std::string name;
  bool armed = true;
  ~SiblingRemoval() {
    if (armed) (void)file_system.remove_all(parent, name);
  }
};

Error not_empty(const std::string& shown) {
  return IoError::with_message(IoErrorKind::AlreadyExists,
                               "snapshot destination " + shown + " exists and is not an empty directory");
}

// The refusals: a destination that is the store or inside it, or that
// exists and is not an empty directory (an empty one is replaced
// atomically by the rename, which fails, ENOTEMPTY, should anything appear
// in it meanwhile). The errors of the calls made to find out are returned
// as they are.
Result<std::optional<Error>> refusal(FileSystem& file_system, const StoreView& view,
                                     const std::optional<Directory>& source, const Directory& parent,
                                     const std::string& name, const std::string& shown) {
  if (source) {
    const FileIdentity store = QM_TRY(file_system.identity(*source, "."));
    auto existing = file_system.identity(parent, name);
    bool refused = existing && *existing == store;
    if (!refused) refused = QM_TRY(inside(file_system, QM_TRY(file_system.open_directory(parent, ".")), store));
    if (refused)
      return Error::invalid_input("snapshot destination " + shown + " is inside the store directory " +
                                  view.directory().string());
  }
  auto existing = file_system.open_directory(parent, name);
  if (existing) {
    if (!QM_TRY(file_system.list(*existing)).empty()) return not_empty(shown);
    return std::nullopt;
  }
  const IoError* io = existing.error().io();
  if (io != nullptr && io->kind() == IoErrorKind::NotFound) return std::nullopt;
  if (io != nullptr && (io->os_code() == ENOTDIR || io->os_code() == ELOOP)) return not_empty(shown);
  return std::unexpected(existing.error());
}

// Writes every file of the view and then its manifest into the new
// directory `sibling` of `parent`.
Result<void> write_files(FileSystem& file_system, const StoreView& view, const std::optional<Directory>& source,
                         const Directory& parent, const std::string& sibling, const SnapshotOptions& options) {
  const Directory target = QM_TRY(file_system.open_directory(parent, sibling));
  const Placement at{file_system, source ? &*source : nullptr, target, options.link};
  for (const LiveSegment& segment : view.segments()) QM_TRY(place_segment(at, segment));
  bool published = false;
  auto written = write_manifest(file_system, target, view.manifest(), published);
  if (written || !published) return written;
  // The writer's wording speaks of commits and writers; here the manifest
  // only ever was in a private directory.
  return std::unexpected(Error::storage("its directory could not be flushed after the manifest was written (" +
                                        written.error().text() + ")"));
}

}  // namespace

Result<void> snapshot_view(FileSystem& file_system, const StoreView& view, const fs::path& destination,
                           const SnapshotOptions& options) {
  const std::string shown = destination.string();
  const std::string given = destination.filename().string();
  std::error_code ec;
  fs::path absolute = fs::absolute(destination, ec).lexically_normal();
  if (ec) return std::unexpected(IoError::from_errno(ec.value()));
  if (!absolute.has_filename() && absolute.has_parent_path()) absolute = absolute.parent_path();  // "d/"
  const std::string name = absolute.filename().string();
  if (name.empty() || name == "." || name == ".." || given == "." || given == "..")
    return std::unexpected(Error::invalid_input("snapshot destination " + shown + " must name a directory"));
  const std::string context = "cannot snapshot commit " + std::to_string(view.commit()) + " into " + shown + ": ";
  auto failed = [&](const Error& error) { return std::unexpected(in_context(context, error)); };

  auto parent = file_system.open_directory(absolute.parent_path());
  if (!parent) return failed(parent.error());
  // The view's directory, for links and copies, and to refuse a snapshot
  // inside it. When it cannot be opened (removed, say) everything comes
  // from the view itself, and nothing can be created inside it anyway.
  std::optional<Directory> source;
  if (!view.directory().empty())
    if (auto opened = file_system.open_directory(view.directory())) source = std::move(*opened);
  auto refused = refusal(file_system, view, source, *parent, name, shown);
  if (!refused) return failed(refused.error());
  if (*refused) return std::unexpected(std::move(**refused));

  std::string sibling;
  for (int attempt = 0;; ++attempt) {
    sibling = random_name("." + name + ".snapshot-");
    auto made = file_system.create_directory(*parent, sibling);
    if (made) break;
    const IoError* io = made.error().io();
    if (io == nullptr || io->kind() != IoErrorKind::AlreadyExists || attempt == 100) return failed(made.error());
  }
  SiblingRemoval removal{file_system, *parent, sibling};
  if (auto written = write_files(file_system, view, source, *parent, sibling, options); !written)
    return failed(written.error());
  if (auto renamed = file_system.rename(*parent, sibling, name); !renamed) {
    const IoError* io = renamed.error().io();
    // Something appeared in the empty destination meanwhile.
    if (io != nullptr && (io->os_code() == ENOTEMPTY || io->os_code() == EEXIST)) return std::unexpected(not_empty(shown));
    return failed(renamed.error());
  }
  removal.armed = false;
  // The snapshot is complete where it belongs; only its durability is in
  // doubt, so it stays.
  if (auto flushed = file_system.sync_directory(*parent, FlushSite::SnapshotParent); !flushed)
    return std::unexpected(in_context("the snapshot at " + shown + " is complete, but its parent directory could not "
                                      "be flushed: ", flushed.error()));
  return {};
}

}  // namespace quillmark
