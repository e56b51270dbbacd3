#pragma once
// The fixed conversions between Python arguments and core values. All run
// with the interpreter lock held. Each returns an empty optional (or false)
// with a Python exception set when the input is rejected.

#include "py_ref.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/representation.h"
#include "base/text.h"
#include "base/time_value.h"

namespace quillmark::py {

// A float32 matrix copied into logical row-major order.
struct PackedMatrix {
  std::vector<float> values;
  std::size_t rows = 0;
  std::size_t columns = 0;
};

// Any iterable of str except a str itself, in iteration order.
std::optional<std::vector<SharedText>> document_ids(PyObject* obj);
// A new list of str, one per id, in order; null with the exception set.
Ref ids_to_py(std::span<const SharedText> ids);

// Document lengths: integer values only, in one axis. Accepted are a
// sequence (not a str) of integers (Python ints, NumPy integer and bool
// scalars, anything with __index__) and a one-axis NumPy array of a boolean,
// integer or object dtype (cast safely; an object array's items must be
// integers); anything else is read as NumPy reads it, then so checked.
// Failures, `what` naming the source (by default the argument of
// maxsim_scores_packed and VectorStoreWriter.append):
//   - a float or other non-integer value or dtype: TypeError "{what} must
//     hold integers, not {type or dtype}";
//   - not one axis: TypeError "document lengths must convert to a
//     one-dimensional int64 array";
//   - a negative value: ValueError "document length at position {i} must be
//     positive" (zero passes: consumers reject it themselves);
//   - a value above 2**64 - 1: ValueError "{what}: document length at
//     position {i} exceeds 2**64 - 1".
std::optional<std::vector<std::size_t>> lengths(PyObject* obj, const char* what = "argument 'document_lengths'");

// Integers in one axis, copied: a sequence of ints or a one-axis NumPy array
// of a signed or unsigned integer dtype (an empty one of any dtype), the
// argument `name`. Failures: TypeError "argument '{name}' must hold
// integers, not {dtype}" for another dtype (a str included), TypeError
// "argument '{name}' must have one axis, not {n}", ValueError "argument
// '{name}' holds {value}, beyond int64" for an unsigned value above
// 2**63 - 1. Copied with the lock held, so no other thread can change the
// values while the lock is released.
std::optional<std::vector<std::int64_t>> int64_values(PyObject* obj, const char* name);

// A NumPy float32 array with exactly two axes, else TypeError naming `name`.
// Returns the array (borrowed).
PyObject* strict_f32_matrix(PyObject* obj, const char* name);
// A NumPy int64 array with exactly one axis, else TypeError naming `name`.
PyObject* strict_i64_vector(PyObject* obj, const char* name);
// The flat, in-place float32 data of a strict matrix: empty for an array with
// no elements, else the array must be C-contiguous and aligned (TypeError).
// The caller must keep the array alive while the span is used.
std::optional<std::span<const float>> flat_f32(PyObject* array, const char* name);

// Anything convertible to a two-axis float32 array, copied row-major.
std::optional<PackedMatrix> array_f32_matrix(PyObject* obj);

// Attribute `name` of `obj`, which must be a str.
std::optional<std::string> attribute(PyObject* obj, const char* name);

// A new Python str of UTF-8 text (UnicodeDecodeError for invalid bytes).
Ref text_to_py(std::string_view text);

// A Python str as UTF-8 (TypeError for anything else).
std::optional<std::string> text(PyObject* obj);

// A str or os.PathLike, encoded with the file-system encoding (TypeError
// otherwise).
std::optional<std::filesystem::path> path_argument(PyObject* obj);

// The items of a mapping (an iterable of (name, representation) pairs, e.g.
// the list PyMapping_Items returns): each name a str (TypeError otherwise),
// each representation read with representation_from_py; the first failure
// ends the conversion. A name given twice is a ValueError.
std::optional<std::map<std::string, Representation>> requirements(PyObject* items);

// A non-negative integer (__index__) fitting a size, the argument `name`:
// TypeError "argument '{name}' must be an integer, not {type}" for a
// non-integer, OverflowError naming the argument when negative or too large.
// Returns false on failure.
bool count(PyObject* obj, const char* name, std::size_t& out);

// None (or a missing argument), or a count as above.
bool optional_count(PyObject* obj, const char* name, std::optional<std::size_t>& out);

// A timezone-aware datetime not before the Unix epoch.
std::optional<TimeValue> time_from_py(PyObject* obj);
// A timezone-aware UTC datetime (microseconds truncated); ValueError "time
// value of {seconds} seconds after the Unix epoch is beyond the range of
// datetime" past 9999-12-31T23:59:59.999999.
Ref time_to_py(TimeValue value);

// A new, writeable, C-ordered float32 array of `shape` that takes over the
// buffer of `values` (no copy); the buffer is released with the array.
// REQUIRES: the product of `shape` equals values.size().
Ref owned_floats_to_py(std::vector<float>&& values, std::span<const std::size_t> shape);

// A one-axis float32 array that takes ownership of `scores` (no copy).
Ref scores_to_py(std::vector<float>&& scores);

// The number form of a 32-bit float in reprs: the shortest decimal text that
// reads back as the same float, positional (no exponent), no trailing ".0"
// (2.0 -> "2", 1e20 -> "100000000000000000000", -0.0 -> "-0"), and "NaN",
// "inf", "-inf". Needs no interpreter lock.
std::string float_text(float value);

}  // namespace quillmark::py
