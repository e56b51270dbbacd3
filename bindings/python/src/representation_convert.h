#pragma once
// Representations between Python and the core. Python representations are
// duck-typed: any object with the six attributes serves; on the way out the
// module builds objects of the class the package hands it at import
// (_set_representation_type).

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

// A new object of the class set by _set_representation_type, built with the
// six fields as keyword arguments. Null with RuntimeError set when no class
// was set yet, or with the exception of the call. REQUIRES: the lock is held.
Ref representation_to_py(const Representation& representation);

}  // namespace quillmark::py
