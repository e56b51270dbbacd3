#pragma once
// Representations between Python and the core. Python representations are
// duck-typed: any object with the six attributes serves; the module builds
// `quillmark.representation.Representation` objects on the way out.

#include "py_ref.h"

#include <optional>

#include "base/representation.h"

namespace quillmark::py {

// Reads the attributes encoder, encoder_revision (str), dimension (an integer
// index; negative taken as 0), normalized (bool or a NumPy boolean),
// query_template and document_template (str), in that order, then validates
// as Representation::make does. Returns empty with the Python exception of the
// first failing access or conversion set, or ValueError for a failed check.
// REQUIRES: the lock is held.
std::optional<Representation> representation_from_py(PyObject* obj);

// A new quillmark.representation.Representation built with the six fields
// as keyword arguments. Null with the exception of the import, lookup or call
// set on failure. REQUIRES: the lock is held.
Ref representation_to_py(const Representation& representation);

}  // namespace quillmark::py
