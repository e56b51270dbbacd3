#pragma once
// A Python callable as a feature's provider, and what the garbage collector
// may see of a core Feature: the core keeps a feature's provider and value
// private and shared, so the binding records which Python objects it put
// there and reports them only while one Python object owns the feature alone.

#include "py_ref.h"

#include <memory>

#include "search/query.h"

namespace quillmark::py {

// A feature whose value the Python callable `provider` produces on first
// demand: called with the lock taken for the call only; a raised exception
// travels as External (the same exception object), a returned object becomes
// the feature's value (a PythonValue). REQUIRES: the lock is held.
std::shared_ptr<const Feature> lazy_python_feature(Representation representation, Ref provider);

// tp_traverse help for a Python object holding `feature`: visits the Python
// objects the feature holds (its provider before materialisation, its value's
// object after) when `feature` is the only reference to the feature and the
// feature the only holder of those references; otherwise visits nothing (the
// references are owned elsewhere too, and claiming them could make the
// collector free live objects). REQUIRES: the lock is held.
int traverse_feature(const std::shared_ptr<const Feature>& feature, visitproc visit, void* arg);

}  // namespace quillmark::py
