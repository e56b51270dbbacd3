#include "max_f32.h"

#include <atomic>
#include <cstddef>
#include <limits>

#include <immintrin.h>

#include "cpu_features.h"

namespace quillmark {

namespace {

constexpr float kNegInf = -std::numeric_limits<float>::infinity();

std::atomic<bool> force_portable{false};

// NaN never wins: comparisons with NaN are false.
inline float max_keep(float best, float v) { return v > best ? v : best; }

__attribute__((target("avx2"))) inline float hmax256(__m256 v) {
  __m128 lo = _mm256_castps256_ps128(v);
  __m128 hi = _mm256_extractf128_ps(v, 1);
  __m128 m = _mm_max_ps(lo, hi);
  m = _mm_max_ps(m, _mm_movehl_ps(m, m));
  m = _mm_max_ss(m, _mm_shuffle_ps(m, m, 0x55));
  return _mm_cvtss_f32(m);
}

}  // namespace

__attribute__((target("avx2"))) float avx2_max(std::span<const float> values) {
  const std::size_t n = values.size();
  const float* p = values.data();
  if (n == 0) return kNegInf;
  const __m256 neg_inf = _mm256_set1_ps(kNegInf);
  if (n < 8) {
    // Lanes below n load; the others read as negative infinity.
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)), lane);
    __m256 v = _mm256_maskload_ps(p, mask);
    v = _mm256_blendv_ps(neg_inf, v, _mm256_castsi256_ps(mask));
    return hmax256(v);
  }
  __m256 acc0 = neg_inf, acc1 = neg_inf, acc2 = neg_inf, acc3 = neg_inf;
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    if (n - i > 64) _mm_prefetch(reinterpret_cast<const char*>(p + i + 64), _MM_HINT_T0);
    acc0 = _mm256_max_ps(acc0, _mm256_loadu_ps(p + i));
    acc1 = _mm256_max_ps(acc1, _mm256_loadu_ps(p + i + 8));
    acc2 = _mm256_max_ps(acc2, _mm256_loadu_ps(p + i + 16));
    acc3 = _mm256_max_ps(acc3, _mm256_loadu_ps(p + i + 24));
  }
  for (; i + 8 <= n; i += 8) acc0 = _mm256_max_ps(acc0, _mm256_loadu_ps(p + i));
  float best = hmax256(_mm256_max_ps(_mm256_max_ps(acc0, acc1), _mm256_max_ps(acc2, acc3)));
  for (; i < n; ++i) best = max_keep(best, p[i]);
  return best;
}

float portable_max(std::span<const float> values) {
  const std::size_t n = values.size();
  const float* p = values.data();
  float best = kNegInf;
  if (n < 8) {
    for (std::size_t i = 0; i < n; ++i) best = max_keep(best, p[i]);
    return best;
  }
  float a[4] = {kNegInf, kNegInf, kNegInf, kNegInf};
  float b[4] = {kNegInf, kNegInf, kNegInf, kNegInf};
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    for (int l = 0; l < 4; ++l) {
      a[l] = max_keep(a[l], p[i + l]);
      b[l] = max_keep(b[l], p[i + 4 + l]);
    }
  }
  for (int l = 0; l < 4; ++l) best = max_keep(max_keep(best, a[l]), b[l]);
  for (; i < n; ++i) best = max_keep(best, p[i]);
  return best;
}

bool use_avx2_max() { return cpu_has_avx2() && !force_portable.load(std::memory_order_relaxed); }

void set_force_portable_max(bool force) { force_portable.store(force, std::memory_order_relaxed); }

}  // namespace quillmark
