#include "storage/format/int8.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <immintrin.h>

#include "base/error.h"
#include "runtime/cpu_features.h"
#include "runtime/threads.h"
#include "storage/format/normalize.h"

namespace quillmark {

namespace {

constexpr float kMinScale = 1e-12f;
// Rows per task: enough components that scheduling stays cheap.
constexpr std::size_t kValuesPerTask = 16384;

// Runs body(first_row, end_row) over [0, rows) on the current pool, in
// chunks of whole rows.
template <class Body>
void for_row_ranges(std::size_t rows, std::size_t dimension, Body&& body) {
  const std::size_t grain = std::max<std::size_t>(1, kValuesPerTask / dimension);
  const std::size_t chunks = (rows + grain - 1) / grain;
  parallel_for_each_index(chunks, [&](std::size_t chunk) {
    const std::size_t begin = chunk * grain;
    body(begin, std::min(rows, begin + grain));
  });
}

// q rounded to the nearest integer, halves away from zero, within -127..127.
// Clamping first is equivalent because the bounds are integers. Within the
// clamp the integer conversion truncates exactly and q - t is exact, so this
// is trunc-and-compare without a libm call per component, and vectorises.
// REQUIRES: q is not NaN (the caller checked every value is finite).
inline std::int8_t quantize(float q) {
  q = std::clamp(q, -127.0f, 127.0f);
  const int t = static_cast<int>(q);
  const float fraction = q - static_cast<float>(t);
  return static_cast<std::int8_t>(t + (fraction >= 0.5f) - (fraction <= -0.5f));
}

}  // namespace

float int8_encode_row(std::span<const float> row, std::span<std::int8_t> codes) {
  QM_INVARIANT(codes.size() == row.size(), "one code per component");
  // The maximum alone cannot vouch for finiteness: std::max(m, NaN) keeps m.
  // So every value is checked on its own (|x| <= FLT_MAX is false for NaN
  // and both infinities), before any is converted to an integer.
  float m = 0.0f;
  bool finite = true;
  for (float x : row) {
    const float a = std::fabs(x);
    finite &= a <= std::numeric_limits<float>::max();
    m = std::max(m, a);
  }
  QM_INVARIANT(finite, "int8 encoding needs finite values");
  const float scale = std::max(m / 127.0f, kMinScale);
  for (std::size_t j = 0; j < row.size(); ++j) codes[j] = quantize(row[j] / scale);
  return scale;
}

namespace {

// int8_decode_row with AVX2: eight codes at a time widened, converted and
// scaled (each product rounded once, as in the scalar loop), and for unit
// rows their squares summed on the way into the lanes avx2_normalize would
// sum them in, so that the row is not read again to be measured. The result
// is exactly that of decoding and then calling avx2_normalize.
__attribute__((target("avx2"))) void decode_row_avx2(const std::int8_t* codes, float scale, bool unit_rows,
                                                     std::span<float> out) {
  float* p = out.data();
  const std::size_t n = out.size();
  const __m256 vscale = _mm256_set1_ps(scale);
  __m256 squares = _mm256_setzero_ps();
  std::size_t j = 0;
  for (; j + 8 <= n; j += 8) {
    const __m128i eight = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes + j));
    const __m256 v = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(eight)), vscale);
    _mm256_storeu_ps(p + j, v);
    squares = _mm256_add_ps(squares, _mm256_mul_ps(v, v));  // no FMA, as avx2_normalize
  }
  for (; j < n; ++j) p[j] = static_cast<float>(codes[j]) * scale;
  if (!unit_rows) return;
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, squares);
  avx2_normalize_from_lanes(out, lanes);
}

}  // namespace

void int8_decode_row(std::span<const std::int8_t> codes, float scale, bool unit_rows, std::span<float> out) {
  QM_INVARIANT(codes.size() == out.size(), "one output per code");
  // The wide routine normalises as avx2_normalize does: only when that is
  // the routine normalize() would pick.
  if (cpu_has_avx2() && (!unit_rows || use_avx2_normalize())) {
    decode_row_avx2(codes.data(), scale, unit_rows, out);
    return;
  }
  for (std::size_t j = 0; j < codes.size(); ++j) out[j] = static_cast<float>(codes[j]) * scale;
  if (unit_rows) normalize(out);
}

void int8_encode(std::span<const float> values, std::size_t dimension, std::span<std::int8_t> codes,
                 std::span<float> scales) {
  QM_INVARIANT(dimension >= 1, "int8 rows have at least one component");
  QM_INVARIANT(values.size() == codes.size() && values.size() == scales.size() * dimension,
               "int8 encoding buffers match the input");
  for_row_ranges(scales.size(), dimension, [&](std::size_t begin, std::size_t end) {
    for (std::size_t r = begin; r < end; ++r)
      scales[r] = int8_encode_row(values.subspan(r * dimension, dimension), codes.subspan(r * dimension, dimension));
  });
}

void int8_decode(std::span<const std::int8_t> codes, std::span<const float> scales, std::size_t dimension,
                 bool unit_rows, std::span<float> out) {
  QM_INVARIANT(dimension >= 1, "int8 rows have at least one component");
  QM_INVARIANT(codes.size() == out.size() && codes.size() == scales.size() * dimension,
               "int8 decoding buffers match the input");
  for_row_ranges(scales.size(), dimension, [&](std::size_t begin, std::size_t end) {
    for (std::size_t r = begin; r < end; ++r)
      int8_decode_row(codes.subspan(r * dimension, dimension), scales[r], unit_rows, out.subspan(r * dimension, dimension));
  });
}

}  // namespace quillmark
