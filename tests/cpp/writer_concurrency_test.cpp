// Readers in other threads while one writer appends, deletes, compacts and
// commits: every view is exactly one commit, with the right vectors.

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "storage/writer.h"
#include "temp_dir.h"
#include "writer_test_support.h"

namespace quillmark {
namespace {

using testing::TempDir;

constexpr std::size_t kDimension = 4;

// Built by append: g++ 12 warns falsely on "d" + string.
std::string doc(std::uint64_t k) {
  std::string name = "d";
  name += std::to_string(k);
  return name;
}

// After commit k: d{k} with 1 + k % 3 rows of value k, and (k >= 2) d{k-1}
// re-appended with 2 rows of value k + 0.5.
std::map<std::string, std::vector<float>> expected(std::uint64_t k) {
  std::map<std::string, std::vector<float>> out;
  if (k >= 1) out[doc(k)] = std::vector<float>((1 + k % 3) * kDimension, static_cast<float>(k));
  if (k >= 2) out[doc(k - 1)] = std::vector<float>(2 * kDimension, static_cast<float>(k) + 0.5f);
  return out;
}

void iterate(VectorStoreWriter& writer, std::uint64_t k) {
  std::vector<SharedText> ids;
  std::vector<float> values;
  std::vector<std::uint64_t> lengths;
  for (const auto& [id, rows] : expected(k)) {
    ids.emplace_back(id);
    values.insert(values.end(), rows.begin(), rows.end());
    lengths.push_back(rows.size() / kDimension);
  }
  ASSERT_TRUE(writer.append(ids, values, kDimension, lengths, 2).has_value());
  if (k >= 3) writer.delete_documents(std::vector<SharedText>{doc(k - 2)});
  if (k % 4 == 0) {
    ASSERT_TRUE(writer.compact().has_value());
  }
  ASSERT_TRUE(writer.commit().has_value());
}

TEST(WriterConcurrency, ReaderThreadsSeeWholeCommits) {
  TempDir dir;
  const auto path = dir / "s";
  for (Encoding encoding : {Encoding::Float32, Encoding::Int8}) {
    std::filesystem::remove_all(path);
    auto writer = VectorStoreWriter::create(path, "docs", testing::test_representation(kDimension), encoding).value();
    auto store = VectorStore::open(path).value();
    std::atomic<bool> done{false};
    std::atomic<int> views{0};
    auto read = [&] {
      while (!done.load()) {
        auto view = store->store_view();
        ASSERT_TRUE(view.has_value()) << view.error().text();
        const auto want = expected((*view)->commit());
        std::vector<SharedText> ids;
        std::vector<float> values;
        for (const auto& [id, rows] : want) {
          ids.emplace_back(id);
          values.insert(values.end(), rows.begin(), rows.end());
        }
        ASSERT_EQ((*view)->document_ids(), ids);
        auto fetched = (*view)->fetch(ids, 1);
        ASSERT_TRUE(fetched.has_value());
        // Constant rows survive int8 exactly up to the scale's rounding.
        ASSERT_EQ(fetched->vectors().size(), values.size());
        for (std::size_t i = 0; i < values.size(); ++i)
          ASSERT_NEAR(fetched->vectors()[i], values[i], 1e-5f * values[i]);
        views.fetch_add(1);
      }
    };
    std::thread readers[] = {std::thread(read), std::thread(read)};
    for (std::uint64_t k = 1; k <= 24; ++k) iterate(writer, k);
    done = true;
    for (auto& t : readers) t.join();
    EXPECT_GT(views.load(), 0);
  }
}

}  // namespace
}  // namespace quillmark
