#pragma once
// Fused MaxSim for float32: the similarities of a tile of query tokens and a
// tile of document rows are computed in registers and folded at once into
// the running per-token maxima of their documents, so that no similarity
// block is ever written to memory (the BLAS path writes one per batch and
// reads it again for the maximum).
//
// Semantics, the same as the BLAS path's (kernel.h) but for the rounding of
// the dot products:
//   - similarity(j, r) = fma chain over k = 0, 1, ..., dimension-1 from +0.0
//     of query[j][k] * row[r][k], in that order, on every path and in every
//     tile position: a score depends on its document's rows and the query
//     alone, never on batches, tiles or the thread count, and the AVX2 and
//     AVX-512 routines give the same bits;
//   - per query token, best = fold over the document's rows in order of
//     (v > best ? v : best) from negative infinity (a NaN never wins, the
//     first of equal values does: max_f32.h);
//   - score = the bests summed in float32 from -0.0 in query-token order.
//
// Layout: the query is packed once per call into tiles of query tokens
// (packed_query), each tile dimension-major so that one vector load gives
// the tile's values at one k; document rows are read in place, row-major
// (the layout a store gathers and decodes into), one broadcast per row and k.

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace quillmark {

// How the kernel multiplies: the BLAS product then the maximum (kernel.cpp),
// or a fused routine.
enum class KernelPath { Blas, FusedAvx2, FusedAvx512 };

// True when this processor can run `path` (probed once per process).
bool kernel_path_supported(KernelPath path);

// The path the kernel takes for a query of `query_rows` tokens of
// `dimension`: the forced one if set, else the AVX2 fused routine when the
// processor runs it and the shape is one the fused kernel measured faster at
// (fused_shape_preferred), else the BLAS. The AVX-512 routine runs only when
// forced, until it has been measured on a processor that has AVX-512.
KernelPath kernel_path(std::size_t query_rows, std::size_t dimension);

// The shapes at which the fused kernel measured faster than the BLAS path
// (bench/kernel_limit.py).
bool fused_shape_preferred(std::size_t query_rows, std::size_t dimension);

// Test hook: forces `path` for every shape (nullopt restores the choice by
// shape). Returns false and changes nothing when the processor cannot run it.
bool force_kernel_path(std::optional<KernelPath> path);

// The query packed for a fused path: tiles of query tokens, each
// `width` tokens wide (the last tile padded with zero tokens), stored
// dimension-major ([k][width]) one after another.
struct PackedQuery {
  KernelPath path = KernelPath::Blas;
  std::size_t query_rows = 0;
  std::size_t padded_rows = 0;  // query_rows rounded up to the path's vector lanes
  std::size_t dimension = 0;
  std::vector<float> values;    // padded_rows * dimension floats
};

// REQUIRES: `path` is a fused path the processor runs; query holds
// query_rows * dimension floats, query_rows >= 1, dimension >= 1.
PackedQuery pack_query(KernelPath path, std::span<const float> query, std::size_t query_rows,
                       std::size_t dimension);

// Scores documents [start, end) of `documents` (row-major rows of the packed
// query's dimension; document i is rows offsets[i] .. offsets[i+1]) into
// out[start .. end). Uses a per-thread scratch of 16 rows of padded tokens,
// kept for the thread's next call (the kernel trims it with its own: kernel.cpp).
// REQUIRES: start < end; every document has at least one row.
void fused_score_documents(const PackedQuery& query, const float* documents, std::span<const std::size_t> offsets,
                           std::size_t start, std::size_t end, float* out);

// Scores documents whose rows lie apart: document i's offsets[i+1] -
// offsets[i] rows start at doc_rows[i] (row-major, consecutive), into
// out[0 .. doc_rows.size()), with the bits fused_score_documents gives the
// same rows packed together.
// REQUIRES: doc_rows is not empty; offsets has doc_rows.size() + 1 entries,
// increasing (their differences are the lengths; they need not start at 0).
void fused_score_document_rows(const PackedQuery& query, std::span<const float* const> doc_rows,
                               std::span<const std::size_t> offsets, float* out);

// Bytes of scratch the calling thread keeps for its next fused call.
std::size_t fused_retained_bytes();
// Frees that scratch.
void release_fused_scratch();

}  // namespace quillmark
