// Every flush of the writer and of a snapshot earns its place: with any one flush site made a
// no-op, some power-loss case breaks the store or loses an acknowledged
// commit. Prints the table of sites and the case that catches each.

#include <gtest/gtest.h>

#include <iostream>

#include "power_loss_cases.h"
#include "snapshot_cases.h"

namespace quillmark {
namespace {

using testing::PowerLossOptions;
using testing::SkippedFlush;

struct Site {
  SkippedFlush skipped;
  const char* where;  // the flush in the code
  bool snapshot = false;  // shown by the snapshot cases (else the writer's)
};

const Site kSites[] = {
    {{FlushSite::NpyFile, ".vectors.npy"}, "NpyWriter::finish, float32 vectors"},
    {{FlushSite::NpyFile, ".codes.npy"}, "NpyWriter::finish, int8 codes"},
    {{FlushSite::NpyFile, ".scales.npy"}, "NpyWriter::finish, int8 scales"},
    {{FlushSite::NpyFile, ".offsets.npy"}, "NpyWriter::finish, offsets"},
    {{FlushSite::NpyFile, ".tombstones-"}, "NpyWriter::finish, tombstones"},
    {{FlushSite::NpyFile, ".sources.npy"}, "NpyWriter::finish, sources of a copied segment"},
    {{FlushSite::IdsFile, ""}, "stage: write_ids"},
    {{FlushSite::ManifestFile, ""}, "write_manifest: temporary file"},
    {{FlushSite::InstalledNames, ""}, "ImmutableFiles::install: store directory"},
    {{FlushSite::PublishedManifest, ""}, "write_manifest: store directory after the rename"},
    {{FlushSite::NewStoreParent, ""}, "create: parent directory"},
    {{FlushSite::OpenedStore, ""}, "open: store directory before the clean-up"},
    {{FlushSite::SnapshotFile, ""}, "snapshot_view: a copied file", true},
    {{FlushSite::ManifestFile, ""}, "snapshot_view: write_manifest's temporary file", true},
    {{FlushSite::PublishedManifest, ""}, "snapshot_view: write_manifest's directory flush", true},
    {{FlushSite::SnapshotParent, ""}, "snapshot_view: the destination's parent after the rename", true},
};

// The first failure of any power-loss case with `skipped` made a no-op.
std::optional<std::string> first_failure(const SkippedFlush& skipped, bool snapshot) {
  PowerLossOptions options;
  options.skipped = skipped;
  options.stop_at_first_failure = true;
  if (snapshot) {
    for (const auto& snapshot_case : testing::snapshot_cases()) {
      auto report = testing::run_snapshot_power_loss(snapshot_case, options);
      if (!report.failures.empty()) return report.failures[0];
    }
    return std::nullopt;
  }
  for (const auto& sequence : testing::writer_sequences()) {
    auto report = testing::run_power_loss(sequence, options);
    if (!report.failures.empty()) return report.failures[0];
  }
  for (const auto& sequence : testing::writer_sequences()) {
    auto report = testing::run_crash_then_reopen(sequence, options);
    if (!report.failures.empty()) return report.failures[0];
  }
  return std::nullopt;
}

TEST(FlushSites, RemovingAnyOneBreaksAPowerLossCase) {
  std::cout << "[ flushes  ] site | files | case that catches its removal\n";
  for (const Site& site : kSites) {
    const auto failure = first_failure(site.skipped, site.snapshot);
    std::cout << "[ flushes  ] " << testing::flush_site_name(site.skipped.site) << " (" << site.where << ") | "
              << (site.skipped.file_part.empty() ? "all" : site.skipped.file_part) << " | "
              << failure.value_or("NOT CAUGHT") << "\n";
    EXPECT_TRUE(failure.has_value()) << site.where;
  }
}

}  // namespace
}  // namespace quillmark
