// store_stats against what the store directory and the writer show: sizes
// by fstat of every file by kind, the present documents by the reader's
// own listing, and the files a compaction really removes.

#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "no_flush_file_system.h"
#include "storage/store_stats.h"
#include "storage/writer.h"
#include "temp_dir.h"
#include "writer_test_support.h"

namespace quillmark {
namespace {

using testing::append;
using testing::make_batch;
using testing::TempDir;
namespace fs = std::filesystem;

struct StatsCase {
  std::string name;
  Encoding encoding;
  std::function<void(VectorStoreWriter&)> build;  // commits what it makes
};

void commit(VectorStoreWriter& w) { ASSERT_TRUE(w.commit().has_value()); }

std::vector<StatsCase> stats_cases() {
  auto mixed = [](VectorStoreWriter& w) {
    ASSERT_TRUE(append(w, make_batch("a", 6, 4, 1)).has_value());
    ASSERT_TRUE(append(w, make_batch("b", 3, 4, 2)).has_value());
    commit(w);
    ASSERT_TRUE(w.compact().has_value());  // a segment with a sources file
    commit(w);
    ASSERT_TRUE(append(w, make_batch("a", 2, 4, 3)).has_value());  // a0, a1 replaced
    w.delete_documents(std::vector<SharedText>{"b0", "a4", "a0"});
    commit(w);
  };
  auto single = [](VectorStoreWriter& w) {
    ASSERT_TRUE(append(w, make_batch("a", 5, 4, 1)).has_value());
    commit(w);
  };
  auto single_deleted = [](VectorStoreWriter& w) {
    ASSERT_TRUE(append(w, make_batch("a", 5, 4, 1)).has_value());
    commit(w);
    w.delete_documents(std::vector<SharedText>{"a3"});
    commit(w);
  };
  return {
      {"empty", Encoding::Float32, [](VectorStoreWriter&) {}},
      {"float32_one_segment", Encoding::Float32, single},
      {"int8_one_segment_with_deletion", Encoding::Int8, single_deleted},
      {"float32_mixed", Encoding::Float32, mixed},
      {"int8_mixed", Encoding::Int8, mixed},
  };
}

// The kind of a store file by its name, as the statistics name kinds.
std::string kind_of(const std::string& name) {
  if (name == "manifest.json") return "manifest";
  if (name.ends_with(".ids.json")) return "ids";
  if (name.find(".tombstones-") != std::string::npos) return "tombstones";
  const auto dot = name.find('.');
  return name.substr(dot + 1, name.size() - dot - 1 - 4);  // segment-N.KIND.npy
}

std::set<std::string> names_in(const fs::path& directory) {
  std::set<std::string> out;
  for (const auto& entry : fs::directory_iterator(directory)) out.insert(entry.path().filename().string());
  return out;
}

class StoreStatsTest : public ::testing::TestWithParam<StatsCase> {};

TEST_P(StoreStatsTest, AgreeWithTheDirectoryTheReaderAndACompaction) {
  TempDir dir;
  testing::NoFlushFileSystem no_flush;
  VectorStoreWriter w =
      VectorStoreWriter::create(dir / "s", "docs", testing::test_representation(), GetParam().encoding, no_flush)
          .value();
  GetParam().build(w);
  auto view = VectorStore::open(dir / "s").value()->store_view().value();
  const StoreStats stats = store_stats(*view);

  EXPECT_EQ(stats.segments, view->segments().size());
  EXPECT_EQ(stats.encoding, GetParam().encoding);
  EXPECT_EQ(stats.dimension, 4u);
  EXPECT_EQ(stats.commit, view->commit());
  EXPECT_EQ(stats.committed_at, view->as_of());
  const std::vector<SharedText> ids = view->document_ids();
  EXPECT_EQ(stats.live_documents, ids.size());
  std::uint64_t live_tokens = 0, rows = 0, stored = 0;
  for (auto length : view->lengths(ids)) live_tokens += *length;
  for (const LiveSegment& s : view->segments()) rows += s.entry.documents, stored += s.entry.tokens;
  EXPECT_EQ(stats.live_tokens, live_tokens);
  EXPECT_EQ(stats.superseded_documents, rows - ids.size());
  EXPECT_EQ(stats.stored_tokens, stored);

  std::map<std::string, FileKindUsage> on_disk;
  for (const std::string& name : names_in(dir / "s")) {
    FileKindUsage& usage = on_disk[kind_of(name)];
    ++usage.files;
    usage.bytes += fs::file_size(dir / "s" / name);
  }
  std::vector<std::string> kinds;
  for (const auto& [kind, usage] : stats.on_disk) {
    kinds.push_back(kind);
    EXPECT_EQ(usage.files, on_disk[kind].files) << kind;
    EXPECT_EQ(usage.bytes, on_disk[kind].bytes) << kind;
  }
  const std::vector<std::string> arrays = GetParam().encoding == Encoding::Int8
                                              ? std::vector<std::string>{"codes", "scales"}
                                              : std::vector<std::string>{"vectors"};
  std::vector<std::string> expected_kinds = arrays;
  for (const char* k : {"offsets", "ids", "tombstones", "sources", "manifest"}) expected_kinds.push_back(k);
  EXPECT_EQ(kinds, expected_kinds);

  // What a compaction and its commit do remove.
  const std::set<std::string> before = names_in(dir / "s");
  ASSERT_TRUE(w.compact().has_value());
  commit(w);
  const std::set<std::string> after = names_in(dir / "s");
  std::size_t removed = 0;
  for (const std::string& name : before) removed += after.contains(name) ? 0 : 1;
  EXPECT_EQ(stats.compaction_removes, removed);
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreStatsTest, ::testing::ValuesIn(stats_cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quillmark
