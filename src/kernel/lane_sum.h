#pragma once
// Lane-wise sums over rows of float32 values, in double precision: how a
// document's token vectors are added up to pool them.
//
// Every routine computes, for each lane j in [0, lanes),
//   sum[j] = sum[j] + v(0) + v(1) + ... + v(rows-1), v(r) = double(values[r * lanes + j]),
// added one row after another in exactly that order per lane, each addition
// rounded once. Hence the portable and the wide routine return identical
// bits on every input, and a sum split into runs of rows (added run after
// run) equals the sum in one call.

#include <cstddef>

namespace quillmark {

// REQUIRES: values holds rows * lanes floats; sum holds lanes doubles.
void lane_sum_f64_portable(const float* values, std::size_t rows, std::size_t lanes, double* sum);
// REQUIRES: as above, and the processor supports AVX2.
void lane_sum_f64_avx2(const float* values, std::size_t rows, std::size_t lanes, double* sum);

// The AVX2 routine when the processor has it, else the portable one.
void lane_sum_f64(const float* values, std::size_t rows, std::size_t lanes, double* sum);

}  // namespace quillmark
