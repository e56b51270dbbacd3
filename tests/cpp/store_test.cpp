#include "storage/store.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <cctype>
#include <cmath>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "runtime/thread_pool.h"
#include "storage/format/int8.h"
#include "storage/format/npy.h"
#include "storage/writer.h"
#include "temp_dir.h"
#include "test_store.h"

namespace quillmark {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

using testing::TestStore;

using Docs = std::vector<std::pair<std::string, std::vector<float>>>;

// `tokens` rows of `dimension` values, all distinct, seeded by `seed`.
std::vector<float> matrix(std::size_t tokens, std::size_t dimension, float seed) {
  std::vector<float> v(tokens * dimension);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = seed + 0.01f * static_cast<float>(i) - 0.3f;
  return v;
}

// "d" followed by i (built by append: g++ 12 warns falsely on "d" + string).
std::string doc_name(int i) {
  std::string name = "d";
  name += std::to_string(i);
  return name;
}

std::vector<SharedText> ids(std::initializer_list<const char*> list) { return {list.begin(), list.end()}; }

std::vector<std::string> strings(const std::vector<SharedText>& texts) {
  std::vector<std::string> out;
  for (const auto& t : texts) out.push_back(t.str());
  return out;
}

std::shared_ptr<const VectorStore> open_ok(const fs::path& path) {
  auto store = VectorStore::open(path);
  if (!store) ADD_FAILURE() << store.error().debug();
  return store.value();
}

std::shared_ptr<const StoreView> view_ok(const VectorStore& store) {
  auto view = store.store_view();
  if (!view) ADD_FAILURE() << view.error().debug();
  return view.value();
}

TEST(StoreView, FetchPacksRequestedDocumentsInOrderWithRepeats) {
  TempDir dir;
  TestStore builder(dir.path());
  const auto a = matrix(2, 4, 1), b = matrix(3, 4, 2), c = matrix(1, 4, 3);
  builder.append({{"a", a}, {"b", b}});
  builder.append({{"c", c}});
  builder.publish();
  auto store = open_ok(dir.path());
  auto view = store->current_view();

  auto packed = view->fetch(ids({"c", "a", "b", "a"}), std::nullopt);
  ASSERT_TRUE(packed.has_value()) << packed.error().debug();
  EXPECT_EQ(packed->lengths(), (std::vector<std::size_t>{1, 2, 3, 2}));
  EXPECT_EQ(packed->dimension(), 4u);
  std::vector<float> expected;
  for (const auto* m : {&c, &a, &b, &a}) expected.insert(expected.end(), m->begin(), m->end());
  EXPECT_EQ(packed->vectors(), expected);

  auto empty = view->fetch({}, std::nullopt);
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->document_count(), 0u);
  EXPECT_TRUE(empty->vectors().empty());

  auto missing = view->fetch(ids({"a", "m\"x", "zz"}), std::nullopt);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind(), Error::Kind::InvalidInput);
  EXPECT_EQ(missing.error().text(), R"(document "m\"x" is not in the vector store of corpus "docs")");

  EXPECT_EQ(view->lengths(ids({"a", "m", "a"})),
            (std::vector<std::optional<std::size_t>>{2, std::nullopt, 2}));
  EXPECT_EQ(strings(view->document_ids()), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(view->commit(), 1u);
  EXPECT_EQ(view->as_of(), (TimeValue{1'700'000'001, 750'000'000}));
}

TEST(StoreView, NewestSegmentDecidesAndTombstonesHide) {
  TempDir dir;
  TestStore builder(dir.path());
  const auto old_a = matrix(2, 4, 1), new_a = matrix(3, 4, 5);
  const auto s0 = builder.append({{"a", old_a}, {"b", matrix(1, 4, 2)}, {"c", matrix(2, 4, 3)}});
  builder.append({{"a", new_a}, {"b", matrix(1, 4, 4)}, {"é", matrix(1, 4, 6)}});
  builder.publish();
  auto store = open_ok(dir.path());
  auto view = store->current_view();
  auto packed = view->fetch(ids({"a"}), std::nullopt);
  ASSERT_TRUE(packed.has_value());
  EXPECT_EQ(packed->vectors(), new_a);
  EXPECT_EQ(view->locate("a")->segment, 1u);
  EXPECT_EQ(strings(view->document_ids()), (std::vector<std::string>{"a", "b", "c", "é"}));

  // b's newest row deleted: absent, though the older segment still lists it.
  builder.remove(1, {1});
  builder.remove(s0, {2});
  builder.publish();
  auto next = view_ok(*store);
  EXPECT_FALSE(next->contains("b"));
  EXPECT_FALSE(next->contains("c"));
  EXPECT_TRUE(next->contains("a"));
  EXPECT_EQ(strings(next->document_ids()), (std::vector<std::string>{"a", "é"}));
  EXPECT_EQ(next->lengths(ids({"b", "a"})), (std::vector<std::optional<std::size_t>>{std::nullopt, 3}));
  EXPECT_EQ(next->fetch(ids({"b"}), std::nullopt).error().kind(), Error::Kind::InvalidInput);
  // The earlier view is unchanged.
  EXPECT_TRUE(view->contains("b"));
  EXPECT_EQ(strings(view->document_ids()).size(), 4u);
}

TEST(VectorStore, UnchangedManifestGivesTheSameViewAndLoadsNothing) {
  TempDir dir;
  TestStore builder(dir.path());
  builder.append({{"a", matrix(2, 4, 1)}});
  builder.publish();
  auto store = open_ok(dir.path());
  auto first = view_ok(*store);
  EXPECT_EQ(first, store->current_view());
  // With its files gone, an unchanged store still answers: nothing is opened.
  builder.erase_files(0);
  auto second = view_ok(*store);
  EXPECT_EQ(first.get(), second.get());
  auto packed = second->fetch(ids({"a"}), std::nullopt);
  ASSERT_TRUE(packed.has_value());
  EXPECT_EQ(packed->vectors(), matrix(2, 4, 1));
}

TEST(VectorStore, NewCommitReusesLoadedSegmentsAndUnchangedTombstones) {
  TempDir dir;
  TestStore builder(dir.path());
  const auto s0 = builder.append({{"a", matrix(2, 4, 1)}, {"b", matrix(1, 4, 2)}});
  const auto s1 = builder.append({{"c", matrix(1, 4, 3)}, {"d", matrix(1, 4, 4)}});
  builder.remove(s0, {1});
  builder.publish();
  auto store = open_ok(dir.path());
  auto v1 = store->current_view();

  // Loaded segments are served from memory: their files may go.
  builder.erase_files(s0);
  builder.remove(s1, {0});
  const auto s2 = builder.append({{"e", matrix(1, 4, 5)}});
  builder.publish();
  auto v2 = view_ok(*store);
  ASSERT_NE(v1, v2);
  ASSERT_EQ(v2->segments().size(), 3u);
  EXPECT_EQ(v2->segments()[0].data, v1->segments()[0].data);
  EXPECT_EQ(v2->segments()[0].tombstones, v1->segments()[0].tombstones);  // same tombstone commit
  EXPECT_EQ(v2->segments()[1].data, v1->segments()[1].data);
  EXPECT_NE(v2->segments()[1].tombstones, v1->segments()[1].tombstones);  // new tombstone file
  EXPECT_EQ(*v2->segments()[1].tombstones, (Tombstones{0}));
  EXPECT_EQ(v2->segments()[2].entry.id, s2);
  EXPECT_EQ(strings(v2->document_ids()), (std::vector<std::string>{"a", "d", "e"}));
  EXPECT_EQ(store->current_view(), v2);

  // A compaction drops the old segments and removes their files; the earlier
  // views keep serving them.
  builder.drop(s0);
  builder.drop(s1);
  builder.erase_files(s1);
  builder.publish();
  auto v3 = view_ok(*store);
  EXPECT_EQ(strings(v3->document_ids()), (std::vector<std::string>{"e"}));
  auto old = v1->fetch(ids({"a", "c"}), std::nullopt);
  ASSERT_TRUE(old.has_value());
  EXPECT_EQ(old->lengths(), (std::vector<std::size_t>{2, 1}));
  EXPECT_EQ(std::vector<float>(old->vectors().begin() + 8, old->vectors().end()), matrix(1, 4, 3));
}

TEST(VectorStore, ReplacedStoreIsRejectedAndTheCurrentViewKept) {
  TempDir dir;
  TestStore builder(dir.path());
  builder.append({{"a", matrix(1, 4, 1)}});
  builder.publish();
  auto store = open_ok(dir.path());
  auto before = store->current_view();

  TestStore other(dir.path(), "float32", 4, false, "other", "ffffffffffffffffffffffffffffffff");
  other.manifest().next_segment_id = 7;
  other.append({{"z", matrix(1, 4, 9)}});
  other.publish();
  auto replaced = store->store_view();
  ASSERT_FALSE(replaced.has_value());
  EXPECT_EQ(replaced.error().kind(), Error::Kind::Storage);
  EXPECT_EQ(replaced.error().text(), "vector store " + dir.path().string() +
                                         " was replaced by one of another corpus, encoding, or representation");
  EXPECT_EQ(store->current_view(), before);
  EXPECT_TRUE(before->fetch(ids({"a"}), std::nullopt).has_value());
}

TEST(VectorStore, KnownSegmentWithOtherCountsFails) {
  TempDir dir;
  TestStore builder(dir.path());
  builder.append({{"a", matrix(1, 4, 1)}});
  builder.publish();
  auto store = open_ok(dir.path());
  Manifest changed = builder.manifest();
  changed.commit += 1;
  changed.segments[0].tokens = 2;
  builder.write_manifest(changed);
  auto view = store->store_view();
  ASSERT_FALSE(view.has_value());
  EXPECT_EQ(view.error().text(), "a known segment's dimensions changed");
  // A fresh reader loads the files and reports what they hold instead.
  auto fresh = VectorStore::open(dir.path());
  ASSERT_FALSE(fresh.has_value());
  EXPECT_EQ(fresh.error().kind(), Error::Kind::Storage);
}

TEST(VectorStore, VanishedFileWithUnchangedManifestIsNotFound) {
  TempDir dir;
  TestStore builder(dir.path());
  builder.append({{"a", matrix(1, 4, 1)}});
  builder.publish();
  fs::remove(segment_file(dir.path(), 0, "vectors.npy"));
  auto store = VectorStore::open(dir.path());
  ASSERT_FALSE(store.has_value());
  ASSERT_NE(store.error().io(), nullptr) << store.error().debug();
  EXPECT_EQ(store.error().io()->kind(), IoErrorKind::NotFound);

  TempDir empty;
  auto none = VectorStore::open(empty.path());
  ASSERT_FALSE(none.has_value());
  EXPECT_EQ(none.error().io()->kind(), IoErrorKind::NotFound);
}

// A loader that, for its first `races` calls, plays a writer racing the
// reader: between the reader's manifest read and its load, a newer commit
// replaces the segments and removes their files. Counts its calls.
struct RacingLoader {
  TestStore& builder;
  int races;
  int calls = 0;

  Result<void> operator()(const Directory& directory, const Manifest& manifest,
                          std::span<const LiveSegment> previous, std::vector<LiveSegment>& segments) {
    if (calls++ < races) {
      const std::uint64_t old = manifest.segments.back().id;
      builder.append({{"a", matrix(1, 4, static_cast<float>(calls))}});
      builder.drop(old);
      builder.publish();
      builder.erase_files(old);
    }
    return load_segments_into(directory, manifest, previous, segments);
  }
};

Result<std::shared_ptr<const StoreView>> load_racing(const fs::path& path, const SegmentLoader& load,
                                                     double retry_seconds = kLoadRetrySeconds) {
  const Directory directory = Directory::open(path).value();
  return load_committed(directory, Manifest::read(directory).value(), nullptr, load, retry_seconds);
}

TEST(StoreLoad, VanishedFileDuringLoadRetriesWithTheNewerManifest) {
  TempDir dir;
  TestStore builder(dir.path());
  builder.append({{"a", matrix(1, 4, 0)}});
  builder.publish();
  // More racing commits than any fixed count of retries would allow: the
  // load follows them for as long as the manifest keeps changing.
  RacingLoader racing{builder, 20};
  auto view = load_racing(dir.path(), std::ref(racing));
  ASSERT_TRUE(view.has_value()) << view.error().debug();
  EXPECT_EQ(racing.calls, 21);
  EXPECT_EQ((*view)->commit(), 21u);
  auto packed = (*view)->fetch(ids({"a"}), std::nullopt);
  ASSERT_TRUE(packed.has_value());
  EXPECT_EQ(packed->vectors(), matrix(1, 4, 20));  // written by the last racing commit
}

TEST(StoreLoad, VanishedFileRetriesAreBoundedInTime) {
  TempDir dir;
  TestStore builder(dir.path());
  builder.append({{"a", matrix(1, 4, 0)}});
  builder.publish();
  RacingLoader racing{builder, 1000000};
  auto view = load_racing(dir.path(), std::ref(racing), 0.2);
  EXPECT_LT(racing.calls, 1000000);
  ASSERT_FALSE(view.has_value());
  ASSERT_NE(view.error().io(), nullptr) << view.error().debug();
  EXPECT_EQ(view.error().io()->kind(), IoErrorKind::NotFound);
}

TEST(StoreLoad, OtherErrorsAreNotRetried) {
  TempDir dir;
  TestStore builder(dir.path());
  builder.append({{"a", matrix(1, 4, 0)}});
  builder.publish();
  int calls = 0;
  auto failing = [&](const Directory&, const Manifest&, std::span<const LiveSegment>,
                     std::vector<LiveSegment>&) -> Result<void> {
    ++calls;
    builder.publish();  // the manifest changes, but the error is not a vanished file
    return std::unexpected(Error::storage("broken"));
  };
  auto view = load_racing(dir.path(), failing);
  EXPECT_EQ(calls, 1);
  ASSERT_FALSE(view.has_value());
  EXPECT_EQ(view.error().text(), "broken");
}

TEST(VectorStore, SourceInterfaceAndScoreSemantics) {
  for (const char* encoding : {"float32", "int8"}) {
    TempDir dir;
    TestStore builder(dir.path(), encoding, 3, true, "docs");
    builder.append({{"a", matrix(2, 3, 1)}});
    builder.publish();
    std::shared_ptr<const MultiVectorSource> source = open_ok(dir.path());
    EXPECT_EQ(source->corpus(), "docs");
    EXPECT_EQ(source->representation(), builder.manifest().representation);
    EXPECT_EQ(source->score_semantics(), std::string(encoding) == "float32"
                                             ? "float32-exact-full-maxsim"
                                             : "int8-reconstructed-approximate-full-maxsim");
    auto view = source->view();
    ASSERT_TRUE(view.has_value());
    EXPECT_EQ((*view)->as_of(), (TimeValue{1'700'000'001, 750'000'000}));
    auto lengths = (*view)->document_lengths(ids({"a", "b"}));
    ASSERT_TRUE(lengths.has_value());
    EXPECT_EQ(*lengths, (std::vector<std::optional<std::size_t>>{2, std::nullopt}));
  }
}

// Reference decoding of stored codes: code * scale, then unit length.
std::vector<float> decode_reference(const std::vector<float>& values, std::size_t dimension, bool unit) {
  std::vector<std::int8_t> codes(values.size());
  std::vector<float> scales(values.size() / dimension);
  int8_encode(values, dimension, codes, scales);
  std::vector<float> out(values.size());
  for (std::size_t r = 0; r < scales.size(); ++r) {
    double norm = 0;
    for (std::size_t j = 0; j < dimension; ++j) {
      out[r * dimension + j] = static_cast<float>(codes[r * dimension + j]) * scales[r];
      norm += double(out[r * dimension + j]) * out[r * dimension + j];
    }
    if (unit)
      for (std::size_t j = 0; j < dimension; ++j) out[r * dimension + j] /= static_cast<float>(std::sqrt(norm));
  }
  return out;
}

class Int8Fetch : public ::testing::TestWithParam<bool> {};

TEST_P(Int8Fetch, DecodesOnThePoolChosenByThreads) {
  const bool normalized = GetParam();
  TempDir dir;
  TestStore builder(dir.path(), "int8", 16, normalized);
  std::mt19937 gen(7);
  std::normal_distribution<float> normal;
  Docs docs;
  for (int i = 0; i < 40; ++i) {
    std::vector<float> v((1 + i % 5) * 16);
    for (float& x : v) x = normal(gen);
    docs.emplace_back(doc_name(i), v);
  }
  builder.append(docs);
  builder.publish();
  auto view = open_ok(dir.path())->current_view();
  std::vector<SharedText> request;
  std::vector<float> expected;
  for (int i : {39, 3, 17, 3}) {
    request.emplace_back(docs[i].first);
    auto d = decode_reference(docs[i].second, 16, normalized);
    expected.insert(expected.end(), d.begin(), d.end());
  }
  for (std::optional<std::size_t> threads : {std::optional<std::size_t>{}, std::optional<std::size_t>{1},
                                             std::optional<std::size_t>{3}}) {
    auto packed = view->fetch(request, threads);
    ASSERT_TRUE(packed.has_value()) << packed.error().debug();
    ASSERT_EQ(packed->vectors().size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(packed->vectors()[i], expected[i], 1e-6f) << i;
  }
  auto zero = view->fetch(request, 0);
  ASSERT_FALSE(zero.has_value());
  EXPECT_EQ(zero.error().text(), "threads must be positive");
}

INSTANTIATE_TEST_SUITE_P(Store, Int8Fetch, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& info) {
  return std::string(info.param ? "UnitRows" : "RawRows");
});

// Fetches large enough to be cut into several parallel tasks, across
// segments that replace and delete each other's documents: every thread
// count gives the rows of the newest live copy of each requested document,
// in request order, and fetch_into writes the same into a caller's buffer.
struct LargeFetchCase {
  const char* encoding;
  bool normalized;
};

void PrintTo(const LargeFetchCase& c, std::ostream* os) {
  *os << c.encoding << (c.normalized ? " unit rows" : "");
}

class LargeFetch : public ::testing::TestWithParam<LargeFetchCase> {};

TEST_P(LargeFetch, GivesTheNewestRowsForEveryThreadCount) {
  const auto [encoding, normalized] = GetParam();
  constexpr std::size_t kDim = 96;
  TempDir dir;
  TestStore builder(dir.path(), encoding, kDim, normalized);
  std::mt19937 gen(11);
  std::normal_distribution<float> normal;
  std::uniform_int_distribution<std::size_t> tokens(1, 300);
  std::map<std::string, std::vector<float>> live;  // id -> rows the view must give
  auto segment = [&](int first, int last) {
    Docs docs;
    for (int i = first; i < last; ++i) {
      std::vector<float> v(tokens(gen) * kDim);
      for (float& x : v) x = normal(gen);
      docs.emplace_back(doc_name(i), v);
      live[doc_name(i)] = encoding == std::string("int8") ? decode_reference(v, kDim, normalized) : v;
    }
    return builder.append(docs);
  };
  const std::uint64_t first = segment(0, 40);
  const std::uint64_t second = segment(30, 60);  // replaces d30..d39
  builder.remove(first, {2, 35});                // d2 gone; d35's old row is hidden anyway
  builder.remove(second, {1});                   // d31 gone, though segment 0 still lists it
  builder.publish();
  live.erase("d2");
  live.erase("d31");

  auto view = open_ok(dir.path())->current_view();
  std::vector<SharedText> request;
  std::vector<float> expected;
  std::vector<std::size_t> lengths;
  for (int round = 0; round < 3; ++round)  // every live document three times: several MiB
    for (const auto& [id, rows] : live) {
      request.emplace_back(id);
      expected.insert(expected.end(), rows.begin(), rows.end());
      lengths.push_back(rows.size() / kDim);
    }
  ASSERT_GT(expected.size(), std::size_t{4} << 18);  // more than four parallel tasks

  std::vector<std::optional<std::size_t>> counts{std::nullopt, 1, 2, 3};
  if (encoding == std::string("float32")) counts.push_back(0);
  for (std::optional<std::size_t> threads : counts) {
    SCOPED_TRACE(threads ? std::to_string(*threads) : "unset");
    auto packed = view->fetch(request, threads);
    ASSERT_TRUE(packed.has_value()) << packed.error().debug();
    EXPECT_EQ(packed->lengths(), lengths);
    ASSERT_EQ(packed->vectors().size(), expected.size());
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < expected.size(); ++i)
      wrong += !(std::abs(packed->vectors()[i] - expected[i]) <= 1e-6f);
    EXPECT_EQ(wrong, 0u);

    auto plan = view->plan_fetch(request);
    ASSERT_TRUE(plan.has_value());
    EXPECT_EQ(plan->lengths, lengths);
    std::vector<float> out(plan->rows * kDim, NAN);
    ASSERT_TRUE(view->fetch_into(*plan, out, threads).has_value());
    EXPECT_TRUE(std::equal(out.begin(), out.end(), packed->vectors().begin()));
  }
  auto missing = view->plan_fetch(ids({"d0", "d31"}));
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().text(), "document \"d31\" is not in the vector store of corpus \"docs\"");
}

INSTANTIATE_TEST_SUITE_P(Store, LargeFetch,
                         ::testing::Values(LargeFetchCase{"float32", false}, LargeFetchCase{"int8", false},
                                           LargeFetchCase{"int8", true}),
                         [](const ::testing::TestParamInfo<LargeFetchCase>& info) {
                           return std::string(info.param.encoding) + (info.param.normalized ? "UnitRows" : "");
                         });

// A file of an untrusted store that is no regular file (a FIFO) has no
// length that bounds a read of it, and one that links elsewhere (to
// /dev/zero, or to a valid copy of itself outside the store) is not the
// store's: opening the store, for reading or writing, refuses it by name
// before reading anything from it.
struct EndlessCase {
  const char* file;  // in a store whose only segment is segment-0
  const char* kind;  // "DevZeroLink", "OutsideLink" or "Fifo"
};

void PrintTo(const EndlessCase& c, std::ostream* os) { *os << c.file << " as " << c.kind; }


class StoreEndlessFiles : public ::testing::TestWithParam<EndlessCase> {};

TEST_P(StoreEndlessFiles, AreRefusedByName) {
  TempDir dir;
  TestStore builder(dir.path());
  ASSERT_EQ(builder.append({{"a", matrix(2, 4, 1)}}), 0u);
  builder.publish();
  const fs::path file = dir / GetParam().file;
  const std::string_view kind = GetParam().kind;
  TempDir outside;
  fs::copy_file(file, outside / "copy");
  fs::remove(file);
  if (kind == "Fifo")
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
  else
    fs::create_symlink(kind == "DevZeroLink" ? fs::path("/dev/zero") : outside / "copy", file);
  const std::string expected = file.string() + (kind == "Fifo" ? ": not a regular file"
                                                                : ": a store file must not be a symbolic link");
  auto store = VectorStore::open(dir.path());
  ASSERT_FALSE(store.has_value());
  EXPECT_EQ(store.error().kind(), Error::Kind::Storage);
  EXPECT_EQ(store.error().text(), expected);
  auto writer = VectorStoreWriter::open(dir.path());
  ASSERT_FALSE(writer.has_value());
  EXPECT_EQ(writer.error().text(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Store, StoreEndlessFiles,
    ::testing::ValuesIn([] {
      std::vector<EndlessCase> cases;
      for (const char* file : {"manifest.json", "segment-0.ids.json", "segment-0.offsets.npy", "segment-0.vectors.npy"})
        for (const char* kind : {"DevZeroLink", "OutsideLink", "Fifo"}) cases.push_back({file, kind});
      return cases;
    }()),
    [](const ::testing::TestParamInfo<EndlessCase>& info) {
      std::string name = std::string(info.param.file) + "_" + info.param.kind;
      for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

TEST(StoreView, Float32FetchIgnoresThreads) {
  TempDir dir;
  TestStore builder(dir.path());
  builder.append({{"a", matrix(1, 4, 1)}});
  builder.publish();
  auto view = open_ok(dir.path())->current_view();
  EXPECT_TRUE(view->fetch(ids({"a"}), 0).has_value());
}

TEST(StoreView, Int8ScalesMustBeFiniteAndPositive) {
  for (float bad : {0.0f, -1.0f, NAN, INFINITY}) {
    TempDir dir;
    TestStore builder(dir.path(), "int8", 2);
    builder.append({{"a", {1, 2, 3, 4}}, {"b", {1, 1}}});
    builder.publish();
    // Hand-crafted: b's scale replaced by one no writer produces.
    fs::remove(segment_file(dir.path(), 0, "scales.npy"));
    testing::write_array<float>(segment_file(dir.path(), 0, "scales.npy"), std::vector<float>{0.5f, 0.5f, bad},
                                {3});
    auto view = open_ok(dir.path())->current_view();
    EXPECT_TRUE(view->fetch(ids({"a"}), std::nullopt).has_value());
    // The data is judged before the thread count, and on any pool.
    for (std::optional<std::size_t> threads : {std::optional<std::size_t>{}, std::optional<std::size_t>{0},
                                               std::optional<std::size_t>{2}}) {
      auto fetched = view->fetch(ids({"a", "b"}), threads);
      ASSERT_FALSE(fetched.has_value());
      EXPECT_EQ(fetched.error().kind(), Error::Kind::Storage);
      EXPECT_EQ(fetched.error().text(), "int8 scales must be finite and positive");
    }
  }
}

// Readers in many threads follow a writer that publishes a new commit every
// few milliseconds: each commit holds the same documents in one new segment
// whose every value is the commit number, and removes the previous segment's
// files after publishing (as compaction and clean-up do). Every view must be
// one whole commit: never a mix, never a missing file.
TEST(StoreConcurrency, ViewsAndFetchesSeeWholeCommitsWhileTheManifestIsReplaced) {
  TempDir dir;
  TestStore builder(dir.path());
  constexpr int kDocs = 20;
  auto commit_docs = [&](float value) {
    Docs docs;
    for (int i = 0; i < kDocs; ++i) docs.emplace_back(doc_name(i), std::vector<float>((1 + i % 3) * 4, value));
    return docs;
  };
  builder.append(commit_docs(1));
  builder.publish();
  auto store = open_ok(dir.path());
  std::vector<SharedText> all;
  for (int i = 0; i < kDocs; ++i) all.emplace_back(doc_name(i));

  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::atomic<long> checks{0};
  auto reader = [&] {
    while (!done.load()) {
      auto view = store->store_view();
      if (!view) {
        ADD_FAILURE() << view.error().debug();
        ++failures;
        return;
      }
      const auto commit = (*view)->commit();
      auto packed = (*view)->fetch(all, std::nullopt);
      if (!packed || (*view)->document_ids().size() != kDocs) {
        ++failures;
        return;
      }
      for (float v : packed->vectors())
        if (v != static_cast<float>(commit)) {
          ++failures;
          return;
        }
      ++checks;
    }
  };
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) readers.emplace_back(reader);
  for (int commit = 2; commit <= 60 && failures == 0; ++commit) {
    const auto previous = builder.manifest().segments.back().id;
    builder.append(commit_docs(static_cast<float>(commit)));
    builder.drop(previous);
    builder.publish();
    builder.erase_files(previous);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(checks.load(), 0);
  EXPECT_EQ(view_ok(*store)->commit(), builder.manifest().commit);
}

}  // namespace
}  // namespace quillmark
