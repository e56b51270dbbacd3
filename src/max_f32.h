#pragma once
// Maximum of a run of float32 values: an AVX2 routine and a portable one.
// Both start from negative infinity and are exact for finite values; a NaN
// never replaces the running maximum in the portable routine (the wide one
// leaves NaN handling unspecified).

#include <span>

namespace quillmark {

// REQUIRES: the processor supports AVX2.
float avx2_max(std::span<const float> values);
float portable_max(std::span<const float> values);

// True when AVX2 is available (probed once per process) and not disabled by
// set_force_portable_max.
bool use_avx2_max();
// Test hook: forces the portable routine (true) or restores detection (false).
void set_force_portable_max(bool force);

// The routine chosen for this process.
inline float max_f32(std::span<const float> values) {
  return use_avx2_max() ? avx2_max(values) : portable_max(values);
}

}  // namespace quillmark
