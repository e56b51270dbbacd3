#pragma once
// Scaling a float32 row to unit Euclidean length: an AVX2 routine and a
// portable one. Both compute n = sqrt(sum of squares) in float32, d = max(n,
// 1e-12), and scale every component by 1/d; a row of zeros stays zero. They
// may differ in the last bits of a component.

#include <span>

namespace quillmark {

// Eight float32 lanes of squares (multiply, then add), lanes added in order,
// then the remaining components; multiplies by the reciprocal of d.
// REQUIRES: the processor supports AVX2.
void avx2_normalize(std::span<float> row);
// avx2_normalize for a row whose whole 8-component blocks have already been
// squared and summed into eight lanes exactly as avx2_normalize sums them
// (multiply, then add, block by block): adds the lanes in order and the
// squares of the remaining components, then scales the row. Lets a routine
// that produces the row measure it on the way (int8 decoding) with the same
// result as avx2_normalize.
// REQUIRES: the processor supports AVX2.
void avx2_normalize_from_lanes(std::span<float> row, const float (&lanes)[8]);
// Sums the squares four at a time and divides every component by d.
void portable_normalize(std::span<float> row);

// True when AVX2 is available (probed once per process) and the portable
// routine is not forced.
bool use_avx2_normalize();
// Test hook: forces the portable routine (true) or restores detection (false).
void set_force_portable_normalize(bool force);

inline void normalize(std::span<float> row) {
  if (use_avx2_normalize())
    avx2_normalize(row);
  else
    portable_normalize(row);
}

}  // namespace quillmark
