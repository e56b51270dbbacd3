#include "runtime/resource_budget.h"

#include <gtest/gtest.h>

#include <ostream>

namespace quillmark {
namespace {

TEST(ResourceBudget, DefaultBudget) {
  ResourceBudget budget;
  EXPECT_EQ(budget.max_batch_tokens(), 131072u);
  EXPECT_EQ(budget.max_documents_per_batch(), 256u);
  EXPECT_FALSE(budget.threads().has_value());
  EXPECT_EQ(ResourceBudget::make(131072, 256, std::nullopt).value(), budget);
}

TEST(ResourceBudget, KeepsGivenValues) {
  auto budget = ResourceBudget::make(1, 1, 3).value();
  EXPECT_EQ(budget.max_batch_tokens(), 1u);
  EXPECT_EQ(budget.max_documents_per_batch(), 1u);
  EXPECT_EQ(budget.threads(), std::optional<std::size_t>(3));
  // No upper bound here: the kernel rejects what exceeds its BLAS interface.
  EXPECT_EQ(ResourceBudget::make(std::size_t{1} << 40, 256, std::nullopt).value().max_batch_tokens(),
            std::size_t{1} << 40);
}

struct BadBudget {
  std::size_t tokens;
  std::size_t documents;
  std::optional<std::size_t> threads;
  const char* message;
};

void PrintTo(const BadBudget& c, std::ostream* os) {
  *os << "tokens=" << c.tokens << " documents=" << c.documents << " threads=";
  if (c.threads) *os << *c.threads;
  else *os << "none";
}

class ResourceBudgetChecks : public ::testing::TestWithParam<BadBudget> {};

TEST_P(ResourceBudgetChecks, FirstFailureWins) {
  const BadBudget& c = GetParam();
  auto made = ResourceBudget::make(c.tokens, c.documents, c.threads);
  ASSERT_FALSE(made);
  EXPECT_EQ(made.error().kind(), Error::Kind::InvalidInput);
  EXPECT_EQ(made.error().text(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Order, ResourceBudgetChecks,
    ::testing::Values(BadBudget{0, 256, std::nullopt, "max_batch_tokens must be positive"},
                      BadBudget{0, 0, 0, "max_batch_tokens must be positive"},
                      BadBudget{1, 0, 0, "max_documents_per_batch must be positive"},
                      BadBudget{1, 1, 0, "threads must be positive"}),
    [](const ::testing::TestParamInfo<BadBudget>& info) {
      const BadBudget& c = info.param;
      return "tokens" + std::to_string(c.tokens) + "_documents" + std::to_string(c.documents) + "_threads" +
             (c.threads ? std::to_string(*c.threads) : std::string("None"));
    });

}  // namespace
}  // namespace quillmark
