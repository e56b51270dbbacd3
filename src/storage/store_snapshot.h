#pragma once
// A snapshot: a new store directory holding exactly one view's commit,
// written while the store's writer goes on committing and compacting.
//
// Sources. A view keeps its segments' arrays mapped, its IDs, offsets and
// tombstone rows in memory, and the identity (device and inode) of every
// file it loaded. Each file of the snapshot is, in order of preference:
//  1. a hard link to the file of the same name in the view's directory,
//     kept only when the linked file turns out to be the very file the view
//     loaded (device, inode, size and modification time, since the inode of
//     a removed file the view did not keep open may be reused; checked on
//     the new link itself, so a name
//     that was removed, or reused by a store renamed into place, between
//     the check and the link cannot slip in);
//  2. a copy of that file, opened by name and used only when the opened
//     descriptor is the view's file (copy_file_range, sendfile, or read and
//     write);
//  3. the bytes the view holds: the mapped array file, or the IDs, offsets
//     and tombstone rows written out again in the writer's own format.
// Store files never change once published, so a file with the view's
// identity holds the view's bytes; the snapshot therefore never depends on
// the names still being there, and a compaction that removed them only
// turns links into copies. A segment's sources file (a hint for caches,
// segment_sources.h) is taken when it can be linked or copied as the file
// the view saw, and left out otherwise.
//
// Atomicity. Everything is written into a new sibling directory of the
// destination (".NAME.snapshot-" + 6 random characters), copied files are
// flushed, the manifest is written last (write_manifest: temporary file,
// flush, rename, flush of the directory), then the directory is renamed to
// the destination and the destination's parent flushed. Until that rename
// nothing is at the destination; after it the destination is complete and
// durable. A failure removes the sibling directory; a process that dies
// leaves it behind (it is never a store at the destination, and may be
// deleted).
//
// The snapshot is a store of its own: the same store_id, corpus and
// commit, no lock held, openable by VectorStore and by a writer. Linked
// files are shared with the source, which is safe because neither store
// ever changes a file in place: writers only add names and remove them.

#include <filesystem>

#include "base/error.h"
#include "storage/io/file_system.h"
#include "storage/store.h"

namespace quillmark {

struct SnapshotOptions {
  // Hard links where possible; false copies every file.
  bool link = true;
};

// Writes a snapshot of `view` at `destination`, which must not exist or be
// an empty directory (replaced atomically by the finished snapshot). Every
// file-system call goes through `file_system`.
// Returns:
//  - InvalidInput "snapshot destination DEST must name a directory" for a
//    path ending in "." or "..";
//  - InvalidInput "snapshot destination DEST is inside the store directory
//    STORE" when DEST is the view's store directory or below it;
//  - Io AlreadyExists "snapshot destination DEST exists and is not an empty
//    directory";
//  - otherwise the failed call's error, Io errors keeping their kind (so
//    read-only file system, storage full and permission errors stay
//    recognisable), with the text "cannot snapshot commit N into DEST: " +
//    the error's own text.
//  - when only the final flush of the destination's parent fails, the
//    error "the snapshot at DEST is complete, but its parent directory
//    could not be flushed: " + the I/O error's text (its kind kept): the
//    complete snapshot stays in place, its rename not yet durable.
// After any other failure nothing new is left at or beside the destination
// (the removal of the sibling directory may itself fail; it is then left).
Result<void> snapshot_view(FileSystem& file_system, const StoreView& view, const std::filesystem::path& destination,
                           const SnapshotOptions& options = {});

}  // namespace quillmark
