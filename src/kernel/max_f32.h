#pragma once
// Lane-wise maximum over rows of float32 values: the kernel's reduction of a
// document's similarity rows to one best similarity per query token.
//
// Every routine computes, for each lane j in [0, lanes),
//   best[j] = fold over r = 0, 1, ..., rows-1 of (v > best ? v : best),
//   v = values[r * lanes + j], starting from negative infinity,
// in exactly that row order per lane. Hence:
//   1. A NaN never replaces the running maximum (comparisons with NaN are
//      false); a lane of only NaN stays negative infinity.
//   2. Among equal values (+0 and -0) the first row's wins.
//   3. The portable and every wide routine return identical bits on every
//      input, NaN and signed zeros included: the wide ones use MAXPS with the
//      new value as first operand, which is the same selection.

#include <cstddef>
#include <optional>

namespace quillmark {

// An AVX-512 routine measured no faster than the AVX2 one here (the maximum
// is about 1% of the kernel's time, bound by reading the block), so there is
// none.
enum class MaxPath { Portable, Avx2 };

// REQUIRES: rows >= 1; values holds rows * lanes floats; best holds lanes.
void lane_max_f32_portable(const float* values, std::size_t rows, std::size_t lanes, float* best);
// REQUIRES: as above, and the processor supports AVX2.
void lane_max_f32_avx2(const float* values, std::size_t rows, std::size_t lanes, float* best);

// True when this processor can run `path` (probed once per process).
bool max_path_supported(MaxPath path);
// The routine the kernel uses: the forced one if set, else AVX2 when the
// processor has it, else the portable one.
MaxPath max_path();
// Test hook: forces `path` (nullopt restores detection). Returns false and
// changes nothing when the processor cannot run `path`.
bool force_max_path(std::optional<MaxPath> path);

inline void lane_max_f32(MaxPath path, const float* values, std::size_t rows, std::size_t lanes, float* best) {
  switch (path) {
    case MaxPath::Avx2:
      return lane_max_f32_avx2(values, rows, lanes, best);
    case MaxPath::Portable:
      break;
  }
  lane_max_f32_portable(values, rows, lanes, best);
}

}  // namespace quillmark
