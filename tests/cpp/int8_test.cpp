#include "storage/format/int8.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <random>

#include "runtime/threads.h"
#include "storage/format/normalize.h"
#include "storage/format/npy.h"
#include "temp_dir.h"

namespace quillmark {
namespace {

using testing::TempDir;

struct Encoded {
  std::vector<std::int8_t> codes;
  std::vector<float> scales;
};

Encoded encode(const std::vector<float>& x, std::size_t dim, std::optional<std::size_t> threads = std::nullopt) {
  Encoded e{std::vector<std::int8_t>(x.size()), std::vector<float>(x.size() / dim)};
  auto done = install(threads, [&]() -> Result<void> {
    int8_encode(x, dim, e.codes, e.scales);
    return {};
  });
  EXPECT_TRUE(done);
  return e;
}

std::vector<float> decode(const Encoded& e, std::size_t dim, bool unit, std::optional<std::size_t> threads = std::nullopt) {
  std::vector<float> out(e.codes.size());
  auto done = install(threads, [&]() -> Result<void> {
    int8_decode(e.codes, e.scales, dim, unit, out);
    return {};
  });
  EXPECT_TRUE(done);
  return out;
}

TEST(Int8, WorkedExampleRoundsHalvesAwayFromZero) {
  auto e = encode({0.5f, -1.0f, 0.25f}, 3);
  EXPECT_EQ(e.scales[0], 1.0f / 127.0f);
  EXPECT_EQ(e.codes, (std::vector<std::int8_t>{64, -127, 32}));
  auto y = decode(e, 3, false);
  EXPECT_NEAR(y[0], 0.50394f, 1e-5);
  EXPECT_EQ(y[1], -1.0f);
  EXPECT_NEAR(y[2], 0.25197f, 1e-5);
}

TEST(Int8, ScaleOneKeepsRoundedValues) {
  auto e = encode({127.0f, 2.5f, -2.5f, 0.5f, -0.5f, 1.49f, -126.5f, 0.0f}, 8);
  EXPECT_EQ(e.scales[0], 1.0f);
  EXPECT_EQ(e.codes, (std::vector<std::int8_t>{127, 3, -3, 1, -1, 1, -127, 0}));
}

TEST(Int8, ZeroRowsAndTinyRows) {
  auto e = encode({0, 0, 0, 0, 1e-11f, -2e-11f, 5e-13f, 0}, 4);
  EXPECT_EQ(e.scales[0], 1e-12f);
  EXPECT_EQ(e.codes[0], 0);
  // m / 127 is below 1e-12: the scale floor applies.
  EXPECT_EQ(e.scales[1], 1e-12f);
  EXPECT_EQ((std::vector<std::int8_t>(e.codes.begin() + 4, e.codes.end())), (std::vector<std::int8_t>{10, -20, 1, 0}));
  for (bool unit : {false, true}) {
    auto y = decode(e, 4, unit);
    EXPECT_EQ(std::vector<float>(y.begin(), y.begin() + 4), std::vector<float>(4, 0.0f)) << unit;
  }
}

TEST(Int8, ExtremeMagnitudesStayInRangeAndNeverGiveMinus128) {
  std::vector<float> x = {FLT_MAX, -FLT_MAX, FLT_MIN, -FLT_MAX / 3, 1e-45f, -1e-45f, 0.0f, -0.0f};
  auto e = encode(x, 8);
  EXPECT_TRUE(std::isfinite(e.scales[0]));
  EXPECT_EQ(e.codes[0], 127);
  EXPECT_EQ(e.codes[1], -127);
  std::mt19937 rng(3);
  std::normal_distribution<float> dist(0, 10);
  std::vector<float> r(64 * 1000);
  for (auto& v : r) v = dist(rng);
  auto big = encode(r, 64);
  for (auto c : big.codes) ASSERT_NE(c, -128);
  for (std::size_t row = 0; row < 1000; ++row) {
    int extreme = 0;
    for (std::size_t j = 0; j < 64; ++j) extreme = std::max(extreme, std::abs(int(big.codes[row * 64 + j])));
    ASSERT_EQ(extreme, 127) << row;
  }
}

// A non-finite value anywhere in a row (first, last, in every lane of a
// vector register and in the scalar tail) is refused before any component is
// converted: converting NaN or an infinity to an integer is undefined.
class Int8NonFinite : public ::testing::TestWithParam<float> {};

TEST_P(Int8NonFinite, IsRefusedAtEveryPosition) {
  constexpr std::size_t kDim = 35;  // two 16-lane blocks and a tail of 3
  for (std::size_t p = 0; p < kDim; ++p) {
    std::vector<float> row(kDim, 0.5f);
    row[(p + 1) % kDim] = 4.0f;  // the maximum elsewhere, before or after
    row[p] = GetParam();
    std::vector<std::int8_t> codes(kDim, 99);
    EXPECT_THROW(int8_encode_row(row, codes), InvariantViolation) << "position " << p;
    EXPECT_EQ(codes, std::vector<std::int8_t>(kDim, 99)) << "position " << p;
  }
  // Through the parallel driver: one bad row among good ones.
  std::vector<float> rows(40 * kDim, 0.25f);
  rows[23 * kDim + 17] = GetParam();
  std::vector<std::int8_t> codes(rows.size());
  std::vector<float> scales(40);
  EXPECT_THROW(int8_encode(rows, kDim, codes, scales), InvariantViolation);
}

INSTANTIATE_TEST_SUITE_P(Values, Int8NonFinite,
                         ::testing::Values(std::numeric_limits<float>::quiet_NaN(),
                                           -std::numeric_limits<float>::quiet_NaN(),
                                           std::numeric_limits<float>::infinity(),
                                           -std::numeric_limits<float>::infinity()),
                         [](const ::testing::TestParamInfo<float>& info) {
                           const char* sign = std::signbit(info.param) ? "Minus" : "Plus";
                           return std::string(sign) + (std::isnan(info.param) ? "NaN" : "Infinity");
                         });

TEST(Int8, NormalisedRowsHaveUnitLengthOnBothPaths) {
  std::mt19937 rng(5);
  std::normal_distribution<float> dist;
  for (std::size_t dim : {1, 3, 7, 8, 9, 16, 31, 128, 129}) {
    std::vector<float> x(dim * 50);
    for (auto& v : x) v = dist(rng);
    auto e = encode(x, dim);
    for (bool portable : {false, true}) {
      set_force_portable_normalize(portable);
      auto y = decode(e, dim, true);
      auto raw = decode(e, dim, false);
      for (std::size_t r = 0; r < 50; ++r) {
        double n = 0, m = 0;
        for (std::size_t j = 0; j < dim; ++j) n += double(y[r * dim + j]) * y[r * dim + j];
        for (std::size_t j = 0; j < dim; ++j) m += double(raw[r * dim + j]) * raw[r * dim + j];
        ASSERT_NEAR(std::sqrt(n), 1.0, 1e-6) << dim << " " << r;
        for (std::size_t j = 0; j < dim; ++j)
          ASSERT_NEAR(y[r * dim + j], raw[r * dim + j] / std::sqrt(m), 1e-6) << dim << " " << r << " " << j;
      }
    }
    set_force_portable_normalize(false);
  }
}

TEST(Int8, Avx2AndPortableNormalisationAgreeToTheLastBits) {
  if (!use_avx2_normalize()) GTEST_SKIP() << "no AVX2 on this processor";
  std::mt19937 rng(9);
  std::normal_distribution<float> dist;
  for (std::size_t dim : {1, 5, 8, 12, 64, 130}) {
    std::vector<float> a(dim);
    for (auto& v : a) v = dist(rng);
    std::vector<float> b = a;
    avx2_normalize(a);
    portable_normalize(b);
    for (std::size_t j = 0; j < dim; ++j) ASSERT_NEAR(a[j], b[j], 4 * FLT_EPSILON * std::fabs(b[j]) + 1e-30) << dim;
    std::vector<float> zeros(dim, 0.0f);
    avx2_normalize(zeros);
    EXPECT_EQ(zeros, std::vector<float>(dim, 0.0f));
  }
}

// The wide decoder measures rows while it writes them: its result must be
// exactly that of the scalar decode followed by the normalisation that
// normalize() picks, for every row length around the 8-lane blocks.
TEST(Int8, WideDecodingEqualsDecodingThenNormalising) {
  std::mt19937 rng(17);
  std::uniform_int_distribution<int> code(-127, 127);
  std::uniform_real_distribution<float> scale(1e-6f, 2.0f);
  for (bool portable : {false, true}) {
    set_force_portable_normalize(portable);
    for (std::size_t dim : {1, 7, 8, 9, 15, 16, 17, 96, 128, 131}) {
      for (int trial = 0; trial < 20; ++trial) {
        std::vector<std::int8_t> codes(dim);
        for (auto& c : codes) c = static_cast<std::int8_t>(trial == 0 ? 0 : code(rng));
        const float s = scale(rng);
        for (bool unit : {false, true}) {
          std::vector<float> want(dim), got(dim);
          for (std::size_t j = 0; j < dim; ++j) want[j] = static_cast<float>(codes[j]) * s;
          if (unit) normalize(want);
          int8_decode_row(codes, s, unit, got);
          ASSERT_EQ(got, want) << "dim " << dim << " unit " << unit << " portable " << portable;
        }
      }
    }
  }
  set_force_portable_normalize(false);
}

TEST(Int8, ThreadCountDoesNotChangeTheResult) {
  std::mt19937 rng(13);
  std::normal_distribution<float> dist;
  const std::size_t dim = 16, rows = 20000;  // several tasks per pool
  std::vector<float> x(dim * rows);
  for (auto& v : x) v = dist(rng);
  auto one = encode(x, dim, 1);
  auto two = encode(x, dim, 2);
  auto deflt = encode(x, dim);
  EXPECT_EQ(one.codes, two.codes);
  EXPECT_EQ(one.scales, two.scales);
  EXPECT_EQ(one.codes, deflt.codes);
  EXPECT_EQ(decode(one, dim, true, 1), decode(one, dim, true, 2));
  for (std::size_t r = 0; r < rows; r += 997) {
    std::vector<std::int8_t> codes(dim);
    float s = int8_encode_row(std::span<const float>(x).subspan(r * dim, dim), codes);
    ASSERT_EQ(s, two.scales[r]);
    ASSERT_TRUE(std::equal(codes.begin(), codes.end(), two.codes.begin() + r * dim));
  }
}

// Random data, rows of zeros, and rows whose quotients are exact halves,
// checked against the formulas written directly in NumPy.
TEST(Int8, MatchesNumpyReference) {
  TempDir dir;
  const std::size_t dim = 24, rows = 600;
  std::mt19937 rng(17);
  std::normal_distribution<float> dist;
  std::uniform_int_distribution<int> pick(0, 5);
  std::vector<float> x(dim * rows);
  for (std::size_t r = 0; r < rows; ++r) {
    float* row = x.data() + r * dim;
    switch (pick(rng)) {
      case 0:
        std::fill(row, row + dim, 0.0f);
        break;
      case 1:
        // Largest magnitude 127: scale 1, and many halves.
        for (std::size_t j = 0; j < dim; ++j) row[j] = (static_cast<float>(static_cast<int>(rng() % 253)) - 126.0f) + 0.5f;
        row[rng() % dim] = (rng() % 2) ? 127.0f : -127.0f;
        break;
      case 2:
        // Largest magnitude 254: scale 2, halves at odd integers.
        for (std::size_t j = 0; j < dim; ++j) row[j] = static_cast<float>(static_cast<int>(rng() % 507) - 253);
        row[rng() % dim] = -254.0f;
        break;
      case 3:
        for (std::size_t j = 0; j < dim; ++j) row[j] = dist(rng) * 1e-12f;
        break;
      default:
        for (std::size_t j = 0; j < dim; ++j) row[j] = dist(rng) * (1.0f + static_cast<float>(r));
    }
  }
  auto e = encode(x, dim, 2);
  auto plain = decode(e, dim, false, 2);
  auto unit = decode(e, dim, true, 2);
  auto save = [&](const char* name, Dtype dtype, std::vector<std::uint64_t> shape, auto& values) {
    auto w = NpyWriter::create(dir / name, dtype, shape);
    ASSERT_TRUE(w);
    using T = typename std::decay_t<decltype(values)>::value_type;
    ASSERT_TRUE(w->write(std::span<const T>(values)));
    ASSERT_TRUE(std::move(*w).finish());
  };
  save("x.npy", Dtype::Float32, {rows, dim}, x);
  save("codes.npy", Dtype::Int8, {rows, dim}, e.codes);
  save("scales.npy", Dtype::Float32, {rows}, e.scales);
  save("plain.npy", Dtype::Float32, {rows, dim}, plain);
  save("unit.npy", Dtype::Float32, {rows, dim}, unit);
  testing::write_bytes(dir / "check.py", R"PY(
import sys, os
import numpy as np
d = sys.argv[1]
load = lambda n: np.load(os.path.join(d, n))
x, codes, scales, plain, unit = (load(n + '.npy') for n in ('x', 'codes', 'scales', 'plain', 'unit'))
m = np.max(np.abs(x), axis=1)
want_scales = np.maximum(m / np.float32(127), np.float32(1e-12))
assert want_scales.dtype == np.float32
q = x / want_scales[:, None]
assert q.dtype == np.float32
q64 = q.astype(np.float64)
want_codes = np.clip(np.sign(q64) * np.floor(np.abs(q64) + 0.5), -127, 127).astype(np.int8)
assert np.array_equal(scales, want_scales), np.flatnonzero(scales != want_scales)[:5]
assert np.array_equal(codes, want_codes), np.argwhere(codes != want_codes)[:5]
halves = np.sum(np.abs(q64 - np.trunc(q64)) == 0.5)
assert halves > 100, halves
want_plain = codes.astype(np.float32) * scales[:, None]
assert np.array_equal(plain, want_plain)
n = np.sqrt(np.sum(want_plain.astype(np.float64) ** 2, axis=1))
want_unit = want_plain / np.maximum(n, 1e-12)[:, None]
assert np.allclose(unit, want_unit, rtol=1e-6, atol=1e-7), np.max(np.abs(unit - want_unit))
zero_rows = np.all(x == 0, axis=1)
assert zero_rows.sum() > 20 and np.all(unit[zero_rows] == 0) and np.all(scales[zero_rows] == np.float32(1e-12))
print('halves', halves, 'zero rows', zero_rows.sum())
)PY");
  auto r = testing::run_command(testing::test_python() + " " + (dir / "check.py").string() + " " + dir.path().string());
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("halves"), std::string::npos) << r.output;
}

}  // namespace
}  // namespace quillmark
