#include "storage/format/normalize.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>

#include <immintrin.h>

#include "runtime/cpu_features.h"

namespace quillmark {

namespace {

constexpr float kMinNorm = 1e-12f;

std::atomic<bool> force_portable{false};

}  // namespace

__attribute__((target("avx2"))) void avx2_normalize(std::span<float> row) {
  float* p = row.data();
  const std::size_t n = row.size();
  __m256 acc = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256 v = _mm256_loadu_ps(p + i);
    acc = _mm256_add_ps(acc, _mm256_mul_ps(v, v));  // no FMA: plain multiply and add
  }
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, acc);
  avx2_normalize_from_lanes(row, lanes);
}

__attribute__((target("avx2"))) void avx2_normalize_from_lanes(std::span<float> row, const float (&lanes)[8]) {
  float* p = row.data();
  const std::size_t n = row.size();
  float sum = 0.0f;
  for (float lane : lanes) sum += lane;
  std::size_t i = n - n % 8;
  for (; i < n; ++i) sum += p[i] * p[i];
  const float d = std::max(std::sqrt(sum), kMinNorm);
  const float inv = 1.0f / d;
  const __m256 vinv = _mm256_set1_ps(inv);
  i = 0;
  for (; i + 8 <= n; i += 8) _mm256_storeu_ps(p + i, _mm256_mul_ps(_mm256_loadu_ps(p + i), vinv));
  for (; i < n; ++i) p[i] *= inv;
}

void portable_normalize(std::span<float> row) {
  float* p = row.data();
  const std::size_t n = row.size();
  float s[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4)
    for (int l = 0; l < 4; ++l) s[l] += p[i + l] * p[i + l];
  float sum = (s[0] + s[1]) + (s[2] + s[3]);
  for (; i < n; ++i) sum += p[i] * p[i];
  const float d = std::max(std::sqrt(sum), kMinNorm);
  for (i = 0; i < n; ++i) p[i] /= d;
}

bool use_avx2_normalize() { return cpu_has_avx2() && !force_portable.load(std::memory_order_relaxed); }

void set_force_portable_normalize(bool force) { force_portable.store(force, std::memory_order_relaxed); }

}  // namespace quillmark
