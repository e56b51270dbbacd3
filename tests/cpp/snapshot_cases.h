#pragma once
// Snapshot cases shared by the snapshot tests, the power-loss runs and the
// flush-site proof: a source store and a view of it, what a destination
// holds compared with that view, and snapshots interrupted by a power loss
// at every file-system call.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "power_loss_cases.h"
#include "storage/store.h"

namespace quillmark::testing {

struct SnapshotCase {
  // What has become of the view's files when the snapshot is taken.
  enum Names { Kept, Compacted, StoreRemoved };
  std::string name;
  Encoding encoding;
  bool link;
  Names names;
};

std::vector<SnapshotCase> snapshot_cases();

// Builds the store at `store` (segments with sources, tombstones, a
// replaced document), returns a view of its last commit, then does to the
// store what `names` says. Uses no flushes: nothing here is about
// durability.
std::shared_ptr<const StoreView> prepare_snapshot_source(const std::filesystem::path& store, Encoding encoding,
                                                         SnapshotCase::Names names);

// What `destination` holds compared with `view`.
struct DestinationCheck {
  enum Kind { Absent, Unopenable, Equal, Different };
  Kind kind;
  std::string detail;  // why it does not open, or how it differs
};
// Absent: nothing there, or an empty directory. Equal: it opens as a store
// whose manifest is the view's, whose documents fetch the same, whose every
// file holds the bytes the view holds, and which holds nothing else but
// sources files.
DestinationCheck check_destination(const std::filesystem::path& destination, const StoreView& view);

// Entries of `parent` other than `keep` (snapshot leftovers).
std::vector<std::string> other_entries(const std::filesystem::path& parent, const std::string& keep);

// A power loss at every call of the snapshot (and after it), with every
// combination of its unflushed changes (sampled beyond
// options.exhaustive_changes): the destination must be absent, unopenable
// or equal to the view, equal when the snapshot had returned success, and
// the source must still open at its commit.
PowerLossReport run_snapshot_power_loss(const SnapshotCase& snapshot_case, const PowerLossOptions& options);

}  // namespace quillmark::testing
