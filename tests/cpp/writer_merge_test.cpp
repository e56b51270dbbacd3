// The tiered merge of the store writer, and the sources files that copied
// segments (merge and compact) carry.

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "no_flush_file_system.h"
#include "storage/format/int8.h"
#include "storage/segment_sources.h"
#include "storage/writer.h"
#include "temp_dir.h"
#include "writer_test_support.h"

namespace quillmark {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

constexpr std::size_t kDimension = 4;

testing::NoFlushFileSystem no_flush;

// Document id -> the float32 values a reader returns for it.
using Content = std::map<std::string, std::vector<float>>;

// `prefix` then the numbers, joined by "-".
template <class... N>
std::string name(const char* prefix, N... numbers) {
  std::string out = prefix;
  ((out += std::to_string(numbers), out += '-'), ...);
  out.pop_back();
  return out;
}
using Documents = std::vector<std::pair<std::string, std::vector<float>>>;

// `tokens` rows of random values.
std::vector<float> random_values(std::size_t tokens, std::mt19937_64& random) {
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  std::vector<float> out(tokens * kDimension);
  for (float& v : out) v = value(random);
  return out;
}

Result<void> append_documents(VectorStoreWriter& writer, const Documents& documents) {
  std::vector<SharedText> ids;
  std::vector<float> values;
  std::vector<std::uint64_t> lengths;
  for (const auto& [id, v] : documents) {
    ids.emplace_back(id);
    values.insert(values.end(), v.begin(), v.end());
    lengths.push_back(v.size() / kDimension);
  }
  return writer.append(ids, values, kDimension, lengths, 1);
}

// What a reader returns for `values` appended to a store of `encoding`.
std::vector<float> stored(Encoding encoding, const std::vector<float>& values) {
  if (encoding == Encoding::Float32) return values;
  const std::size_t rows = values.size() / kDimension;
  std::vector<std::int8_t> codes(values.size());
  std::vector<float> scales(rows), out(values.size());
  int8_encode(values, kDimension, codes, scales);
  int8_decode(codes, scales, kDimension, false, out);
  return out;
}

Content content_of(const StoreView& view) {
  const std::vector<SharedText> ids = view.document_ids();
  PackedDocuments packed = view.fetch(ids, 1).value();
  Content out;
  std::size_t at = 0;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const std::size_t n = packed.lengths()[i] * kDimension;
    out[ids[i].str()] = std::vector<float>(packed.vectors().begin() + at, packed.vectors().begin() + at + n);
    at += n;
  }
  return out;
}

// What the writer would publish now.
Content staged_content(const VectorStoreWriter& writer) {
  Manifest manifest = writer.manifest();
  manifest.segments.clear();
  for (const LiveSegment& segment : writer.segments()) manifest.segments.push_back(segment.entry);
  return content_of(StoreView(std::move(manifest), writer.encoding(), TimeValue{}, writer.segments()));
}

// What a reader of the store at `path` sees.
Content committed_content(const fs::path& path) {
  auto store = VectorStore::open(path).value();
  return content_of(*store->store_view().value());
}

std::vector<std::uint64_t> sizes(const VectorStoreWriter& writer) {
  std::vector<std::uint64_t> out;
  for (const LiveSegment& segment : writer.segments())
    out.push_back(segment.entry.documents - segment.tombstones->size());
  return out;
}

// Whether some level (floor(log10(max(size, 1)))) holds kMergeFactor
// segments or more: what no merge may leave.
bool has_full_level(const VectorStoreWriter& writer) {
  std::map<int, std::uint64_t> counts;
  for (std::uint64_t size : sizes(writer)) {
    int level = 0;
    for (std::uint64_t bound = 10; size >= bound && level < 19; bound *= 10) ++level;
    if (++counts[level] >= kMergeFactor) return true;
  }
  return false;
}

// Every segment loaded so far, by ID: the sources of a copy name them.
using Registry = std::map<std::uint64_t, std::shared_ptr<const SegmentData>>;

void remember(const VectorStoreWriter& writer, Registry& registry) {
  // A staged segment discarded by a reopening leaves its ID to the next.
  for (const LiveSegment& segment : writer.segments()) registry.insert_or_assign(segment.entry.id, segment.data);
}

// Checks the sources file of every segment made since `first_new` (an ID):
// none for appended segments; for copies, each row names a known segment
// by its fingerprint and holds the very bytes and id of the source row, or
// names a segment made by the same operation (a merge of several rounds).
// Returns the rows checked against a known source.
std::size_t check_new_segments(const VectorStoreWriter& writer, const Directory& store, std::uint64_t first_new,
                               bool copied, const Registry& registry) {
  std::size_t checked = 0;
  for (const LiveSegment& segment : writer.segments()) {
    if (segment.entry.id < first_new) continue;
    auto sources = load_segment_sources(store, segment.entry);
    EXPECT_TRUE(sources.has_value() && sources->has_value() == copied) << "segment " << segment.entry.id;
    if (!sources || !*sources) continue;
    for (std::uint64_t r = 0; r < segment.entry.documents; ++r) {
      const SegmentSource& source = (**sources)[r];
      auto known = registry.find(source.segment);
      if (known == registry.end()) {
        EXPECT_GE(source.segment, first_new) << "row " << r << " of segment " << segment.entry.id;
        continue;
      }
      const SegmentData& from = *known->second;
      EXPECT_EQ(source.fingerprint, from.fingerprint());
      EXPECT_LT(source.row, from.ids().size());
      if (source.row >= from.ids().size()) continue;
      EXPECT_EQ(from.ids()[source.row], segment.data->ids()[r]);
      EXPECT_EQ(testing::row_bytes(from, source.row), testing::row_bytes(*segment.data, r));
      ++checked;
    }
  }
  return checked;
}

// --- the policy ---

struct PolicyCase {
  const char* name;
  std::vector<std::uint64_t> documents;  // one appended segment each, oldest first
  std::vector<std::uint64_t> deleted;    // of each segment, its first rows deleted (empty: none)
  std::uint64_t replaced;
  std::vector<std::uint64_t> sizes_after;
};

std::vector<std::uint64_t> repeat(std::size_t n, std::uint64_t value) { return std::vector<std::uint64_t>(n, value); }

std::vector<std::uint64_t> join(std::initializer_list<std::vector<std::uint64_t>> parts) {
  std::vector<std::uint64_t> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

const PolicyCase kPolicyCases[] = {
    {"NineSmallStay", repeat(9, 1), {}, 0, repeat(9, 1)},
    {"TenSmallBecomeOne", repeat(10, 1), {}, 10, {10}},
    // Level 0 first; its merged segment completes level 1, merged next.
    {"LowestLevelFirstThenCascade", join({repeat(9, 10), repeat(10, 1)}), {}, 20, {100}},
    {"MergedSegmentJoinsAFullerLevel", join({repeat(10, 10), repeat(10, 1)}), {}, 21, {110}},
    {"OtherLevelsStay", join({{150}, repeat(10, 2), repeat(3, 20)}), {}, 10, {150, 20, 20, 20, 20}},
    {"DeletedRowsDoNotCount", repeat(10, 12), repeat(10, 3), 10, {90}},
    {"EmptySegmentsLeaveNothing", repeat(10, 2), repeat(10, 2), 10, {}},
};

void PrintTo(const PolicyCase& c, std::ostream* out) { *out << c.name; }

class MergePolicy : public ::testing::TestWithParam<PolicyCase> {};

TEST_P(MergePolicy, MergesTheLowestFullLevelUntilNoneIsFull) {
  const PolicyCase& c = GetParam();
  TempDir dir;
  const fs::path path = dir / "s";
  std::mt19937_64 random(7);
  {
    auto writer = VectorStoreWriter::create(path, "docs", testing::test_representation(), Encoding::Float32, no_flush);
    ASSERT_TRUE(writer.has_value());
    for (std::size_t s = 0; s < c.documents.size(); ++s) {
      Documents documents;
      for (std::uint64_t i = 0; i < c.documents[s]; ++i)
        documents.emplace_back(name("s", s, i), random_values(1 + i % 2, random));
      ASSERT_TRUE(append_documents(*writer, documents).has_value());
    }
    ASSERT_TRUE(writer->commit().has_value());
  }
  auto writer = VectorStoreWriter::open(path, no_flush).value();
  for (std::size_t s = 0; s < c.deleted.size(); ++s)
    for (std::uint64_t i = 0; i < c.deleted[s]; ++i)
      writer.delete_documents(std::vector<SharedText>{SharedText(name("s", s, i))});
  const Content before = staged_content(writer);

  auto replaced = writer.merge();
  ASSERT_TRUE(replaced.has_value()) << replaced.error().text();
  EXPECT_EQ(*replaced, c.replaced);
  EXPECT_EQ(sizes(writer), c.sizes_after);
  EXPECT_FALSE(has_full_level(writer));
  EXPECT_EQ(staged_content(writer), before);
  EXPECT_EQ(writer.merge().value(), 0u);
  ASSERT_TRUE(writer.commit().has_value());
  { VectorStoreWriter dropped = std::move(writer); }
  auto reopened = VectorStoreWriter::open(path, no_flush);
  ASSERT_TRUE(reopened.has_value());
  EXPECT_EQ(sizes(*reopened), c.sizes_after);
  EXPECT_EQ(committed_content(path), before);
  EXPECT_EQ(testing::leftovers(path), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Cases, MergePolicy, ::testing::ValuesIn(kPolicyCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A merged segment that holds the deciding, deleted occurrence of "x" must
// not let the older live occurrence outside the merge decide again; one
// whose "z" is hidden by a newer segment outside the merge must not copy it
// above that segment.
TEST(Merge, KeepsDeletionsDeletedAndHiddenRowsHidden) {
  TempDir dir;
  const fs::path path = dir / "s";
  std::mt19937_64 random(11);
  auto writer = VectorStoreWriter::create(path, "docs", testing::test_representation(), Encoding::Float32, no_flush)
                    .value();
  Documents old{{"x", random_values(2, random)}};  // level 1: 12 documents
  for (int i = 0; i < 11; ++i) old.emplace_back(name("a", i), random_values(1, random));
  ASSERT_TRUE(append_documents(writer, old).has_value());
  ASSERT_TRUE(append_documents(writer, {{"x", random_values(1, random)}}).has_value());
  ASSERT_TRUE(append_documents(writer, {{"z", random_values(1, random)}}).has_value());
  for (int i = 0; i < 8; ++i)
    ASSERT_TRUE(append_documents(writer, {{name("y", i), random_values(1, random)}}).has_value());
  Documents newer{{"z", random_values(3, random)}};  // level 1: 11 documents
  for (int i = 0; i < 10; ++i) newer.emplace_back(name("b", i), random_values(1, random));
  ASSERT_TRUE(append_documents(writer, newer).has_value());
  ASSERT_TRUE(writer.commit().has_value());
  ASSERT_EQ(writer.delete_documents(std::vector<SharedText>{"x"}), 1u);
  const Content before = staged_content(writer);
  ASSERT_FALSE(before.contains("x"));
  const std::uint64_t old_segment = writer.segments()[0].entry.id;
  const std::uint64_t newer_segment = writer.segments()[11].entry.id;

  ASSERT_EQ(writer.merge().value(), 10u);
  ASSERT_EQ(writer.segments().size(), 3u);
  const LiveSegment& merged = writer.segments()[2];
  std::vector<std::string> merged_ids;
  for (const SharedText& id : merged.data->ids()) merged_ids.push_back(id.str());
  EXPECT_EQ(merged_ids, (std::vector<std::string>{"y0", "y1", "y2", "y3", "y4", "y5", "y6", "y7"}));
  EXPECT_EQ(*writer.segments()[0].tombstones, std::vector<std::uint64_t>{0});  // the old "x"
  EXPECT_EQ(writer.changed_segments(), std::set<std::uint64_t>{old_segment});
  EXPECT_EQ(writer.segments()[1].entry.id, newer_segment);
  EXPECT_EQ(staged_content(writer), before);
  ASSERT_TRUE(writer.commit().has_value());
  { VectorStoreWriter dropped = std::move(writer); }
  ASSERT_TRUE(VectorStoreWriter::open(path, no_flush).has_value());
  EXPECT_EQ(committed_content(path), before);
}

// --- a random model ---

struct ModelCase {
  Encoding encoding;
  std::uint64_t seed;
};

void PrintTo(const ModelCase& c, std::ostream* out) { *out << c.encoding.name() << " seed " << c.seed; }

class MergeModel : public ::testing::TestWithParam<ModelCase> {};

// Random appends (replacing documents), deletions, merges, compactions,
// commits and reopenings, against a dictionary of what each document must
// read back: the writer's staged state after every step, the store after
// every commit, and the sources of every copied segment.
TEST_P(MergeModel, EveryDocumentReadsBackAsAppended) {
  const ModelCase c = GetParam();
  TempDir dir;
  const fs::path path = dir / "s";
  std::mt19937_64 random(c.seed);
  auto chance = [&](double p) { return std::bernoulli_distribution(p)(random); };
  auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
  std::optional<VectorStoreWriter> writer;
  writer.emplace(VectorStoreWriter::create(path, "docs", testing::test_representation(), c.encoding, no_flush).value());
  Directory store = Directory::open(path).value();
  Content staged, committed;
  Registry registry;
  std::size_t merges = 0, merged_segments = 0, sources_checked = 0;
  constexpr std::size_t kIds = 400;
  for (int step = 0; step < 400; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    remember(*writer, registry);
    const std::uint64_t first_new = writer->next_segment_id();
    const double op = std::uniform_real_distribution<double>(0, 1)(random);
    bool copied = true;
    if (op < 0.45) {
      copied = false;
      // Mostly small batches, now and then a large one.
      const std::size_t count = chance(0.15) ? 10 + pick(40) : 1 + pick(4);
      std::map<std::string, std::vector<float>> batch;
      while (batch.size() < count) batch[name("d", pick(kIds))] = random_values(1 + pick(3), random);
      Documents documents(batch.begin(), batch.end());
      ASSERT_TRUE(append_documents(*writer, documents).has_value());
      for (const auto& [id, values] : documents) staged[id] = stored(c.encoding, values);
    } else if (op < 0.60) {
      std::vector<SharedText> ids;
      for (std::size_t i = 0, n = 1 + pick(6); i < n; ++i) ids.emplace_back(name("d", pick(kIds)));
      std::uint64_t present = 0;
      for (const SharedText& id : ids) present += staged.erase(id.str());
      EXPECT_EQ(writer->delete_documents(ids), present);
    } else if (op < 0.78) {
      const std::size_t count = writer->segments().size();
      auto replaced = writer->merge();
      ASSERT_TRUE(replaced.has_value()) << replaced.error().text();
      EXPECT_FALSE(has_full_level(*writer));
      if (*replaced > 0) {
        ++merges;
        merged_segments += *replaced;
        EXPECT_LT(writer->segments().size(), count);
      }
    } else if (op < 0.80) {
      ASSERT_TRUE(writer->compact().has_value());
    } else if (op < 0.95) {
      ASSERT_TRUE(writer->commit().has_value());
      committed = staged;
      ASSERT_EQ(committed_content(path), committed);
    } else {
      writer.reset();
      writer.emplace(VectorStoreWriter::open(path, no_flush).value());
      writer->set_merge_at_commit(chance(0.5));
      staged = committed;
    }
    sources_checked += check_new_segments(*writer, store, first_new, copied, registry);
    ASSERT_EQ(staged_content(*writer), staged);
  }
  ASSERT_TRUE(writer->merge().has_value());
  ASSERT_TRUE(writer->commit().has_value());
  writer.reset();
  EXPECT_EQ(committed_content(path), staged);
  EXPECT_GT(merges, 0u);
  EXPECT_GT(sources_checked, 0u);
  std::cout << "[ merge    ] " << c.encoding.name() << " seed " << c.seed << ": " << merges << " merges of "
            << merged_segments << " segments, " << sources_checked << " copied rows checked against their sources\n";
}

INSTANTIATE_TEST_SUITE_P(Runs, MergeModel,
                         ::testing::Values(ModelCase{Encoding::Float32, 1}, ModelCase{Encoding::Float32, 2},
                                           ModelCase{Encoding::Float32, 3}, ModelCase{Encoding::Int8, 1},
                                           ModelCase{Encoding::Int8, 2}, ModelCase{Encoding::Int8, 3}),
                         [](const auto& info) {
                           return std::string(info.param.encoding.name()) + "_seed" +
                                  std::to_string(info.param.seed);
                         });

// --- sources ---

// A compaction's sources name the rows a reader of the previous commit saw,
// with that reader's fingerprints; the store hands them out while the
// segment is current and the clean-up removes them with it.
TEST(SegmentSources, NameTheRowsAndFingerprintsReadersSaw) {
  TempDir dir;
  const fs::path path = dir / "s";
  auto writer = VectorStoreWriter::create(path, "docs", testing::test_representation(), Encoding::Int8, no_flush)
                    .value();
  ASSERT_TRUE(testing::append(writer, testing::make_batch("a", 6, 4, 1)).has_value());
  ASSERT_TRUE(testing::append(writer, testing::make_batch("b", 3, 4, 2)).has_value());
  ASSERT_TRUE(writer.commit().has_value());
  writer.delete_documents(std::vector<SharedText>{"a1", "b2"});
  ASSERT_TRUE(writer.commit().has_value());
  auto store = VectorStore::open(path).value();
  const std::shared_ptr<const StoreView> before = store->store_view().value();
  const std::uint64_t appended = before->segments()[0].entry.id;
  EXPECT_EQ(store->segment_sources(appended).value(), std::nullopt);

  ASSERT_TRUE(writer.compact().has_value());
  ASSERT_TRUE(writer.commit().has_value());
  const std::shared_ptr<const StoreView> after = store->store_view().value();
  ASSERT_EQ(after->segments().size(), 1u);
  const LiveSegment& copy = after->segments()[0];
  auto sources = store->segment_sources(copy.entry.id).value();
  ASSERT_TRUE(sources.has_value());
  EXPECT_EQ(sources->size(), 7u);
  EXPECT_EQ(sources, load_segment_sources(Directory::open(path).value(), copy.entry).value());
  EXPECT_EQ(testing::check_sources(path, *before), 7u);
  auto gone = store->segment_sources(appended);
  ASSERT_FALSE(gone.has_value());
  EXPECT_EQ(gone.error().kind(), Error::Kind::InvalidInput);
  EXPECT_EQ(gone.error().text(), "segment " + std::to_string(appended) +
                                     " is not in the current commit of vector store " + path.string());

  // Kept while its segment is referenced, removed with it; a stray one goes
  // at the next open.
  const fs::path first = path / sources_file_name(copy.entry.id);
  EXPECT_TRUE(fs::exists(first));
  ASSERT_TRUE(testing::append(writer, testing::make_batch("c", 2, 4, 3)).has_value());
  ASSERT_TRUE(writer.compact().has_value());
  ASSERT_TRUE(writer.commit().has_value());
  EXPECT_FALSE(fs::exists(first));
  EXPECT_TRUE(fs::exists(path / sources_file_name(writer.segments()[0].entry.id)));
  testing::write_bytes(path / sources_file_name(9999), "stray");
  { VectorStoreWriter dropped = std::move(writer); }
  ASSERT_TRUE(VectorStoreWriter::open(path, no_flush).has_value());
  EXPECT_FALSE(fs::exists(path / sources_file_name(9999)));
  EXPECT_EQ(testing::leftovers(path), std::vector<std::string>{});
}

struct SourcesFileCase {
  const char* name;
  Dtype dtype;
  std::vector<std::uint64_t> shape;
  std::uint64_t first_source;  // the source segment of row 0
  const char* error;           // after "PATH: "; none: valid
};

const SourcesFileCase kSourcesFiles[] = {
    {"Valid", Dtype::Uint64, {2, 3}, 4, nullptr},
    {"WrongDtype", Dtype::Float32, {2, 3}, 4, "the sources of segment 5 must be a uint64 [documents, 3] array"},
    {"TooFewColumns", Dtype::Uint64, {3, 2}, 4, "the sources of segment 5 must be a uint64 [documents, 3] array"},
    {"TooManyRows", Dtype::Uint64, {3, 3}, 4, "the sources of segment 5 must be a uint64 [documents, 3] array"},
    {"OneAxis", Dtype::Uint64, {6}, 4, "the sources of segment 5 must be a uint64 [documents, 3] array"},
    {"SourceNotOlder", Dtype::Uint64, {2, 3}, 5, "source segment 5 of row 0 is not below segment 5"},
};

void PrintTo(const SourcesFileCase& c, std::ostream* out) { *out << c.name; }

class SourcesFile : public ::testing::TestWithParam<SourcesFileCase> {};

TEST_P(SourcesFile, IsReadOrRefusedNamingTheFile) {
  const SourcesFileCase& c = GetParam();
  TempDir dir;
  const SegmentEntry entry{5, 2, 3, std::nullopt};
  const Directory directory = Directory::open(dir.path()).value();
  EXPECT_EQ(load_segment_sources(directory, entry).value(), std::nullopt);
  const std::string name = sources_file_name(entry.id);
  {
    NpyWriter writer = NpyWriter::create(dir / name, c.dtype, c.shape).value();
    std::size_t items = 1;
    for (std::uint64_t n : c.shape) items *= n;
    if (c.dtype == Dtype::Uint64) {
      std::vector<std::uint64_t> values(items);
      for (std::size_t i = 0; i < items; ++i) values[i] = i % 3 == 0 ? (i == 0 ? c.first_source : 1) : i;
      ASSERT_TRUE(writer.write(std::span<const std::uint64_t>(values)).has_value());
    } else {
      ASSERT_TRUE(writer.write(std::span<const float>(std::vector<float>(items, 1.0f))).has_value());
    }
    ASSERT_TRUE(std::move(writer).finish().has_value());
  }
  auto loaded = load_segment_sources(directory, entry);
  if (c.error == nullptr) {
    ASSERT_TRUE(loaded.has_value()) << loaded.error().text();
    EXPECT_EQ(**loaded, (std::vector<SegmentSource>{{4, 1, 2}, {1, 4, 5}}));
  } else {
    ASSERT_FALSE(loaded.has_value());
    EXPECT_EQ(loaded.error().kind(), Error::Kind::Storage);
    EXPECT_EQ(loaded.error().text(), (dir / name).string() + ": " + c.error);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, SourcesFile, ::testing::ValuesIn(kSourcesFiles),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillmark
