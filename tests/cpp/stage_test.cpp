#include "search/packed_documents.h"
#include "search/stage.h"

#include <gtest/gtest.h>

#include <limits>
#include <unordered_set>

namespace quillmark {
namespace {

TEST(DocumentKey, SharesTextsAndComparesBothFields) {
  SharedText corpus("docs");
  DocumentKey a(corpus, "42");
  DocumentKey copy = a;
  EXPECT_EQ(copy.corpus().view().data(), corpus.view().data());  // shared, not copied
  EXPECT_EQ(copy.document_id().view().data(), a.document_id().view().data());

  EXPECT_EQ(a, DocumentKey("docs", "42"));
  EXPECT_NE(a, DocumentKey("docs", "43"));
  EXPECT_NE(a, DocumentKey("doc", "s42"));  // the boundary between the fields counts
  EXPECT_NE(a, DocumentKey("42", "docs"));

  std::unordered_set<DocumentKey> keys{a, DocumentKey("docs", "42"), DocumentKey("42", "docs")};
  EXPECT_EQ(keys.size(), 2u);
}

TEST(DocumentKey, DebugFormQuotesBothTextsAroundASlash) {
  EXPECT_EQ(DocumentKey("docs", "42").debug(), "\"docs\"/\"42\"");
  EXPECT_EQ(DocumentKey("docs", "42").debug().size(), 11u);
  EXPECT_EQ(DocumentKey("a/b", "say \"hi\"\\").debug(), R"("a/b"/"say \"hi\"\\")");
}

DocumentIdSet ids(std::initializer_list<const char*> texts) {
  DocumentIdSet out;
  for (const char* t : texts) out.emplace(t);
  return out;
}

TEST(Restriction, OnlyAndExceptWithEmptyAndNonEmptySets) {
  EXPECT_FALSE(Restriction::only({}).allows("x"));
  EXPECT_TRUE(Restriction::except({}).allows("x"));
  auto only = Restriction::only(ids({"1", "2", "2"}));
  EXPECT_EQ(only.ids().size(), 2u);
  EXPECT_TRUE(only.allows("1"));
  EXPECT_FALSE(only.allows("3"));
  auto except = Restriction::except(ids({"1"}));
  EXPECT_FALSE(except.allows("1"));
  EXPECT_TRUE(except.allows("3"));
}

TEST(Restriction, EqualityNeedsSameKindAndSameIds) {
  EXPECT_EQ(Restriction::only(ids({"1", "2"})), Restriction::only(ids({"2", "1", "1"})));
  EXPECT_NE(Restriction::only(ids({"1"})), Restriction::except(ids({"1"})));
  EXPECT_NE(Restriction::only(ids({"1"})), Restriction::only(ids({"1", "2"})));
}

TEST(Subset, EmptySubsetAllowsNothing) {
  Subset empty;
  EXPECT_FALSE(empty.allows("a", "1"));
  EXPECT_EQ(empty.restriction("a"), nullptr);
}

TEST(Subset, UnnamedCorpusContributesNothing) {
  Subset s = Subset().restrict("a", Restriction::except({}));
  EXPECT_TRUE(s.allows(DocumentKey("a", "anything")));
  EXPECT_FALSE(s.allows(DocumentKey("b", "anything")));
  EXPECT_FALSE(s.allows(DocumentKey("", "anything")));
}

TEST(Subset, RestrictReplacesAndLeavesTheOriginalUnchanged) {
  Subset first = Subset().restrict("a", Restriction::only(ids({"x"})));
  Subset second = first.restrict("a", Restriction::only(ids({"y"})));
  EXPECT_TRUE(first.allows("a", "x"));
  EXPECT_FALSE(first.allows("a", "y"));
  EXPECT_FALSE(second.allows("a", "x"));
  EXPECT_TRUE(second.allows("a", "y"));
  EXPECT_EQ(second.restrictions().size(), 1u);
}

TEST(Subset, RestrictSharesUnchangedRestrictions) {
  Subset base = Subset().restrict("a", Restriction::only(ids({"x"}))).restrict("b", Restriction::except({}));
  Subset derived = base.restrict("c", Restriction::only({}));
  EXPECT_EQ(base.restrictions().at("a").get(), derived.restrictions().at("a").get());
  EXPECT_EQ(base.restrictions().at("b").get(), derived.restrictions().at("b").get());
}

TEST(Subset, OrderedByteWiseByCorpus) {
  Subset s = Subset()
                 .restrict("\xc3\xa9", Restriction::only({}))  // é: above every ASCII byte
                 .restrict("b", Restriction::only({}))
                 .restrict("B", Restriction::only({}))
                 .restrict("a", Restriction::only({}));
  std::vector<std::string> order;
  for (const auto& [corpus, restriction] : s.restrictions()) order.push_back(corpus.str());
  EXPECT_EQ(order, (std::vector<std::string>{"B", "a", "b", "\xc3\xa9"}));
}

TEST(Subset, EqualityIgnoresConstructionOrder) {
  Subset one = Subset().restrict("a", Restriction::only(ids({"1", "2"}))).restrict("b", Restriction::except(ids({"3"})));
  Subset two = Subset().restrict("b", Restriction::except(ids({"3"}))).restrict("a", Restriction::only(ids({"2", "1"})));
  EXPECT_EQ(one, two);
  EXPECT_NE(one, two.restrict("b", Restriction::only(ids({"3"}))));
  EXPECT_NE(one, two.restrict("c", Restriction::only({})));
  EXPECT_NE(one, Subset());
  EXPECT_EQ(Subset(), Subset());
}

struct PackCase {
  std::vector<std::size_t> lengths;
  std::size_t values;
  std::size_t dimension;
  const char* error;  // null: succeeds
};

void PrintTo(const PackCase& c, std::ostream* os) {
  *os << "lengths=[";
  for (std::size_t i = 0; i < c.lengths.size(); ++i) *os << (i ? ", " : "") << c.lengths[i];
  *os << "] values=" << c.values << " dimension=" << c.dimension;
}


class PackedDocumentsMake : public testing::TestWithParam<PackCase> {};

TEST_P(PackedDocumentsMake, ChecksInOrder) {
  const PackCase& c = GetParam();
  std::vector<float> vectors(c.values, 1.0f);
  auto packed = PackedDocuments::make(vectors, c.lengths, c.dimension);
  if (c.error == nullptr) {
    ASSERT_TRUE(packed.has_value()) << packed.error().text();
    EXPECT_EQ(packed->vectors(), vectors);
    EXPECT_EQ(packed->lengths(), c.lengths);
    EXPECT_EQ(packed->dimension(), c.dimension);
  } else {
    ASSERT_FALSE(packed.has_value());
    EXPECT_EQ(packed.error().kind(), Error::Kind::InvalidInput);
    EXPECT_EQ(packed.error().text(), c.error);
  }
}

constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Cases, PackedDocumentsMake,
    testing::Values(
        PackCase{{2, 3}, 20, 4, nullptr}, PackCase{{}, 0, 8, nullptr}, PackCase{{1}, 1, 1, nullptr},
        PackCase{{2, 3}, 19, 4, "document lengths sum to 5, but 19 values form 4 rows of dimension 4"},
        PackCase{{2, 3}, 24, 4, "document lengths sum to 5, but 24 values form 6 rows of dimension 4"},
        PackCase{{}, 3, 2, "document lengths sum to 0, but 3 values form 1 rows of dimension 2"},
        PackCase{{0, 2}, 7, 0, "packed documents need a positive dimension"},
        PackCase{{kMax, 0}, 0, 1, "document lengths must be positive"},
        PackCase{{2, 0}, 8, 4, "document lengths must be positive"},
        PackCase{{kMax, 1}, 0, 1, "document lengths overflow usize"},
        // The sum fits, its product with the dimension does not.
        PackCase{{kMax / 2 + 1}, 4, 2,
                 "document lengths sum to 9223372036854775808, but 4 values form 2 rows of dimension 2"}),
    [](const testing::TestParamInfo<PackCase>& info) {
      const PackCase& c = info.param;
      std::string name = "lengths";
      // Appended piece by piece: g++ 12 warns falsely on "_" + std::string.
      for (std::size_t length : c.lengths) {
        name += '_';
        name += length == kMax ? std::string("max") : std::to_string(length);
      }
      name += "_values";
      name += std::to_string(c.values);
      name += "_dimension";
      name += std::to_string(c.dimension);
      return name;
    });

TEST(PackedDocuments, TakesTheBuffersWithoutCopying) {
  std::vector<float> vectors(12, 0.5f);
  const float* data = vectors.data();
  auto packed = PackedDocuments::make(std::move(vectors), {1, 2}, 4);
  ASSERT_TRUE(packed.has_value());
  EXPECT_EQ(packed->vectors().data(), data);
  EXPECT_EQ(packed->row_count(), 3u);
  EXPECT_EQ(packed->document_count(), 2u);
}

struct Plain {};
template <class T, int N>
struct Templated {
  struct Inner {};
};
namespace deep::er {
struct Nested {};
}  // namespace deep::er

TEST(ShortTypeName, LastComponentWithoutTemplateArguments) {
  EXPECT_EQ(short_type_name(typeid(Plain)), "Plain");
  EXPECT_EQ(short_type_name(typeid(deep::er::Nested)), "Nested");
  EXPECT_EQ(short_type_name(typeid(Templated<deep::er::Nested, 3>)), "Templated");
  EXPECT_EQ(short_type_name(typeid(Templated<Templated<Plain, 1>, 2>::Inner)), "Inner");
  EXPECT_EQ(short_type_name(typeid(Subset)), "Subset");
  struct Local {};
  EXPECT_EQ(short_type_name(typeid(Local)), "Local");
}

}  // namespace
}  // namespace quillmark
