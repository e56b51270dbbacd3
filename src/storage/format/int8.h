#pragma once
// Int8 encoding of token vectors: one signed byte per component plus one
// float32 scale per row.
//
// Encoding a row x: m = max |x[j]|; scale = max(m / 127, 1e-12) in float32;
// code[j] = round_half_away_from_zero(x[j] / scale) clamped to -127..127.
// Decoding: y[j] = float(code[j]) * scale, then optionally scaled to unit
// length (normalize.h). Codes never take the value -128.
//
// Both drivers split the work by rows and run it in parallel on the pool the
// calling thread works in (the default pool outside any pool); callers pick
// the pool by running them inside install(threads, ...) (threads.h). Rows are
// independent and each writes only its own outputs; no locks are taken.

#include <cstddef>
#include <cstdint>
#include <span>

namespace quillmark {

// Encodes one row into `codes` (same length) and returns its scale.
// REQUIRES: every value is finite.
float int8_encode_row(std::span<const float> row, std::span<std::int8_t> codes);

// Decodes one row into `out` (same length), normalising it when `unit_rows`.
void int8_decode_row(std::span<const std::int8_t> codes, float scale, bool unit_rows, std::span<float> out);

// Encodes a row-major [rows, dimension] matrix. Cannot fail on valid input.
// REQUIRES: dimension >= 1; values.size() == codes.size() == scales.size() *
// dimension; every value finite.
void int8_encode(std::span<const float> values, std::size_t dimension, std::span<std::int8_t> codes,
                 std::span<float> scales);

// Decodes into a row-major [rows, dimension] matrix, each row normalised to
// unit length when `unit_rows`.
// REQUIRES: dimension >= 1; codes.size() == out.size() == scales.size() *
// dimension; every scale finite and positive.
void int8_decode(std::span<const std::int8_t> codes, std::span<const float> scales, std::size_t dimension,
                 bool unit_rows, std::span<float> out);

}  // namespace quillmark
