#pragma once
// The Python class ResourceBudget over the core ResourceBudget.

#include "py_ref.h"

#include <optional>

#include "runtime/resource_budget.h"

namespace quillmark::py {

// The cached type (borrowed), or null with an exception set.
PyObject* resource_budget_type();

// The budget of a `ResourceBudget` instance, or empty with TypeError for any
// other object. REQUIRES: the lock is held.
std::optional<ResourceBudget> budget_from_py(PyObject* obj);
// A new `ResourceBudget` object holding `budget`'s three values.
Ref budget_to_py(const ResourceBudget& budget);

}  // namespace quillmark::py
