#include "kernel/max_f32.h"

#include <atomic>
#include <limits>

#include <immintrin.h>

#include "runtime/cpu_features.h"

namespace quillmark {

namespace {

constexpr float kNegInf = -std::numeric_limits<float>::infinity();

// -1: detection decides; otherwise the forced MaxPath.
std::atomic<int> forced_path{-1};

}  // namespace

void lane_max_f32_portable(const float* values, std::size_t rows, std::size_t lanes, float* best) {
  for (std::size_t j = 0; j < lanes; ++j) best[j] = kNegInf;
  for (std::size_t r = 0; r < rows; ++r) {
    const float* row = values + r * lanes;
    for (std::size_t j = 0; j < lanes; ++j) best[j] = row[j] > best[j] ? row[j] : best[j];
  }
}

// _mm256_max_ps(v, acc) is (v > acc ? v : acc): MAXPS returns its second
// operand when either is NaN and when both are zeros.
__attribute__((target("avx2"))) void lane_max_f32_avx2(const float* values, std::size_t rows, std::size_t lanes,
                                                       float* best) {
  const __m256 neg_inf = _mm256_set1_ps(kNegInf);
  std::size_t j = 0;
  for (; j + 32 <= lanes; j += 32) {
    __m256 a0 = neg_inf, a1 = neg_inf, a2 = neg_inf, a3 = neg_inf;
    const float* p = values + j;
    for (std::size_t r = 0; r < rows; ++r, p += lanes) {
      a0 = _mm256_max_ps(_mm256_loadu_ps(p), a0);
      a1 = _mm256_max_ps(_mm256_loadu_ps(p + 8), a1);
      a2 = _mm256_max_ps(_mm256_loadu_ps(p + 16), a2);
      a3 = _mm256_max_ps(_mm256_loadu_ps(p + 24), a3);
    }
    _mm256_storeu_ps(best + j, a0);
    _mm256_storeu_ps(best + j + 8, a1);
    _mm256_storeu_ps(best + j + 16, a2);
    _mm256_storeu_ps(best + j + 24, a3);
  }
  for (; j + 8 <= lanes; j += 8) {
    __m256 a = neg_inf;
    const float* p = values + j;
    for (std::size_t r = 0; r < rows; ++r, p += lanes) a = _mm256_max_ps(_mm256_loadu_ps(p), a);
    _mm256_storeu_ps(best + j, a);
  }
  if (j < lanes) {
    // Lanes j .. lanes-1 only: masked loads read no memory past a row.
    const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(lanes - j)),
                                            _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    __m256 a = neg_inf;
    const float* p = values + j;
    for (std::size_t r = 0; r < rows; ++r, p += lanes) a = _mm256_max_ps(_mm256_maskload_ps(p, mask), a);
    _mm256_maskstore_ps(best + j, mask, a);
  }
}

bool max_path_supported(MaxPath path) {
  switch (path) {
    case MaxPath::Avx2:
      return cpu_has_avx2();
    case MaxPath::Portable:
      break;
  }
  return true;
}

MaxPath max_path() {
  const int forced = forced_path.load(std::memory_order_relaxed);
  if (forced >= 0) return static_cast<MaxPath>(forced);
  static const MaxPath detected = cpu_has_avx2() ? MaxPath::Avx2 : MaxPath::Portable;
  return detected;
}

bool force_max_path(std::optional<MaxPath> path) {
  if (path && !max_path_supported(*path)) return false;
  forced_path.store(path ? static_cast<int>(*path) : -1, std::memory_order_relaxed);
  return true;
}

}  // namespace quillmark
