// The fused kernel's AVX2 routine: 8 floats per register, tiles of 6
// document rows by 16 query tokens (12 accumulators, 2 query registers and a
// broadcast: 15 of the 16 registers).

#include <cstddef>
#include <span>
#include <utility>

#include <immintrin.h>

#include "kernel/fused_maxsim.h"

#define QM_FUSED_TARGET __attribute__((target("avx2,fma")))
#include "kernel/fused_maxsim_tiles.h"

namespace quillmark {

namespace {

struct Avx2 {
  using reg = __m256;
  static constexpr std::size_t kLanes = 8;
  static constexpr std::size_t kRows = 6;
  QM_FUSED_TARGET static reg zero() { return _mm256_setzero_ps(); }
  QM_FUSED_TARGET static reg neg_inf() { return _mm256_set1_ps(-__builtin_inff()); }
  QM_FUSED_TARGET static reg load(const float* p) { return _mm256_loadu_ps(p); }
  QM_FUSED_TARGET static void store(float* p, reg x) { _mm256_storeu_ps(p, x); }
  QM_FUSED_TARGET static reg broadcast(const float* p) { return _mm256_broadcast_ss(p); }
  QM_FUSED_TARGET static reg fma(reg a, reg b, reg c) { return _mm256_fmadd_ps(a, b, c); }
  // MAXPS returns its second operand when either is NaN or both are zeros.
  QM_FUSED_TARGET static reg max(reg v, reg best) { return _mm256_max_ps(v, best); }
};

}  // namespace

void fused_score_documents_avx2(const PackedQuery& query, const float* documents, const float* const* doc_rows,
                                const std::size_t* offsets,
                                std::size_t start, std::size_t end, float* out, float* slots) {
  fused_tiles::score_documents<Avx2>(query, documents, doc_rows, offsets, start, end, out, slots);
}

}  // namespace quillmark
