#pragma once
// The Python value classes of the search: Subset, Candidate, Gathered and
// Scored, and the conversions between them and the core values. All
// functions here REQUIRE the interpreter lock; those returning optional or
// Ref return empty with a Python exception set on failure.

#include "py_ref.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "search/stage.h"

namespace quillmark::py {

// The cached Python types (borrowed), or null with an exception set.
PyObject* subset_type();
PyObject* candidate_type();
PyObject* gathered_type();
PyObject* scored_type();

// candidates_from_py: iterates `obj` once; every item must be a Candidate
// (TypeError otherwise); the first failure ends the conversion.
std::optional<std::vector<Candidate>> candidates_from_py(PyObject* obj);
// candidates_to_py: a new tuple of new Candidate objects, in order.
Ref candidates_to_py(std::span<const Candidate> candidates);

// The core value of a Gathered / Scored instance (copied), or empty with
// TypeError for any other object.
std::optional<Gathered> gathered_from_py(PyObject* obj);
std::optional<Scored> scored_from_py(PyObject* obj);
// A new Scored object holding `scored`.
Ref scored_to_py(const Scored& scored);

// The core subset of a Subset instance (shared, not copied), or null (no
// exception set) for any other object.
const Subset* subset_from_py(PyObject* obj);
// A new Subset object equal to `subset`.
Ref subset_to_py(const Subset& subset);

// A list of optional scores: float or None per entry.
Ref optional_scores_to_py(std::span<const std::optional<float>> scores);

}  // namespace quillmark::py
