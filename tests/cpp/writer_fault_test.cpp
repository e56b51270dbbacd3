// Every file-system call of a writer operation, failed in turn.
//
// For each operation the calls of one clean run are counted; then, for each
// N, a fresh store is prepared the same way, the N-th call of the operation
// fails with an I/O error, and the test checks what the writer promises: the
// error kind, the published store at the previous commit or, exactly when
// the failure came after the manifest's rename, at the new one; staged work
// still staged; a retry that succeeds; and nothing left behind once the
// store is opened again.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <set>

#include "failing_file_system.h"
#include "no_flush_file_system.h"
#include "storage/writer.h"
#include "temp_dir.h"
#include "writer_test_support.h"

namespace quillmark {
namespace {

using testing::append;
using testing::FailingFileSystem;
using testing::leftovers;
using testing::make_batch;
using testing::Snapshot;
using testing::snapshot;
using testing::TempDir;
namespace fs = std::filesystem;

const std::vector<SharedText> kDeleted{"a1", "b0", "a4"};

struct Operation {
  const char* name;
  Encoding encoding;
  // Staged work made before the operation (on the OS file system).
  std::function<void(VectorStoreWriter&)> prepare;
  // The staging step of the operation (none for a bare commit).
  std::function<Result<void>(VectorStoreWriter&)> stage;
  // Whether the operation ends with a commit.
  bool commits;
  // The committed store the operation starts from (none: two segments,
  // a0..a5 and b0..b2).
  std::function<void(VectorStoreWriter&)> base = nullptr;
};

Result<void> commit(VectorStoreWriter& w) {
  QM_TRY(w.commit());
  return {};
}

Result<void> merge(VectorStoreWriter& w) {
  QM_TRY(w.merge());
  return {};
}

const Operation kOperations[] = {
    {"AppendFloat32", Encoding::Float32, [](VectorStoreWriter&) {},
     [](VectorStoreWriter& w) { return append(w, make_batch("c", 5, 4, 3)); }, false},
    {"AppendInt8", Encoding::Int8, [](VectorStoreWriter&) {},
     [](VectorStoreWriter& w) { return append(w, make_batch("c", 5, 4, 3), 2); }, false},
    {"DeleteCommit", Encoding::Float32, [](VectorStoreWriter& w) { w.delete_documents(kDeleted); }, nullptr, true},
    {"CompactCommitInt8", Encoding::Int8, [](VectorStoreWriter& w) { w.delete_documents(kDeleted); },
     [](VectorStoreWriter& w) { return w.compact(); }, true},
    {"DeleteMergeCommit", Encoding::Float32, [](VectorStoreWriter& w) { w.delete_documents(kDeleted); }, merge, true,
     testing::merge_base},
    // The merge runs inside the commit, over committed segments and a staged
    // one (whose files it removes at once).
    {"MergeAtCommitInt8", Encoding::Int8,
     [](VectorStoreWriter& w) {
       w.set_merge_at_commit(true);
       w.delete_documents(kDeleted);
       EXPECT_TRUE(append(w, make_batch("c", 3, 4, 3), 2).has_value());
     },
     nullptr, true, testing::merge_base},
};

void PrintTo(const Operation& op, std::ostream* out) { *out << op.name; }

// The staged state a failed commit must leave.
struct Staged {
  std::vector<std::uint64_t> segments;
  std::set<std::uint64_t> changed;
  explicit Staged(const VectorStoreWriter& w) : changed(w.changed_segments()) {
    for (const auto& s : w.segments()) segments.push_back(s.entry.id);
  }
  friend bool operator==(const Staged&, const Staged&) = default;
};

// The operation's committed store, with its staged work prepared, opened by
// a writer on `file_system`.
VectorStoreWriter prepare(const fs::path& path, const Operation& op, FileSystem& file_system) {
  {
    // Made without flushes, which cost time and are not under test here.
    static testing::NoFlushFileSystem no_flush;
    auto writer =
        VectorStoreWriter::create(path, "docs", testing::test_representation(), op.encoding, no_flush).value();
    if (op.base) {
      op.base(writer);
    } else {
      EXPECT_TRUE(append(writer, make_batch("a", 6, 4, 1)).has_value());
      EXPECT_TRUE(append(writer, make_batch("b", 3, 4, 2)).has_value());
    }
    EXPECT_TRUE(writer.commit().has_value());
  }
  auto writer = VectorStoreWriter::open(path, file_system).value();
  op.prepare(writer);
  return writer;
}

class WriterFaults : public ::testing::TestWithParam<Operation> {};

TEST_P(WriterFaults, EveryFailedCallLeavesAConsistentStoreAndAUsableWriter) {
  const Operation& op = GetParam();
  // The clean run: the operation's calls, the store before and after (an
  // append is published by a further commit), and what it stages.
  Snapshot before, after;
  std::vector<std::string> calls;
  std::size_t stage_calls = 0;
  std::optional<Staged> staged_by_op;
  {
    TempDir dir;
    FailingFileSystem counting;
    VectorStoreWriter writer = prepare(dir / "s", op, counting);
    before = snapshot(dir / "s").value();
    const std::size_t opened = counting.call_count();
    if (op.stage) {
      ASSERT_TRUE(op.stage(writer).has_value());
    }
    stage_calls = counting.call_count() - opened;
    staged_by_op.emplace(writer);
    if (op.commits) {
      ASSERT_TRUE(commit(writer).has_value());
    }
    calls = counting.calls();
    calls.erase(calls.begin(), calls.begin() + static_cast<std::ptrdiff_t>(opened));
    if (!op.commits) {
      ASSERT_TRUE(commit(writer).has_value());
    }
    after = snapshot(dir / "s").value();
  }
  ASSERT_FALSE(before.same_documents(after));
  // A commit that merges first: the calls of its merge, and what the merge
  // alone stages (a commit failing after it leaves that staged).
  std::size_t merge_calls = 0;
  std::optional<Staged> merged_by_commit;
  {
    TempDir dir;
    FailingFileSystem counting;
    VectorStoreWriter writer = prepare(dir / "s", op, counting);
    if (writer.merge_at_commit()) {
      if (op.stage) {
        ASSERT_TRUE(op.stage(writer).has_value());
      }
      const std::size_t staged = counting.call_count();
      ASSERT_GT(writer.merge().value(), 0u);
      merge_calls = counting.call_count() - staged;
      merged_by_commit.emplace(writer);
    }
  }
  const std::size_t op_calls = calls.size();
  const std::size_t rename_at =
      static_cast<std::size_t>(std::find(calls.begin(), calls.end(), "rename") - calls.begin()) + 1;  // 1-based
  ASSERT_GT(op_calls, 10u);

  for (std::size_t n = 1; n <= op_calls; ++n) {
    SCOPED_TRACE("call " + std::to_string(n) + ": " + calls[n - 1]);
    TempDir dir;
    const fs::path path = dir / "s";
    FailingFileSystem failing;
    VectorStoreWriter writer = prepare(path, op, failing);
    const Staged prepared(writer);
    const std::shared_ptr<const StoreView> earlier = VectorStore::open(path).value()->current_view();
    failing.fail_call(n, n % 2 ? EIO : ENOSPC);
    bool stage_failed = false;
    Result<void> result;
    if (op.stage) {
      result = op.stage(writer);
      stage_failed = !result.has_value();
    }
    if (result && op.commits) result = commit(writer);
    ASSERT_TRUE(failing.failed());
    const bool published = op.commits && n > rename_at;  // failed after the rename
    if (result) {
      // Only clean-up calls may fail without an error.
      EXPECT_TRUE(calls[n - 1] == "remove_file" || calls[n - 1] == "remove_all" || calls[n - 1] == "list")
          << calls[n - 1];
    } else if (published) {
      EXPECT_EQ(result.error().kind(), Error::Kind::Storage) << result.error().text();
    } else {
      ASSERT_EQ(result.error().kind(), Error::Kind::Io) << result.error().text();
      EXPECT_TRUE(result.error().io()->os_code() == EIO || result.error().io()->os_code() == ENOSPC);
      // A failed staging step changes nothing; a commit that failed before
      // publication leaves everything staged, merged when its merge was
      // done.
      const Staged expected = n <= stage_calls                                   ? prepared
                              : !merged_by_commit || n <= stage_calls + merge_calls ? *staged_by_op
                                                                                   : *merged_by_commit;
      EXPECT_EQ(Staged(writer), expected);
      // Rolled back at once: only the files of segments still staged remain
      // unreferenced (no staging directory, temporary manifest, tombstone).
      for (const std::string& name : leftovers(path)) {
        bool staged = false;
        for (const auto& segment : writer.segments())
          staged |= name.starts_with("segment-" + std::to_string(segment.entry.id) + ".") &&
                    name.find("tombstones") == std::string::npos;
        EXPECT_TRUE(staged) << name;
      }
    }
    const Snapshot seen = snapshot(path).value();
    const bool expect_new = op.commits && (result.has_value() || published);
    EXPECT_TRUE(seen.same_documents(expect_new ? after : before));
    EXPECT_EQ(seen.commit, before.commit + (expect_new ? 1 : 0));

    // The writer stays usable: finishing the work publishes the new state.
    failing.fail_call(0);
    if (!expect_new) {
      if (stage_failed) {
        ASSERT_TRUE(op.stage(writer).has_value());
      }
      auto retried = commit(writer);
      ASSERT_TRUE(retried.has_value()) << retried.error().text();
      EXPECT_TRUE(snapshot(path)->same_documents(after));
    }
    {
      VectorStoreWriter dropped = std::move(writer);  // releases the store's lock
    }
    auto reopened = VectorStoreWriter::open(path);
    ASSERT_TRUE(reopened.has_value()) << reopened.error().text();
    EXPECT_EQ(leftovers(path), std::vector<std::string>{});
    EXPECT_TRUE(snapshot(path)->same_documents(after));
    // Copies made from committed segments name them exactly.
    const std::size_t checked = testing::check_sources(path, *earlier);
    if (op.base) {
      EXPECT_GT(checked, 0u);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Operations, WriterFaults, ::testing::ValuesIn(kOperations),
                         [](const auto& info) { return std::string(info.param.name); });

// Creation: before the manifest's rename nothing remains at the path; after
// it the store exists, complete, and opens.
TEST(WriterFaults, CreateFailsCleanlyAtEveryCall) {
  std::size_t total;
  std::vector<std::string> calls;
  {
    TempDir dir;
    FailingFileSystem counting;
    ASSERT_TRUE(VectorStoreWriter::create(dir / "s", "docs", testing::test_representation(), Encoding::Float32,
                                          counting)
                    .has_value());
    calls = counting.calls();
    total = calls.size();
  }
  const std::size_t rename_at =
      static_cast<std::size_t>(std::find(calls.begin(), calls.end(), "rename") - calls.begin()) + 1;
  for (std::size_t n = 1; n <= total; ++n) {
    SCOPED_TRACE("call " + std::to_string(n) + ": " + calls[n - 1]);
    TempDir dir;
    const fs::path path = dir / "new" / "s";
    FailingFileSystem failing;
    failing.fail_call(n, n % 2 ? EIO : ENOSPC);
    auto created = VectorStoreWriter::create(path, "docs", testing::test_representation(), Encoding::Float32, failing);
    if (created) {
      EXPECT_TRUE(calls[n - 1] == "remove_file" || calls[n - 1] == "remove_all" || calls[n - 1] == "list")
          << calls[n - 1];
      continue;
    }
    if (n <= rename_at) {
      EXPECT_EQ(created.error().kind(), Error::Kind::Io);
      EXPECT_FALSE(fs::exists(path));
      auto retried = VectorStoreWriter::create(path, "docs", testing::test_representation(), Encoding::Float32);
      ASSERT_TRUE(retried.has_value()) << retried.error().text();
    } else {
      EXPECT_TRUE(created.error().kind() == Error::Kind::Io || created.error().kind() == Error::Kind::Storage);
      auto retried = VectorStoreWriter::open(path);
      ASSERT_TRUE(retried.has_value()) << retried.error().text();
      EXPECT_EQ(retried->manifest().commit, 0u);
    }
    EXPECT_TRUE(leftovers(path).empty());
  }
}

}  // namespace
}  // namespace quillmark
