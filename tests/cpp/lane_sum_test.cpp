#include "kernel/lane_sum.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "runtime/cpu_features.h"

namespace quillmark {
namespace {

struct Shape {
  std::size_t rows;
  std::size_t lanes;
};

class LaneSum : public ::testing::TestWithParam<Shape> {};

// Values of magnitudes from 1e-8 to 1e8, so that a sum taken in another
// order rounds differently: the routines add row after row per lane, from
// the sum given, and the AVX2 routine gives the portable one's bits; a sum
// taken in two runs of rows equals one taken at once.
TEST_P(LaneSum, AddsRowAfterRowAndTheWideRoutineGivesTheSameBits) {
  const auto [rows, lanes] = GetParam();
  std::mt19937 gen(static_cast<unsigned>(rows * 1000 + lanes));
  std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-8, 8);
  std::vector<float> values(rows * lanes);
  for (float& v : values) v = mantissa(gen) * std::pow(10.0f, static_cast<float>(exponent(gen)));
  std::vector<double> start(lanes);
  for (double& s : start) s = static_cast<double>(mantissa(gen));

  std::vector<double> expected = start;
  for (std::size_t r = 0; r < rows; ++r)
    for (std::size_t j = 0; j < lanes; ++j) expected[j] += static_cast<double>(values[r * lanes + j]);

  std::vector<double> portable = start;
  lane_sum_f64_portable(values.data(), rows, lanes, portable.data());
  EXPECT_EQ(std::memcmp(portable.data(), expected.data(), lanes * sizeof(double)), 0);

  std::vector<double> runs = start;
  const std::size_t first = rows / 3;
  lane_sum_f64(values.data(), first, lanes, runs.data());
  lane_sum_f64(values.data() + first * lanes, rows - first, lanes, runs.data());
  EXPECT_EQ(std::memcmp(runs.data(), expected.data(), lanes * sizeof(double)), 0);

  if (!cpu_has_avx2()) GTEST_SKIP() << "no AVX2 on this processor";
  std::vector<double> wide = start;
  lane_sum_f64_avx2(values.data(), rows, lanes, wide.data());
  EXPECT_EQ(std::memcmp(wide.data(), expected.data(), lanes * sizeof(double)), 0);
}

INSTANTIATE_TEST_SUITE_P(LaneSum, LaneSum,
                         ::testing::Values(Shape{0, 16}, Shape{1, 1}, Shape{5, 7}, Shape{64, 16}, Shape{64, 17},
                                           Shape{200, 128}, Shape{3, 131}),
                         [](const ::testing::TestParamInfo<Shape>& info) {
                           return "Rows" + std::to_string(info.param.rows) + "Lanes" +
                                  std::to_string(info.param.lanes);
                         });

}  // namespace
}  // namespace quillmark
