// Allocation failure in writer operations: the global operator new of this
// test binary fails the N-th allocation of the armed thread with
// std::bad_alloc (what the binding turns into MemoryError), for every N of
// an append, a deletion, a commit, a compaction and a merge (the manifest's
// serialisation aside, see commit below). The store must stay at
// the previous commit or, once the manifest's rename happened, at the new
// one; the same writer must then finish the work; and a reopened writer
// must leave nothing behind.

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>

#include "no_flush_file_system.h"
#include "storage/publication.h"
#include "storage/writer.h"
#include "temp_dir.h"
#include "writer_test_support.h"

namespace {

// Allocations of the armed thread only: the pool's workers and the test
// framework allocate as usual.
thread_local bool armed = false;
thread_local std::size_t allocations = 0;
thread_local std::size_t fail_at = 0;  // 0: count only

void* allocate(std::size_t size) {
  if (armed) {
    ++allocations;
    if (allocations == fail_at) throw std::bad_alloc();
  }
  if (size == 0) size = 1;
  if (void* p = std::malloc(size)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace quillmark {
namespace {

using testing::append;
using testing::leftovers;
using testing::make_batch;
using testing::snapshot;
using testing::TempDir;
namespace fs = std::filesystem;

// Counts (fail == 0) or fails the fail-th allocation of `run`; whether
// std::bad_alloc came out of it.
bool with_allocations(std::size_t fail, const std::function<void()>& run, std::size_t* counted = nullptr) {
  allocations = 0;
  fail_at = fail;
  armed = true;
  bool thrown = false;
  try {
    run();
  } catch (const std::bad_alloc&) {
    thrown = true;
  }
  armed = false;
  if (counted) *counted = allocations;
  return thrown;
}

testing::NoFlushFileSystem no_flush;

struct Operation {
  const char* name;
  Encoding encoding;
  std::function<Result<void>(VectorStoreWriter&)> run;  // ends with a commit
  // The committed store it starts from (none: a0..a5 and b0..b2).
  std::function<void(VectorStoreWriter&)> base = nullptr;
};

// The commit, with the manifest's writing left out of the count:
// nlohmann::json allocates while destroying a container (in a noexcept
// destructor), so a failed allocation inside Manifest::to_json ends the
// process whatever the writer does.
Result<void> commit(VectorStoreWriter& w) {
  QM_TRY(w.commit_with([](const Directory& store, const Manifest& manifest, bool& published) {
    const bool was_armed = armed;
    armed = false;
    auto written = write_manifest(no_flush, store, manifest, published);
    armed = was_armed;
    return written;
  }));
  return {};
}

const Operation kOperations[] = {
    {"AppendFloat32Commit", Encoding::Float32,
     [](VectorStoreWriter& w) -> Result<void> {
       QM_TRY(append(w, make_batch("c", 5, 4, 3)));
       return commit(w);
     }},
    {"AppendInt8Commit", Encoding::Int8,
     [](VectorStoreWriter& w) -> Result<void> {
       QM_TRY(append(w, make_batch("c", 5, 4, 3), 2));
       return commit(w);
     }},
    {"DeleteCommit", Encoding::Float32,
     [](VectorStoreWriter& w) -> Result<void> {
       const std::vector<SharedText> ids{"a1", "b0", "a4"};
       w.delete_documents(ids);
       return commit(w);
     }},
    {"DeleteCompactCommit", Encoding::Int8,
     [](VectorStoreWriter& w) -> Result<void> {
       const std::vector<SharedText> ids{"a1", "b2"};
       w.delete_documents(ids);
       QM_TRY(w.compact());
       return commit(w);
     }},
    // a1 deleted where it decides: the merge marks its older occurrence.
    {"DeleteMergeCommit", Encoding::Float32,
     [](VectorStoreWriter& w) -> Result<void> {
       const std::vector<SharedText> ids{"a1", "sb0"};
       w.delete_documents(ids);
       QM_TRY(w.merge());
       return commit(w);
     },
     testing::merge_base},
};

void PrintTo(const Operation& op, std::ostream* out) { *out << op.name; }

VectorStoreWriter prepare(const fs::path& path, const Operation& op) {
  auto writer =
      VectorStoreWriter::create(path, "docs", testing::test_representation(), op.encoding, no_flush).value();
  if (op.base) {
    op.base(writer);
  } else {
    EXPECT_TRUE(append(writer, make_batch("a", 6, 4, 1)).has_value());
    EXPECT_TRUE(append(writer, make_batch("b", 3, 4, 2)).has_value());
  }
  EXPECT_TRUE(writer.commit().has_value());
  return writer;
}

class AllocationFailure : public ::testing::TestWithParam<Operation> {};

TEST_P(AllocationFailure, EveryFailedAllocationLeavesAConsistentStoreAndAUsableWriter) {
  const Operation& op = GetParam();
  testing::Snapshot before, after;
  std::size_t total = 0;
  {
    TempDir dir;
    VectorStoreWriter writer = prepare(dir / "s", op);
    before = snapshot(dir / "s").value();
    ASSERT_FALSE(with_allocations(0, [&] { ASSERT_TRUE(op.run(writer).has_value()); }, &total));
    after = snapshot(dir / "s").value();
  }
  ASSERT_FALSE(before.same_documents(after));
  ASSERT_GT(total, 20u);
  std::size_t failed = 0;
  for (std::size_t n = 1; n <= total; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(total));
    TempDir dir;
    const fs::path path = dir / "s";
    VectorStoreWriter writer = prepare(path, op);
    Result<void> result;
    const bool thrown = with_allocations(n, [&] { result = op.run(writer); });
    // Out of memory is std::bad_alloc, or an error where the core turns it
    // into one (a worker pool that cannot be built).
    failed += thrown || !result;
    const testing::Snapshot seen = snapshot(path).value();
    const bool published = seen.commit == before.commit + 1;
    EXPECT_TRUE(seen.commit == before.commit || published) << seen.commit;
    EXPECT_TRUE(seen.same_documents(published ? after : before));
    // The same writer finishes the work: the operation again, unless its
    // commit was published.
    if (!published) {
      auto retried = op.run(writer);
      ASSERT_TRUE(retried.has_value()) << retried.error().text();
    }
    EXPECT_TRUE(snapshot(path)->same_documents(after));
    { VectorStoreWriter dropped = std::move(writer); }
    ASSERT_TRUE(VectorStoreWriter::open(path, no_flush).has_value());
    EXPECT_EQ(leftovers(path), std::vector<std::string>{});
    EXPECT_TRUE(snapshot(path)->same_documents(after));
  }
  std::cout << "[ alloc    ] " << op.name << ": " << total << " allocations, " << failed
            << " failed with std::bad_alloc or an error\n";
  EXPECT_GT(failed, total / 2);
}

INSTANTIATE_TEST_SUITE_P(Operations, AllocationFailure, ::testing::ValuesIn(kOperations),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillmark
