// Snapshots of a view: exactly the view's commit, whatever became of the
// store's files; the refusals; every failed file-system call; and a power
// loss at every call.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <iostream>

#include "failing_file_system.h"
#include "snapshot_cases.h"
#include "storage/store_snapshot.h"
#include "storage/writer.h"
#include "temp_dir.h"
#include "writer_test_support.h"

namespace quillmark {
namespace {

using testing::check_destination;
using testing::DestinationCheck;
using testing::FailingFileSystem;
using testing::SnapshotCase;
using testing::TempDir;
namespace fs = std::filesystem;

SnapshotOptions options_of(const SnapshotCase& c) {
  SnapshotOptions options;
  options.link = c.link;
  return options;
}

std::uintmax_t links_of(const fs::path& path) { return fs::hard_link_count(path); }

class StoreSnapshot : public ::testing::TestWithParam<SnapshotCase> {};

TEST_P(StoreSnapshot, HoldsExactlyTheViewsCommitAndOpensForWriting) {
  const SnapshotCase& c = GetParam();
  TempDir dir;
  auto view = testing::prepare_snapshot_source(dir / "store", c.encoding, c.names);
  const auto before = c.names == SnapshotCase::StoreRemoved ? std::nullopt
                                                            : std::optional(testing::snapshot(dir / "store").value());
  ASSERT_TRUE(snapshot_view(os_file_system(), *view, dir / "snap", options_of(c)).has_value());
  const DestinationCheck check = check_destination(dir / "snap", *view);
  EXPECT_EQ(check.kind, DestinationCheck::Equal) << check.detail;
  EXPECT_EQ(testing::other_entries(dir.path(), "snap"), c.names == SnapshotCase::StoreRemoved
                                                            ? std::vector<std::string>{}
                                                            : std::vector<std::string>{"store"});
  // Links exactly where the view's own files could still be reached.
  const bool linked = c.link && c.names == SnapshotCase::Kept;
  for (const LiveSegment& segment : view->segments())
    for (const auto& [name, identity] : segment.data->files())
      EXPECT_EQ(links_of(dir / "snap" / name) > 1, linked) << name;
  // The sources hint travels with its segment while the segment is there.
  EXPECT_EQ(fs::exists(dir / "snap" / sources_file_name(view->segments()[0].entry.id)),
            c.names == SnapshotCase::Kept);
  // A store of its own: a writer opens it, commits, and the source stays.
  VectorStoreWriter w = VectorStoreWriter::open(dir / "snap").value();
  w.delete_documents(std::vector<SharedText>{view->document_ids().front()});
  ASSERT_TRUE(testing::append(w, testing::make_batch("n", 2, 4, 9)).has_value());
  ASSERT_TRUE(w.compact().has_value());
  ASSERT_TRUE(w.commit().has_value());
  EXPECT_EQ(VectorStore::open(dir / "snap").value()->store_view().value()->commit(), view->commit() + 1);
  if (before) {
    const testing::Snapshot after = testing::snapshot(dir / "store").value();
    EXPECT_TRUE(after.same_documents(*before));
    EXPECT_EQ(after.commit, before->commit);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, StoreSnapshot, ::testing::ValuesIn(testing::snapshot_cases()),
                         [](const auto& info) { return info.param.name; });

// Files put in place of the view's under the same names (a restored
// backup, another store renamed there) are neither linked nor copied.
TEST(StoreSnapshotSources, FilesThatReplacedTheViewsUnderTheirNamesAreNotTaken) {
  TempDir dir;
  auto view = testing::prepare_snapshot_source(dir / "store", Encoding::Float32, SnapshotCase::Kept);
  std::vector<std::string> names;
  for (const LiveSegment& segment : view->segments())
    for (const auto& [name, identity] : segment.data->files()) names.push_back(name);
  for (const std::string& name : names) {
    testing::write_bytes(dir / "impostor", "not the view's " + name);
    fs::rename(dir / "impostor", dir / "store" / name);
  }
  ASSERT_TRUE(snapshot_view(os_file_system(), *view, dir / "snap").has_value());
  const DestinationCheck check = check_destination(dir / "snap", *view);
  EXPECT_EQ(check.kind, DestinationCheck::Equal) << check.detail;
  for (const std::string& name : names) EXPECT_EQ(links_of(dir / "snap" / name), 1u) << name;
}

TEST(StoreSnapshotRefusals, NameTheDestinationAndLeaveNothing) {
  TempDir dir;
  auto view = testing::prepare_snapshot_source(dir / "store", Encoding::Float32, SnapshotCase::Kept);
  fs::create_directories(dir / "full" / "x");
  testing::write_bytes(dir / "file", "not a directory");
  fs::create_directory_symlink(dir / "store", dir / "alias");
  struct Refused {
    fs::path destination;
    Error::Kind kind;
    std::string text;
  };
  const std::string store = (dir / "store").string();
  const std::vector<Refused> cases = {
      {dir / "store", Error::Kind::InvalidInput,
       "snapshot destination " + store + " is inside the store directory " + store},
      {dir / "store" / "inner", Error::Kind::InvalidInput,
       "snapshot destination " + store + "/inner is inside the store directory " + store},
      {dir / "alias" / "inner", Error::Kind::InvalidInput,
       "snapshot destination " + (dir / "alias").string() + "/inner is inside the store directory " + store},
      {dir / "full", Error::Kind::Io,
       "snapshot destination " + (dir / "full").string() + " exists and is not an empty directory"},
      {dir / "file", Error::Kind::Io,
       "snapshot destination " + (dir / "file").string() + " exists and is not an empty directory"},
      {dir / "full" / "..", Error::Kind::InvalidInput,
       "snapshot destination " + (dir / "full").string() + "/.. must name a directory"},
      {dir / "absent" / "snap", Error::Kind::Io,
       "cannot snapshot commit " + std::to_string(view->commit()) + " into " + (dir / "absent" / "snap").string() + ": No such file or directory (os error 2)"},
  };
  for (const Refused& r : cases) {
    auto done = snapshot_view(os_file_system(), *view, r.destination);
    ASSERT_FALSE(done.has_value()) << r.destination;
    EXPECT_EQ(done.error().kind(), r.kind) << r.destination;
    EXPECT_EQ(done.error().text(), r.text);
  }
  EXPECT_EQ(testing::read_bytes(dir / "file"), "not a directory");
  EXPECT_TRUE(fs::exists(dir / "full" / "x"));
  EXPECT_EQ(testing::leftovers(dir / "store"), std::vector<std::string>{});
  // An empty directory is replaced by the snapshot; a read-only file system
  // (injected) keeps its kind and leaves nothing.
  fs::create_directory(dir / "empty");
  ASSERT_TRUE(snapshot_view(os_file_system(), *view, dir / "empty").has_value());
  EXPECT_EQ(check_destination(dir / "empty", *view).kind, DestinationCheck::Equal);
  FailingFileSystem read_only;
  read_only.fail_call(0);
  const std::size_t create_at = [&] {
    FailingFileSystem counting;
    (void)snapshot_view(counting, *view, dir / "counted");
    const auto calls = counting.calls();
    fs::remove_all(dir / "counted");
    return static_cast<std::size_t>(std::find(calls.begin(), calls.end(), "create_directory") - calls.begin()) + 1;
  }();
  read_only.fail_call(create_at, EROFS);
  auto done = snapshot_view(read_only, *view, dir / "ro");
  ASSERT_FALSE(done.has_value());
  ASSERT_NE(done.error().io(), nullptr);
  EXPECT_EQ(done.error().io()->kind(), IoErrorKind::ReadOnlyFilesystem);
  EXPECT_EQ(done.error().text(), "cannot snapshot commit " + std::to_string(view->commit()) + " into " + (dir / "ro").string() +
                                     ": Read-only file system (os error 30)");
  EXPECT_EQ(testing::other_entries(dir.path(), "store"),
            (std::vector<std::string>{"alias", "empty", "file", "full"}))
      << "nothing but what the test made";
}

// Every call of a snapshot failed in turn: the destination is then absent
// (or, when only the parent's final flush failed, complete), nothing is
// left beside it, the source is untouched, and a retry succeeds.
class StoreSnapshotFaults : public ::testing::TestWithParam<SnapshotCase> {};

TEST_P(StoreSnapshotFaults, EveryFailedCallLeavesNothingOrTheWholeCommit) {
  const SnapshotCase& c = GetParam();
  TempDir dir;
  auto view = testing::prepare_snapshot_source(dir / "store", c.encoding, c.names);
  fs::create_directory(dir / "out");
  std::size_t calls = 0;
  {
    FailingFileSystem counting;
    ASSERT_TRUE(snapshot_view(counting, *view, dir / "out" / "counted", options_of(c)).has_value());
    calls = counting.call_count();
    fs::remove_all(dir / "out" / "counted");
  }
  const auto before = c.names == SnapshotCase::StoreRemoved ? std::nullopt
                                                            : std::optional(testing::snapshot(dir / "store").value());
  std::size_t complete_despite_error = 0, worked_around = 0;
  for (std::size_t k = 1; k <= calls; ++k) {
    SCOPED_TRACE("failed call " + std::to_string(k));
    const fs::path destination = dir / "out" / ("snap" + std::to_string(k));
    FailingFileSystem file_system;
    file_system.fail_call(k);
    auto done = snapshot_view(file_system, *view, destination, options_of(c));
    const std::string call = file_system.calls()[k - 1];
    const DestinationCheck check = check_destination(destination, *view);
    if (done) {
      // A failure the snapshot worked around: the store directory not
      // opened, a link refused (copied instead), a name it could not
      // inspect or open (the view's bytes instead).
      ++worked_around;
      EXPECT_TRUE((call == "open_directory" && k == 2) || call == "link" || call == "identity" || call == "open_read")
          << call;
      EXPECT_EQ(check.kind, DestinationCheck::Equal) << check.detail;
    } else if (call == "sync_directory" && k == calls) {
      ++complete_despite_error;
      EXPECT_EQ(check.kind, DestinationCheck::Equal) << check.detail;
      EXPECT_TRUE(done.error().text().starts_with("the snapshot at " + destination.string() + " is complete"));
    } else {
      EXPECT_EQ(check.kind, DestinationCheck::Absent) << call << ": " << check.detail;
      EXPECT_TRUE(done.error().text().starts_with("cannot snapshot commit " + std::to_string(view->commit()) +
                                                  " into " + destination.string() + ": "))
          << done.error().text();
    }
    EXPECT_EQ(testing::other_entries(dir / "out", destination.filename().string()), std::vector<std::string>{})
        << "after the failure of " << call;
    fs::remove_all(destination);
    if (before) {
      EXPECT_TRUE(testing::snapshot(dir / "store").value().same_documents(*before));
      EXPECT_EQ(testing::leftovers(dir / "store"), std::vector<std::string>{});
    }
  }
  EXPECT_EQ(complete_despite_error, 1u);
  std::cout << "[ snapshot ] " << c.name << ": " << calls << " failure points (" << worked_around
            << " worked around, the snapshot complete)\n";
  ASSERT_TRUE(snapshot_view(os_file_system(), *view, dir / "out" / "retry", options_of(c)).has_value());
  EXPECT_EQ(check_destination(dir / "out" / "retry", *view).kind, DestinationCheck::Equal);
}

INSTANTIATE_TEST_SUITE_P(Cases, StoreSnapshotFaults, ::testing::ValuesIn(testing::snapshot_cases()),
                         [](const auto& info) { return info.param.name; });

testing::PowerLossOptions power_loss_options() {
  testing::PowerLossOptions options;
  if (const char* samples = std::getenv("QUILLMARK_POWER_LOSS_SAMPLES")) options.samples = std::stoul(samples);
  if (const char* exhaustive = std::getenv("QUILLMARK_POWER_LOSS_EXHAUSTIVE"))
    options.exhaustive_changes = std::stoul(exhaustive);
  return options;
}

class StoreSnapshotPowerLoss : public ::testing::TestWithParam<SnapshotCase> {};

TEST_P(StoreSnapshotPowerLoss, EveryCrashPointLeavesNothingOrTheWholeCommit) {
  const testing::PowerLossReport report = testing::run_snapshot_power_loss(GetParam(), power_loss_options());
  std::cout << "[ power    ] snapshot " << GetParam().name << ": " << report.crash_points << " crash points, "
            << report.cases << " power-loss states (at most " << report.max_changes << " pending changes)\n";
  EXPECT_GT(report.cases, report.crash_points);
  EXPECT_TRUE(report.failures.empty()) << report.failures.size() << " failures, the first: " << report.failures[0];
}

INSTANTIATE_TEST_SUITE_P(Cases, StoreSnapshotPowerLoss, ::testing::ValuesIn(testing::snapshot_cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quillmark
