// StoreView read by segment (store_segments.cpp) and locate across many
// segments, against models that scan the segments the plain way.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>

#include "storage/store.h"
#include "temp_dir.h"
#include "test_store.h"

namespace quillmark {
namespace {

using testing::TempDir;
using testing::TestStore;
namespace fs = std::filesystem;

std::shared_ptr<const StoreView> open_view(const fs::path& path) {
  auto store = VectorStore::open(path);
  if (!store) ADD_FAILURE() << store.error().debug();
  return store.value()->current_view();
}

// "d" followed by i (built by append: g++ 12 warns falsely on "d" + string).
std::string doc_name(std::size_t i) {
  std::string name = "d";
  name += std::to_string(i);
  return name;
}

std::vector<std::string> strings(const std::vector<SharedText>& texts) {
  std::vector<std::string> out;
  for (const auto& t : texts) out.push_back(t.str());
  return out;
}

// Segments of 1 to 60 documents drawn from 200 IDs, so that most documents
// are replaced by newer segments, some rows deleted, one segment dropped
// (segment IDs then skip a number): locate, shows, present and
// segment_document_ids agree with a scan of the segments newest first.
TEST(StoreSegments, LocateAndPresentAgreeWithANewestFirstScan) {
  for (unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    TempDir dir;
    TestStore builder(dir.path(), "float32", 2);
    std::mt19937 gen(seed);
    std::vector<std::string> pool(200);
    for (std::size_t i = 0; i < pool.size(); ++i) pool[i] = doc_name(i);
    struct Model {
      std::uint64_t id;
      std::vector<std::string> ids;
      std::set<std::uint64_t> deleted;
    };
    std::vector<Model> model;
    for (int s = 0; s < 25; ++s) {
      std::shuffle(pool.begin(), pool.end(), gen);
      const std::size_t count = std::uniform_int_distribution<std::size_t>(1, 60)(gen);
      std::vector<std::pair<std::string, std::vector<float>>> docs;
      for (std::size_t i = 0; i < count; ++i) docs.emplace_back(pool[i], std::vector<float>(2 * (1 + i % 3), 0.5f));
      Model m{builder.append(docs), {pool.begin(), pool.begin() + static_cast<std::ptrdiff_t>(count)}, {}};
      if (gen() % 2) {
        std::vector<std::uint64_t> rows;
        for (std::uint64_t r = 0; r < count; ++r)
          if (gen() % 4 == 0) rows.push_back(r);
        builder.remove(m.id, rows);
        m.deleted.insert(rows.begin(), rows.end());
      }
      model.push_back(std::move(m));
    }
    builder.drop(model[3].id);
    model.erase(model.begin() + 3);
    builder.publish();
    auto view = open_view(dir.path());
    ASSERT_EQ(view->segments().size(), model.size());

    // The scan: the newest segment listing the ID decides.
    auto expected = [&](const std::string& id) -> std::optional<std::pair<std::size_t, std::uint64_t>> {
      for (std::size_t i = model.size(); i-- > 0;) {
        const auto it = std::find(model[i].ids.begin(), model[i].ids.end(), id);
        if (it == model[i].ids.end()) continue;
        const auto row = static_cast<std::uint64_t>(it - model[i].ids.begin());
        if (model[i].deleted.contains(row)) return std::nullopt;
        return std::pair{i, row};
      }
      return std::nullopt;
    };
    std::vector<std::string> asked = pool;
    asked.insert(asked.end(), {"d200", "", "d1x"});
    for (const std::string& id : asked) {
      const auto want = expected(id);
      const auto got = view->locate(id);
      ASSERT_EQ(got.has_value(), want.has_value()) << id;
      if (got) {
        EXPECT_EQ(std::pair(got->segment, got->row), *want) << id;
      }
    }

    std::vector<std::int64_t> segment_ids, rows;
    std::vector<bool> want_present;
    for (std::size_t i = 0; i < model.size(); ++i) {
      EXPECT_EQ(strings(view->segment_document_ids(i, std::nullopt).value()), model[i].ids);
      for (std::uint64_t r = 0; r < model[i].ids.size(); ++r) {
        const bool shown = expected(model[i].ids[r]) == std::pair{i, r};
        EXPECT_EQ(view->shows(i, r), shown) << model[i].ids[r];
        segment_ids.push_back(static_cast<std::int64_t>(model[i].id));
        rows.push_back(static_cast<std::int64_t>(r));
        want_present.push_back(shown);
      }
    }
    // Segments not in the view: the dropped one, one never written, none.
    for (std::int64_t absent : {static_cast<std::int64_t>(3), std::int64_t{1000}, std::int64_t{-1}}) {
      segment_ids.push_back(absent);
      rows.push_back(0);
      want_present.push_back(false);
    }
    std::unique_ptr<bool[]> out(new bool[rows.size()]);
    ASSERT_TRUE(view->present(segment_ids, rows, {out.get(), rows.size()}).has_value());
    EXPECT_TRUE(std::equal(want_present.begin(), want_present.end(), out.get()));
  }
}

TEST(StoreSegments, RowsAndSegmentsOutsideTheViewAreRefused) {
  TempDir dir;
  TestStore builder(dir.path(), "float32", 2);
  builder.append({{"a", {1, 2}}, {"b", {3, 4}}, {"c", {5, 6}}});
  builder.append({{"b", {7, 8}}});
  builder.publish();
  auto view = open_view(dir.path());

  EXPECT_EQ(view->find_segment(1).value(), 1u);
  EXPECT_EQ(view->find_segment(2).error().text(), "segment 2 is not in this view");
  EXPECT_EQ(view->find_segment(2).error().kind(), Error::Kind::InvalidInput);

  const std::vector<std::int64_t> picked{2, 0, 2};
  EXPECT_EQ(strings(view->segment_document_ids(0, picked).value()), (std::vector<std::string>{"c", "a", "c"}));
  for (std::int64_t bad : {std::int64_t{3}, std::int64_t{-1}}) {
    const std::vector<std::int64_t> rows{0, bad};
    const auto error = "row " + std::to_string(bad) + " is out of range for segment 0 of 3 rows";
    EXPECT_EQ(view->segment_document_ids(0, rows).error().text(), error);
    const std::vector<std::int64_t> segments{0, 0};
    bool out[2];
    EXPECT_EQ(view->present(segments, rows, out).error().text(), error);
  }
  // A row beyond an unknown segment's is no error: the segment is not there.
  const std::vector<std::int64_t> unknown{9}, far{1000};
  bool one[1] = {true};
  ASSERT_TRUE(view->present(unknown, far, one).has_value());
  EXPECT_FALSE(one[0]);
  const std::vector<std::int64_t> two{0, 1};
  auto mismatch = view->present(two, far, one);
  ASSERT_FALSE(mismatch.has_value());
  EXPECT_EQ(mismatch.error().text(), "segment_ids and rows differ in length (2 and 1)");
}

// Pooling itself is checked against NumPy from fetch, at several thread
// counts, in tests/python/test_store_read_api.py; here, its refusal of bad
// data.
TEST(StoreSegments, PoolRefusesBadInt8Scales) {
  TempDir dir;
  TestStore builder(dir.path(), "int8", 2);
  builder.append({{"a", {1, 2, 3, 4}}, {"b", {1, 1}}});
  builder.publish();
  // Hand-crafted: b's scale replaced by one no writer produces.
  fs::remove(segment_file(dir.path(), 0, "scales.npy"));
  testing::write_array<float>(segment_file(dir.path(), 0, "scales.npy"), std::vector<float>{0.5f, 0.5f, NAN}, {3});
  auto view = open_view(dir.path());
  std::vector<float> out(4);
  for (std::optional<std::size_t> threads : {std::optional<std::size_t>{}, std::optional<std::size_t>{2}}) {
    auto pooled = view->pool_into(0, out, threads);
    ASSERT_FALSE(pooled.has_value());
    EXPECT_EQ(pooled.error().kind(), Error::Kind::Storage);
    EXPECT_EQ(pooled.error().text(), "int8 scales must be finite and positive");
  }
}

}  // namespace
}  // namespace quillmark
