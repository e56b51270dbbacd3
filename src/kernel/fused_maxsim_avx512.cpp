// The fused kernel's AVX-512 routine: 16 floats per register, tiles of 12
// document rows by 32 query tokens (24 accumulators, 2 query registers and
// broadcasts, within the 32 registers). AVX-512F instructions only.

#include <cstddef>
#include <span>
#include <utility>

#include <immintrin.h>

#include "kernel/fused_maxsim.h"

#define QM_FUSED_TARGET __attribute__((target("avx512f")))
#include "kernel/fused_maxsim_tiles.h"

namespace quillmark {

namespace {

struct Avx512 {
  using reg = __m512;
  static constexpr std::size_t kLanes = 16;
  static constexpr std::size_t kRows = 12;
  QM_FUSED_TARGET static reg zero() { return _mm512_setzero_ps(); }
  QM_FUSED_TARGET static reg neg_inf() { return _mm512_set1_ps(-__builtin_inff()); }
  QM_FUSED_TARGET static reg load(const float* p) { return _mm512_loadu_ps(p); }
  QM_FUSED_TARGET static void store(float* p, reg x) { _mm512_storeu_ps(p, x); }
  QM_FUSED_TARGET static reg broadcast(const float* p) { return _mm512_set1_ps(*p); }
  QM_FUSED_TARGET static reg fma(reg a, reg b, reg c) { return _mm512_fmadd_ps(a, b, c); }
  // (v > best ? v : best) spelled out: an ordered greater-than is false for
  // NaN and for equal zeros, as MAXPS's choice of its second operand.
  QM_FUSED_TARGET static reg max(reg v, reg best) {
    return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(v, best, _CMP_GT_OQ), best, v);
  }
};

}  // namespace

void fused_score_documents_avx512(const PackedQuery& query, const float* documents, const float* const* doc_rows,
                                const std::size_t* offsets,
                                std::size_t start, std::size_t end, float* out, float* slots) {
  fused_tiles::score_documents<Avx512>(query, documents, doc_rows, offsets, start, end, out, slots);
}

}  // namespace quillmark
