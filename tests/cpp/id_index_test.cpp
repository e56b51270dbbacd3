#include "storage/format/id_index.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillmark {
namespace {

std::vector<SharedText> make_ids(std::size_t n, const std::string& prefix) {
  std::vector<SharedText> ids;
  ids.reserve(n);
  for (std::size_t i = 0; i < n; ++i) ids.emplace_back(prefix + std::to_string(i));
  return ids;
}

std::optional<std::uint64_t> find(const IdIndex& index, std::span<const SharedText> ids, std::string_view id) {
  return index.find(IdHash(id), [&](std::uint64_t row) { return ids[row].view() == id; });
}

class IdIndexSizes : public ::testing::TestWithParam<std::size_t> {};

// Every built ID is admitted by the filter and found at its row (a false
// negative would hide a present document); other IDs, some sharing long
// prefixes with built ones, are never found, and the filter admits few of
// them.
TEST_P(IdIndexSizes, FindsEveryRowAndNoOtherId) {
  const std::size_t n = GetParam();
  const std::vector<SharedText> ids = make_ids(n, "doc-");
  auto index = IdIndex::build(ids);
  ASSERT_TRUE(index.has_value());
  std::size_t wrong = 0;
  for (std::size_t row = 0; row < n; ++row) {
    wrong += !index->may_contain(IdHash(ids[row].view()));
    wrong += find(*index, ids, ids[row].view()) != row;
  }
  EXPECT_EQ(wrong, 0u);

  const std::vector<SharedText> others = make_ids(std::max<std::size_t>(n, 20000), "doc-x");
  std::size_t admitted = 0, found = 0;
  for (const SharedText& id : others) {
    admitted += index->may_contain(IdHash(id.view()));
    found += find(*index, ids, id.view()).has_value();
  }
  EXPECT_EQ(found, 0u);
  EXPECT_LE(static_cast<double>(admitted), 0.02 * static_cast<double>(others.size())) << admitted;
  if (n == 0) {
    EXPECT_EQ(admitted, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(IdIndex, IdIndexSizes, ::testing::Values(0, 1, 2, 3, 100, 4096, 100000),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                           return "Ids" + std::to_string(info.param);
                         });

TEST(IdIndex, ReportsTheFirstRowThatRepeatsAnId) {
  std::vector<SharedText> ids = make_ids(1000, "d");
  ids[700] = "d3";
  ids[900] = "d5";
  auto index = IdIndex::build(ids);
  ASSERT_FALSE(index.has_value());
  EXPECT_EQ(index.error(), 700u);
  // The empty text is an ID like any other.
  auto empty_twice = IdIndex::build(std::vector<SharedText>{"", "a", ""});
  ASSERT_FALSE(empty_twice.has_value());
  EXPECT_EQ(empty_twice.error(), 2u);
}

TEST(IdIndex, DefaultIndexHoldsNothing) {
  const IdIndex index;
  EXPECT_FALSE(index.may_contain(IdHash("a")));
  EXPECT_FALSE(index.find(IdHash("a"), [](std::uint64_t) { return true; }).has_value());
}

}  // namespace
}  // namespace quillmark
