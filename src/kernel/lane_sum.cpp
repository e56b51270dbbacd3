#include "kernel/lane_sum.h"

#include <immintrin.h>

#include "runtime/cpu_features.h"

namespace quillmark {

namespace {

// The portable sums of lanes [first, lanes) of rows `lanes` values apart.
void sum_lanes_from(const float* values, std::size_t rows, std::size_t lanes, std::size_t first, double* sum) {
  // Blocks of lanes whose running sums stay in registers while the rows go
  // by, rather than a load and a store of the sum per row.
  constexpr std::size_t kBlock = 8;
  std::size_t j = first;
  for (; j + kBlock <= lanes; j += kBlock) {
    double block[kBlock];
    for (std::size_t b = 0; b < kBlock; ++b) block[b] = sum[j + b];
    for (std::size_t r = 0; r < rows; ++r)
      for (std::size_t b = 0; b < kBlock; ++b) block[b] += static_cast<double>(values[r * lanes + j + b]);
    for (std::size_t b = 0; b < kBlock; ++b) sum[j + b] = block[b];
  }
  for (; j < lanes; ++j) {
    double s = sum[j];
    for (std::size_t r = 0; r < rows; ++r) s += static_cast<double>(values[r * lanes + j]);
    sum[j] = s;
  }
}

}  // namespace

void lane_sum_f64_portable(const float* values, std::size_t rows, std::size_t lanes, double* sum) {
  sum_lanes_from(values, rows, lanes, 0, sum);
}

__attribute__((target("avx2"))) void lane_sum_f64_avx2(const float* values, std::size_t rows, std::size_t lanes,
                                                       double* sum) {
  // Sixteen lanes at a time in four registers of four doubles (no FMA: one
  // rounding per addition, as in the portable routine).
  std::size_t j = 0;
  for (; j + 16 <= lanes; j += 16) {
    __m256d s0 = _mm256_loadu_pd(sum + j), s1 = _mm256_loadu_pd(sum + j + 4);
    __m256d s2 = _mm256_loadu_pd(sum + j + 8), s3 = _mm256_loadu_pd(sum + j + 12);
    const float* row = values + j;
    for (std::size_t r = 0; r < rows; ++r, row += lanes) {
      s0 = _mm256_add_pd(s0, _mm256_cvtps_pd(_mm_loadu_ps(row)));
      s1 = _mm256_add_pd(s1, _mm256_cvtps_pd(_mm_loadu_ps(row + 4)));
      s2 = _mm256_add_pd(s2, _mm256_cvtps_pd(_mm_loadu_ps(row + 8)));
      s3 = _mm256_add_pd(s3, _mm256_cvtps_pd(_mm_loadu_ps(row + 12)));
    }
    _mm256_storeu_pd(sum + j, s0);
    _mm256_storeu_pd(sum + j + 4, s1);
    _mm256_storeu_pd(sum + j + 8, s2);
    _mm256_storeu_pd(sum + j + 12, s3);
  }
  sum_lanes_from(values, rows, lanes, j, sum);
}

void lane_sum_f64(const float* values, std::size_t rows, std::size_t lanes, double* sum) {
  if (cpu_has_avx2())
    lane_sum_f64_avx2(values, rows, lanes, sum);
  else
    lane_sum_f64_portable(values, rows, lanes, sum);
}

}  // namespace quillmark
