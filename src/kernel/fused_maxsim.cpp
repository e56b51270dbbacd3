#include "kernel/fused_maxsim.h"

#include <atomic>

#include "base/error.h"
#include "runtime/cpu_features.h"

namespace quillmark {

// Defined in fused_maxsim_avx2.cpp and fused_maxsim_avx512.cpp (compiled for
// their instruction sets, called only when the processor has them).
void fused_score_documents_avx2(const PackedQuery& query, const float* documents, const float* const* doc_rows,
                                const std::size_t* offsets, std::size_t start, std::size_t end, float* out,
                                float* slots);
void fused_score_documents_avx512(const PackedQuery& query, const float* documents, const float* const* doc_rows,
                                  const std::size_t* offsets, std::size_t start, std::size_t end, float* out,
                                  float* slots);

namespace {

// -1: the choice by shape; otherwise the forced KernelPath.
std::atomic<int> forced_path{-1};

// Slots of running maxima (fused_maxsim_tiles.h): 16 rows of padded tokens.
constexpr std::size_t kSlots = 16;

// The fused routine chosen by shape: the AVX2 one wherever it runs. The
// AVX-512 routine is taken only when forced (force_kernel_path): it shares
// the tile loop, but no processor it was measured on had AVX-512, so it is
// not chosen before it has been measured against this one and the BLAS.
KernelPath default_fused_path() {
  static const KernelPath path = cpu_has_avx2() && cpu_has_fma() ? KernelPath::FusedAvx2 : KernelPath::Blas;
  return path;
}

// Floats per register, and tokens per full tile, of a fused path.
std::size_t lanes_of(KernelPath path) { return path == KernelPath::FusedAvx512 ? 16 : 8; }

// Per-thread slot scratch, kept between calls (16 rows of padded tokens);
// the kernel frees it with its own scratch beyond its retained limit.
thread_local std::vector<float> SLOTS;

}  // namespace

bool kernel_path_supported(KernelPath path) {
  switch (path) {
    case KernelPath::FusedAvx512:
      return cpu_has_avx512f();
    case KernelPath::FusedAvx2:
      return cpu_has_avx2() && cpu_has_fma();
    case KernelPath::Blas:
      break;
  }
  return true;
}

// The shapes where the fused kernel measured faster than the BLAS path in
// every run of the sweep of bench/kernel_limit.py. Each tile of rows reads
// the whole packed query (query tokens x dimension floats) again, from cache
// while it is small; the BLAS reads each document row once per block of
// query tokens instead, and leads once the query outgrows 32768 floats
// (128 KiB). Dimensions beyond the sweep's go to the BLAS.
bool fused_shape_preferred(std::size_t query_rows, std::size_t dimension) {
  constexpr std::size_t kMaxQueryValues = 32768;
  return dimension <= 2048 && query_rows <= 512 && query_rows * dimension <= kMaxQueryValues;
}

KernelPath kernel_path(std::size_t query_rows, std::size_t dimension) {
  const int forced = forced_path.load(std::memory_order_relaxed);
  if (forced >= 0) return static_cast<KernelPath>(forced);
  return fused_shape_preferred(query_rows, dimension) ? default_fused_path() : KernelPath::Blas;
}

bool force_kernel_path(std::optional<KernelPath> path) {
  if (path && !kernel_path_supported(*path)) return false;
  forced_path.store(path ? static_cast<int>(*path) : -1, std::memory_order_relaxed);
  return true;
}

PackedQuery pack_query(KernelPath path, std::span<const float> query, std::size_t query_rows, std::size_t dimension) {
  QM_INVARIANT(path != KernelPath::Blas, "only a fused path packs the query");
  const std::size_t lanes = lanes_of(path);
  PackedQuery packed{path, query_rows, (query_rows + lanes - 1) / lanes * lanes, dimension, {}};
  packed.values.assign(packed.padded_rows * dimension, 0.0f);
  // Tiles of two registers of tokens, the last one of one register when the
  // padded count calls for it (as score_documents walks them).
  for (std::size_t column = 0; column < packed.padded_rows;) {
    const std::size_t width = column + 2 * lanes <= packed.padded_rows ? 2 * lanes : lanes;
    float* tile = packed.values.data() + column * dimension;
    for (std::size_t t = 0; t < width && column + t < query_rows; ++t)
      for (std::size_t k = 0; k < dimension; ++k) tile[k * width + t] = query[(column + t) * dimension + k];
    column += width;
  }
  return packed;
}

namespace {

void score_with(const PackedQuery& query, const float* documents, const float* const* doc_rows,
                std::span<const std::size_t> offsets, std::size_t start, std::size_t end, float* out) {
  QM_INVARIANT(start < end && end < offsets.size(), "a unit of work holds documents");
  const std::size_t slot_values = kSlots * query.padded_rows;
  if (SLOTS.size() < slot_values) {
    SLOTS.clear();
    SLOTS.reserve(slot_values);
    SLOTS.resize(slot_values);
  }
  switch (query.path) {
    case KernelPath::FusedAvx512:
      fused_score_documents_avx512(query, documents, doc_rows, offsets.data(), start, end, out, SLOTS.data());
      break;
    case KernelPath::FusedAvx2:
      fused_score_documents_avx2(query, documents, doc_rows, offsets.data(), start, end, out, SLOTS.data());
      break;
    case KernelPath::Blas:
      QM_INVARIANT(false, "the BLAS path has no fused routine");
  }
}

}  // namespace

void fused_score_documents(const PackedQuery& query, const float* documents, std::span<const std::size_t> offsets,
                           std::size_t start, std::size_t end, float* out) {
  score_with(query, documents, nullptr, offsets, start, end, out);
}

void fused_score_document_rows(const PackedQuery& query, std::span<const float* const> doc_rows,
                               std::span<const std::size_t> offsets, float* out) {
  QM_INVARIANT(doc_rows.size() + 1 == offsets.size(), "one first row per document");
  score_with(query, nullptr, doc_rows.data(), offsets, 0, doc_rows.size(), out);
}

std::size_t fused_retained_bytes() { return SLOTS.capacity() * sizeof(float); }

void release_fused_scratch() { std::vector<float>().swap(SLOTS); }

}  // namespace quillmark
