#pragma once
// The fused kernel's tile loop, written once over a vector type and
// instantiated per instruction set by fused_maxsim_avx2.cpp and
// fused_maxsim_avx512.cpp, each of which defines QM_FUSED_TARGET (its target
// attribute) before including this file. Only for those two files.
//
// V provides: `reg`; kLanes (floats per register); kRows (document rows per
// tile); zero(), neg_inf(), load(p), store(p, x), broadcast(p), fma(a, b, c)
// = a*b+c rounded once, and max(v, best) = (v > best ? v : best).
//
// A tile is kRows consecutive rows (fewer at the end of a unit of work) by
// NQ registers of query tokens. Its similarities stay in NQ * kRows
// registers; they are then folded row by row, in row order, into the running
// maximum of each row's document, held in that document's SLOT (a row of
// the per-thread slot scratch, padded_rows floats) between tiles. The rows
// of one tile belong to at most kRows consecutive documents, so slots are
// taken modulo kSlots >= kRows and never collide while in use.

#include <cstddef>
#include <cstdint>
#include <utility>

#include "kernel/fused_maxsim.h"

namespace quillmark::fused_tiles {

inline constexpr std::size_t kSlots = 16;

// One step of the product: every row's value at k times the tile's query
// tokens at k (`q`), added to the row's accumulators.
template <class V, int R, int NQ>
QM_FUSED_TARGET __attribute__((always_inline)) inline void step(typename V::reg (&acc)[R][NQ],
                                                               const float* const (&row)[R], std::size_t k,
                                                               const float* q) {
  typename V::reg qv[NQ];
#pragma GCC unroll 4
  for (int n = 0; n < NQ; ++n) qv[n] = V::load(q + n * V::kLanes);
#pragma GCC unroll 16
  for (int i = 0; i < R; ++i) {
    const typename V::reg b = V::broadcast(row[i] + k);
#pragma GCC unroll 4
    for (int n = 0; n < NQ; ++n) acc[i][n] = V::fma(qv[n], b, acc[i][n]);
  }
}

// `row` holds the tile's R row pointers, `ahead` R rows to prefetch (the
// next tile's, or any rows of this call where there is none).
template <class V, int R, int NQ>
QM_FUSED_TARGET void tile(const float* packed, std::size_t dimension, const float* const* rows,
                          const float* const* ahead, std::size_t first_row, const std::size_t* offsets, std::size_t doc,
                          float* slots, std::size_t slot_stride, std::size_t column) {
  using reg = typename V::reg;
  constexpr int W = NQ * V::kLanes;
  reg acc[R][NQ];
#pragma GCC unroll 16
  for (int i = 0; i < R; ++i)
#pragma GCC unroll 4
    for (int n = 0; n < NQ; ++n) acc[i][n] = V::zero();
  const float* row[R];
#pragma GCC unroll 16
  for (int i = 0; i < R; ++i) row[i] = rows[i];
  const float* q = packed;
  // The next tile's rows are asked for a cache line ahead, one line per row
  // every 16 steps, so that they arrive while this tile is multiplied.
  std::size_t k = 0;
  for (; k + 16 <= dimension; k += 16) {
#pragma GCC unroll 16
    for (int i = 0; i < R; ++i) __builtin_prefetch(ahead[i] + k);
#pragma GCC unroll 4
    for (std::size_t s = 0; s < 16; ++s, q += W) step<V, R, NQ>(acc, row, k + s, q);
  }
  for (; k < dimension; ++k, q += W) step<V, R, NQ>(acc, row, k, q);
  // Fold in row order. The running maximum of a document starting at this
  // tile's first row begins at negative infinity; one that started earlier
  // goes on from its slot.
  float* slot = slots + (doc % kSlots) * slot_stride + column;
  std::size_t next = offsets[doc + 1];
  reg best[NQ];
  const bool fresh = offsets[doc] == first_row;
#pragma GCC unroll 4
  for (int n = 0; n < NQ; ++n) best[n] = fresh ? V::neg_inf() : V::load(slot + n * V::kLanes);
#pragma GCC unroll 16
  for (int i = 0; i < R; ++i) {
    if (first_row + static_cast<std::size_t>(i) == next) {
#pragma GCC unroll 4
      for (int n = 0; n < NQ; ++n) V::store(slot + n * V::kLanes, best[n]);
      ++doc;
      next = offsets[doc + 1];
      slot = slots + (doc % kSlots) * slot_stride + column;
#pragma GCC unroll 4
      for (int n = 0; n < NQ; ++n) best[n] = V::neg_inf();
    }
#pragma GCC unroll 4
    for (int n = 0; n < NQ; ++n) best[n] = V::max(acc[i][n], best[n]);
  }
#pragma GCC unroll 4
  for (int n = 0; n < NQ; ++n) V::store(slot + n * V::kLanes, best[n]);
}

using TileFn = void (*)(const float*, std::size_t, const float* const*, const float* const*, std::size_t,
                        const std::size_t*, std::size_t, float*, std::size_t, std::size_t);

// kTiles<V>[NQ - 1][R - 1] is tile<V, R, NQ>.
template <class V, int NQ, int... Rs>
constexpr TileFn kRowTiles[sizeof...(Rs)] = {&tile<V, Rs + 1, NQ>...};

template <class V, int NQ, std::size_t... Rs>
constexpr const TileFn* row_tiles(std::index_sequence<Rs...>) {
  return kRowTiles<V, NQ, static_cast<int>(Rs)...>;
}

// The row pointers of rows [first, first + count) into `out`, clamped to
// the last row of the call (end_row - 1). Document d's rows start at
// doc_rows[d] when given, else at documents + offsets[d] * dimension.
inline void row_pointers(const float* documents, const float* const* doc_rows, const std::size_t* offsets,
                         std::size_t dimension, std::size_t doc, std::size_t first, std::size_t count,
                         std::size_t end_row, const float** out) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t r = first + i < end_row ? first + i : end_row - 1;
    if (doc_rows == nullptr) {
      out[i] = documents + r * dimension;
      continue;
    }
    while (offsets[doc + 1] <= r) ++doc;
    out[i] = doc_rows[doc] + (r - offsets[doc]) * dimension;
  }
}

// Scores documents [start, end): tiles of rows in row order, each against
// every tile of query tokens; a document is summed once its last row is
// folded under every query tile.
template <class V>
QM_FUSED_TARGET void score_documents(const PackedQuery& query, const float* documents, const float* const* doc_rows,
                                     const std::size_t* offsets, std::size_t start, std::size_t end, float* out,
                                     float* slots) {
  constexpr std::size_t R = V::kRows;
  constexpr std::size_t L = V::kLanes;
  const TileFn* two = row_tiles<V, 2>(std::make_index_sequence<R>());
  const TileFn* one = row_tiles<V, 1>(std::make_index_sequence<R>());
  const std::size_t dimension = query.dimension;
  const std::size_t padded = query.padded_rows;
  const float* packed = query.values.data();
  const std::size_t end_row = offsets[end];
  std::size_t doc = start;
  const float* rows[R];
  const float* ahead[R];
  row_pointers(documents, doc_rows, offsets, dimension, doc, offsets[start], R, end_row, ahead);
  for (std::size_t row = offsets[start]; row < end_row;) {
    const std::size_t n = end_row - row < R ? end_row - row : R;
    for (std::size_t i = 0; i < R; ++i) rows[i] = ahead[i];
    row_pointers(documents, doc_rows, offsets, dimension, doc, row + R, R, end_row, ahead);
    std::size_t column = 0;
    for (; column + 2 * L <= padded; column += 2 * L)
      two[n - 1](packed + column * dimension, dimension, rows, ahead, row, offsets, doc, slots, padded, column);
    if (column < padded)
      one[n - 1](packed + column * dimension, dimension, rows, ahead, row, offsets, doc, slots, padded, column);
    row += n;
    for (; doc < end && offsets[doc + 1] <= row; ++doc) {
      const float* best = slots + (doc % kSlots) * padded;
      float score = -0.0f;
      for (std::size_t j = 0; j < query.query_rows; ++j) score += best[j];
      out[doc] = score;
    }
  }
}

}  // namespace quillmark::fused_tiles
