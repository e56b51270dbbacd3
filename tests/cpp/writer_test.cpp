#include "storage/writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "storage/publication.h"
#include "temp_dir.h"
#include "test_store.h"
#include "writer_test_support.h"

namespace quillmark {
namespace {

using testing::append;
using testing::Batch;
using testing::leftovers;
using testing::make_batch;
using testing::snapshot;
using testing::TempDir;
using testing::test_representation;
namespace fs = std::filesystem;

VectorStoreWriter create_ok(const fs::path& path, Encoding encoding = Encoding::Float32, std::uint64_t dimension = 4,
                            bool normalized = false) {
  auto writer = VectorStoreWriter::create(path, "docs", test_representation(dimension, normalized), encoding);
  if (!writer) throw std::runtime_error(writer.error().debug());
  return std::move(*writer);
}

std::vector<SharedText> texts(std::initializer_list<const char*> list) { return {list.begin(), list.end()}; }

std::vector<std::string> segment_files(const fs::path& path) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(path))
    if (e.path().filename().string().starts_with("segment-")) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

TEST(WriterCreate, NewStoreAndTheWaysCreationIsRefused) {
  TempDir dir;
  const fs::path path = dir / "a" / "store";
  VectorStoreWriter writer = create_ok(path);
  const Manifest& m = writer.manifest();
  EXPECT_EQ(m.commit, 0u);
  EXPECT_EQ(m.next_segment_id, 0u);
  EXPECT_EQ(m.corpus, "docs");
  EXPECT_EQ(m.encoding, "float32");
  EXPECT_TRUE(m.segments.empty());
  EXPECT_EQ(m.store_id.size(), 32u);
  EXPECT_EQ(m.store_id.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(Manifest::read(path).value(), m);
  EXPECT_NE(create_ok(dir / "other").manifest().store_id, m.store_id);

  // Anything at the path: the store, an empty directory, a dangling link.
  fs::create_directory(dir / "empty");
  fs::create_symlink(dir / "nowhere", dir / "link");
  for (const fs::path& taken : {path, dir / "empty", dir / "link"}) {
    auto again = VectorStoreWriter::create(taken, "docs", test_representation(), Encoding::Float32);
    ASSERT_FALSE(again.has_value());
    ASSERT_NE(again.error().io(), nullptr);
    EXPECT_EQ(again.error().io()->kind(), IoErrorKind::AlreadyExists);
    EXPECT_EQ(again.error().text(), "vector store already exists: " + taken.string());
  }
  EXPECT_TRUE(fs::is_empty(dir / "empty"));

  auto unnamed = VectorStoreWriter::create(dir / "unnamed", "", test_representation(), Encoding::Int8);
  ASSERT_FALSE(unnamed.has_value());
  EXPECT_EQ(unnamed.error().kind(), Error::Kind::InvalidInput);
  EXPECT_EQ(unnamed.error().text(), "a vector store's corpus must not be empty");
  EXPECT_FALSE(fs::exists(dir / "unnamed"));
}

TEST(WriterOpen, OneWriterPerStoreAndReadersNeverBlocked) {
  TempDir dir;
  const fs::path path = dir / "store";
  std::optional<VectorStoreWriter> first = create_ok(path);
  auto second = VectorStoreWriter::open(path);
  ASSERT_FALSE(second.has_value());
  ASSERT_NE(second.error().io(), nullptr);
  EXPECT_EQ(second.error().io()->kind(), IoErrorKind::WouldBlock);
  EXPECT_EQ(second.error().text(), "vector store is already open for writing: " + path.string());
  EXPECT_TRUE(VectorStore::open(path).has_value());
  // The refused writer ran no clean-up: the holder's staged files survive.
  ASSERT_TRUE(append(*first, make_batch("a", 2, 4, 1)).has_value());
  const auto staged = segment_files(path);
  EXPECT_FALSE(VectorStoreWriter::open(path).has_value());
  EXPECT_EQ(segment_files(path), staged);
  first.reset();
  auto reopened = VectorStoreWriter::open(path);
  ASSERT_TRUE(reopened.has_value()) << reopened.error().text();
  EXPECT_TRUE(segment_files(path).empty());  // uncommitted append cleaned up

  auto missing = VectorStoreWriter::open(dir / "missing");
  ASSERT_FALSE(missing.has_value());
  ASSERT_NE(missing.error().io(), nullptr);
  EXPECT_EQ(missing.error().io()->kind(), IoErrorKind::NotFound);
}

struct AppendCheck {
  const char* name;
  std::vector<SharedText> ids;
  std::vector<float> values;
  std::size_t columns;
  std::vector<std::uint64_t> lengths;
  std::string message;
};

class WriterAppendChecks : public ::testing::TestWithParam<AppendCheck> {};

TEST_P(WriterAppendChecks, FirstFailingCheckWinsAndNothingIsStaged) {
  TempDir dir;
  VectorStoreWriter writer = create_ok(dir / "s", Encoding::Float32, 3, true);
  const AppendCheck& c = GetParam();
  auto result = writer.append(c.ids, c.values, c.columns, c.lengths, std::nullopt);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), Error::Kind::InvalidInput);
  EXPECT_EQ(result.error().text(), c.message);
  // The checks alone, without a writer, refuse with the same error.
  auto checked = check_append(writer.manifest().representation, c.ids, c.values, c.columns, c.lengths);
  ASSERT_FALSE(checked.has_value());
  EXPECT_EQ(checked.error().kind(), Error::Kind::InvalidInput);
  EXPECT_EQ(checked.error().text(), c.message);
  EXPECT_EQ(writer.next_segment_id(), 0u);
  EXPECT_TRUE(writer.segments().empty());
  EXPECT_TRUE(segment_files(dir / "s").empty());
}

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Cases, WriterAppendChecks,
    ::testing::Values(
        AppendCheck{"ColumnsBeforeEverything", texts({"a", "a"}), {1, 0}, 2, {0}, "embedding dimension 2 differs from the representation dimension 3"},
        AppendCheck{"EmptyMatrix", texts({"a"}), {}, 3, {1}, "embeddings must be a non-empty [tokens, dimension] matrix"},
        AppendCheck{"ZeroLength", texts({"a", "b", "c"}), std::vector<float>(15, 0.0f), 3, {2, 0, 3}, "document lengths must be a non-empty positive vector"},
        AppendCheck{"NoLengths", texts({"a"}), {1, 0, 0}, 3, {}, "document lengths must be a non-empty positive vector"},
        AppendCheck{"LengthsDoNotSum", texts({"a", "b"}), std::vector<float>(15, 0.0f), 3, {2, 2}, "document lengths do not match packed embedding rows"},
        AppendCheck{"LengthsOverflow", texts({"a", "b"}), {1, 0, 0}, 3, {UINT64_MAX, 2}, "document lengths do not match packed embedding rows"},
        AppendCheck{"NaN", texts({"a"}), {1, kNaN, 0}, 3, {1}, "embeddings contain a non-finite value"},
        AppendCheck{"Infinity", texts({"a"}), {-kInf, 0, 0}, 3, {1}, "embeddings contain a non-finite value"},
        AppendCheck{"NotUnit", texts({"a"}), {1.002f, 0, 0}, 3, {1}, "representation declares unit vectors, but rows are not normalized"},
        AppendCheck{"IdCount", texts({"a", "b", "c"}), {1, 0, 0, 0, 1, 0}, 3, {1, 1}, "3 document IDs were given for 2 documents"},
        AppendCheck{"RepeatedId", texts({"b", "a", "c", "a", "b"}), std::vector<float>{1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0}, 3, {1, 1, 1, 1, 1}, "document ID \"a\" appears more than once"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WriterAppend, NothingGivenStagesNothingAndUsesNoId) {
  TempDir dir;
  VectorStoreWriter writer = create_ok(dir / "s");
  for (std::size_t columns : {0u, 4u, 9u}) {
    ASSERT_TRUE(writer.append({}, {}, columns, {}, std::nullopt).has_value());
  }
  EXPECT_EQ(writer.next_segment_id(), 0u);
  EXPECT_TRUE(segment_files(dir / "s").empty());
}

TEST(WriterAppend, UnitToleranceOnlyOnNormalizedRepresentations) {
  const float row_ok[] = {1.0005f, 0, 0}, row_bad[] = {1.002f, 0, 0};
  EXPECT_TRUE(validate_embeddings(row_ok, 3));
  EXPECT_FALSE(validate_embeddings(row_bad, 3));
  // Many rows, one bad near the end: the parallel check still finds it.
  std::vector<float> many(3 * 10000, 0.0f);
  for (std::size_t r = 0; r < 10000; ++r) many[3 * r + 1] = 1.0f;
  EXPECT_TRUE(validate_embeddings(many, 3));
  many[3 * 9876 + 1] = 0.99f;
  EXPECT_FALSE(validate_embeddings(many, 3));
  TempDir dir;
  VectorStoreWriter plain = create_ok(dir / "s", Encoding::Float32, 3, false);
  EXPECT_TRUE(plain.append(texts({"a"}), row_bad, 3, std::vector<std::uint64_t>{1}, std::nullopt).has_value());
}

// A store written by the writer's append, delete_documents and commit reads
// exactly like, and has the same files as, the same store composed by the
// test builder from the core's segment, tombstone and manifest functions
// with chosen segment IDs and deleted rows. (The files are checked against a
// writer independent of the core by the Python tests' store_builder.)
class WriterMatchesBuilder : public ::testing::TestWithParam<Encoding> {};

TEST_P(WriterMatchesBuilder, SameContentReadsIdentically) {
  const Encoding encoding = GetParam();
  TempDir dir;
  testing::TestStore builder(dir / "built", std::string(encoding.name()), 4, false, "docs");
  fs::create_directory(dir / "built");
  VectorStoreWriter writer = create_ok(dir / "written", encoding);
  const Batch first = make_batch("d", 7, 4, 1.0f), second = make_batch("d", 3, 4, 2.0f);
  for (const Batch* batch : {&first, &second}) {
    std::vector<std::pair<std::string, std::vector<float>>> docs;
    std::size_t at = 0;
    for (std::size_t i = 0; i < batch->ids.size(); ++i) {
      const std::size_t n = batch->lengths[i] * 4;
      docs.emplace_back(batch->ids[i].str(), std::vector<float>(batch->values.begin() + at, batch->values.begin() + at + n));
      at += n;
    }
    builder.append(docs);
    ASSERT_TRUE(append(writer, *batch).has_value());
  }
  // d1 replaced by the second batch, then deleted; d5 deleted in segment 0.
  builder.remove(1, {1});
  builder.remove(0, {5});
  EXPECT_EQ(writer.delete_documents(texts({"d1", "d5", "missing"})), 2u);
  builder.publish();
  ASSERT_TRUE(writer.commit().has_value());

  auto built = snapshot(dir / "built"), written = snapshot(dir / "written");
  ASSERT_TRUE(built && written);
  EXPECT_TRUE(written->same_documents(*built));
  EXPECT_EQ(written->ids, (std::vector<std::string>{"d0", "d2", "d3", "d4", "d6"}));
  for (const char* name : {"segment-0.offsets.npy", "segment-1.ids.json", "segment-0.tombstones-1.npy",
                           "segment-1.tombstones-1.npy"})
    EXPECT_EQ(testing::read_bytes(dir / "written" / name), testing::read_bytes(dir / "built" / name)) << name;
  for (const auto& a : Encoding::arrays(encoding, 4)) {
    const std::string name = "segment-0." + std::string(a.name) + ".npy";
    EXPECT_EQ(testing::read_bytes(dir / "written" / name), testing::read_bytes(dir / "built" / name)) << name;
  }
  EXPECT_TRUE(leftovers(dir / "written").empty());

  // The builder's store opens in the writer, which continues it.
  auto continued = VectorStoreWriter::open(dir / "built");
  ASSERT_TRUE(continued.has_value()) << continued.error().text();
  EXPECT_EQ(continued->next_segment_id(), 2u);
  ASSERT_TRUE(append(*continued, make_batch("e", 2, 4, 3.0f)).has_value());
  EXPECT_EQ(continued->delete_documents(texts({"d0"})), 1u);
  ASSERT_TRUE(continued->commit().has_value());
  auto after = snapshot(dir / "built");
  ASSERT_TRUE(after);
  EXPECT_EQ(after->commit, 2u);
  EXPECT_EQ(after->ids, (std::vector<std::string>{"d2", "d3", "d4", "d6", "e0", "e1"}));
}

INSTANTIATE_TEST_SUITE_P(Encodings, WriterMatchesBuilder, ::testing::Values(Encoding::Float32, Encoding::Int8),
                         [](const auto& info) { return std::string(info.param.name()); });

TEST(WriterDelete, NewestOccurrenceDecidesAndListsAreCopiedOnWrite) {
  TempDir dir;
  VectorStoreWriter writer = create_ok(dir / "s");
  ASSERT_TRUE(append(writer, make_batch("x", 2, 4, 1)).has_value());
  ASSERT_TRUE(append(writer, make_batch("x", 1, 4, 2)).has_value());
  auto located = writer.locate("x0");
  ASSERT_TRUE(located);
  EXPECT_EQ(located->segment, 1u);
  EXPECT_EQ(writer.delete_documents(texts({"none", "other"})), 0u);
  EXPECT_TRUE(writer.changed_segments().empty());
  const auto held = writer.segments()[1].tombstones;  // another holder of the list
  EXPECT_EQ(writer.delete_documents(texts({"x0", "x0"})), 1u);
  EXPECT_FALSE(writer.locate("x0"));  // the older occurrence stays hidden
  EXPECT_FALSE(writer.segments()[0].deleted(0));
  EXPECT_TRUE(held->empty());
  EXPECT_EQ(*writer.segments()[1].tombstones, std::vector<std::uint64_t>{0});
  EXPECT_EQ(writer.changed_segments(), std::set<std::uint64_t>{1});
}

TEST(WriterCommit, NumbersTimesAndTombstoneFiles) {
  TempDir dir;
  const fs::path path = dir / "s";
  VectorStoreWriter writer = create_ok(path);
  const double created = writer.manifest().committed_at;
  auto empty = writer.commit();
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(writer.manifest().commit, 1u);
  EXPECT_GE(writer.manifest().committed_at, created);
  auto store = VectorStore::open(path).value();
  EXPECT_EQ(store->current_view()->as_of(), *empty);

  ASSERT_TRUE(append(writer, make_batch("a", 5, 4, 1)).has_value());
  ASSERT_TRUE(writer.commit().has_value());  // commit 2
  writer.delete_documents(texts({"a3"}));
  ASSERT_TRUE(writer.commit().has_value());  // commit 3
  EXPECT_TRUE(fs::exists(tombstones_file(path, 0, 3)));
  writer.delete_documents(texts({"a1"}));
  ASSERT_TRUE(writer.commit().has_value());  // commit 4 supersedes 3
  EXPECT_FALSE(fs::exists(tombstones_file(path, 0, 3)));
  EXPECT_EQ(writer.manifest().segments[0].tombstones, 4u);
  auto rows = NpyArray::open(tombstones_file(path, 0, 4)).value();
  const auto values = rows.values<std::uint64_t>().value();
  EXPECT_EQ(std::vector<std::uint64_t>(values.begin(), values.end()), (std::vector<std::uint64_t>{1, 3}));
  EXPECT_EQ(Manifest::read(path).value(), writer.manifest());
  EXPECT_TRUE(writer.changed_segments().empty());
  EXPECT_TRUE(leftovers(path).empty());
  // The reader follows and reports the last commit's time.
  auto view = store->store_view().value();
  EXPECT_EQ(view->commit(), 4u);
  EXPECT_EQ(view->as_of(), writer.manifest().committed_at_time().value());
}

// A clock that stepped back never makes a commit older than the previous
// one, to the nanosecond readers see.
TEST(WriterCommit, CommitTimesOnlyIncrease) {
  for (double previous : {0.0, 12.5, 1'700'000'000.123456789, 1'800'000'000.0}) {
    for (double now : {previous - 3600.0, previous, std::nextafter(previous, 0.0), previous + 1e-10}) {
      if (now < 0) continue;
      const double next = next_commit_time(previous, now);
      EXPECT_GT(time_from_seconds(next).value(), time_from_seconds(previous).value()) << previous << " " << now;
      EXPECT_LT(next - previous, 1e-6);
    }
    EXPECT_EQ(next_commit_time(previous, previous + 2.0), previous + 2.0);
  }
}

TEST(WriterCommit, FailureBeforeRenameKeepsEverythingStaged) {
  TempDir dir;
  const fs::path path = dir / "s";
  VectorStoreWriter writer = create_ok(path);
  ASSERT_TRUE(append(writer, make_batch("a", 3, 4, 1)).has_value());
  ASSERT_TRUE(writer.commit().has_value());
  writer.delete_documents(texts({"a1"}));
  const std::string before = testing::read_bytes(path / "manifest.json");
  auto failed = writer.commit_with([](const Directory&, const Manifest&, bool&) -> Result<void> {
    return std::unexpected(IoError::from_errno(ENOSPC));
  });
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().io()->kind(), IoErrorKind::StorageFull);
  EXPECT_EQ(testing::read_bytes(path / "manifest.json"), before);
  EXPECT_FALSE(fs::exists(tombstones_file(path, 0, 2)));
  EXPECT_EQ(writer.changed_segments(), std::set<std::uint64_t>{0});
  ASSERT_TRUE(writer.commit().has_value());
  EXPECT_EQ(writer.manifest().commit, 2u);
  EXPECT_TRUE(fs::exists(tombstones_file(path, 0, 2)));

  // Published, but the manifest writer reports a failure afterwards: the
  // writer is committed and the error returned; the next commit follows.
  writer.delete_documents(texts({"a0"}));
  auto late = writer.commit_with([](const Directory& store, const Manifest& m, bool& published) -> Result<void> {
    QM_TRY(write_manifest(os_file_system(), store, m, published));
    return std::unexpected(Error::storage("late"));
  });
  ASSERT_FALSE(late.has_value());
  EXPECT_EQ(late.error().text(), "late");
  EXPECT_EQ(writer.manifest().commit, 3u);
  EXPECT_EQ(Manifest::read(path).value(), writer.manifest());
  EXPECT_TRUE(writer.changed_segments().empty());
  ASSERT_TRUE(writer.commit().has_value());
  EXPECT_EQ(snapshot(path)->ids, std::vector<std::string>{"a2"});
}

TEST(WriterCompact, CasesOfCompaction) {
  TempDir dir;
  const fs::path path = dir / "s";
  VectorStoreWriter writer = create_ok(path, Encoding::Int8);
  ASSERT_TRUE(writer.compact().has_value());  // no segment
  ASSERT_TRUE(append(writer, make_batch("a", 4, 4, 1)).has_value());
  ASSERT_TRUE(writer.commit().has_value());
  const auto files = segment_files(path);
  ASSERT_TRUE(writer.compact().has_value());  // one segment, nothing deleted
  EXPECT_EQ(writer.next_segment_id(), 1u);
  EXPECT_EQ(segment_files(path), files);

  // a1 replaced by a newer version, a2 deleted; compaction keeps each
  // present document once at its current occurrence, bytes unchanged.
  ASSERT_TRUE(append(writer, make_batch("a", 2, 4, 5)).has_value());
  writer.delete_documents(texts({"a2"}));
  ASSERT_TRUE(writer.commit().has_value());
  const auto staged = snapshot(path).value();
  ASSERT_TRUE(writer.compact().has_value());
  ASSERT_EQ(writer.segments().size(), 1u);
  const LiveSegment& compacted = writer.segments()[0];
  EXPECT_EQ(compacted.entry.id, 2u);
  std::vector<std::string> ids;
  for (const auto& id : compacted.data->ids()) ids.push_back(id.str());
  EXPECT_EQ(ids, (std::vector<std::string>{"a3", "a0", "a1"}));
  EXPECT_TRUE(writer.changed_segments().empty());
  ASSERT_TRUE(writer.commit().has_value());
  EXPECT_TRUE(snapshot(path)->same_documents(staged));  // int8 rows copied as stored
  EXPECT_EQ(segment_files(path),
            (std::vector<std::string>{"segment-2.codes.npy", "segment-2.ids.json", "segment-2.offsets.npy",
                                      "segment-2.scales.npy", "segment-2.sources.npy"}));
  // A deletion after the compaction writes a tombstone file for the new
  // segment only.
  writer.delete_documents(texts({"a0"}));
  ASSERT_TRUE(writer.commit().has_value());
  EXPECT_TRUE(fs::exists(tombstones_file(path, 2, writer.manifest().commit)));

  // Everything deleted: compaction leaves no segment and uses no ID.
  writer.delete_documents(texts({"a1", "a3"}));
  ASSERT_TRUE(writer.compact().has_value());
  EXPECT_TRUE(writer.segments().empty());
  EXPECT_EQ(writer.next_segment_id(), 3u);
  ASSERT_TRUE(writer.commit().has_value());
  EXPECT_TRUE(writer.manifest().segments.empty());
  EXPECT_TRUE(segment_files(path).empty());
}

TEST(WriterCleanup, LeftoversGoOtherNamesStay) {
  TempDir dir;
  const fs::path path = dir / "s";
  {
    VectorStoreWriter writer = create_ok(path);
    ASSERT_TRUE(append(writer, make_batch("a", 2, 4, 1)).has_value());
    ASSERT_TRUE(writer.commit().has_value());
    ASSERT_TRUE(append(writer, make_batch("b", 2, 4, 1)).has_value());  // never committed
  }
  fs::create_directory(path / ".staging-abcdef");
  testing::write_bytes(path / ".staging-abcdef" / "segment-9.ids.json", "[]");
  testing::write_bytes(path / "manifest.json.xyzXYZ", "{");
  testing::write_bytes(path / "notes.txt", "keep");
  testing::write_bytes(path / ".staging-x", "keep");
  fs::create_directory(path / "segment-x");
  ASSERT_TRUE(VectorStoreWriter::open(path).has_value());
  EXPECT_EQ(leftovers(path), (std::vector<std::string>{".staging-x", "notes.txt", "segment-x"}));
  EXPECT_EQ(snapshot(path)->ids, (std::vector<std::string>{"a0", "a1"}));
}

TEST(WriterIds, ExhaustedSegmentAndCommitNumbers) {
  TempDir dir;
  const fs::path path = dir / "s";
  testing::TestStore builder(path);
  fs::create_directory(path);
  builder.manifest().next_segment_id = UINT64_MAX;
  builder.manifest().commit = UINT64_MAX - 1;
  builder.publish();
  VectorStoreWriter writer = VectorStoreWriter::open(path).value();
  auto appended = append(writer, make_batch("a", 1, 4, 1));
  ASSERT_FALSE(appended.has_value());
  EXPECT_EQ(appended.error().text(), "segment IDs exhausted");
  auto commit = writer.commit();
  ASSERT_FALSE(commit.has_value());
  EXPECT_EQ(commit.error().text(), "commit numbers exhausted");
  EXPECT_EQ(Manifest::read(path)->commit, UINT64_MAX);
}

}  // namespace
}  // namespace quillmark
