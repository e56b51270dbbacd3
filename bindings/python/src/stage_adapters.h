#pragma once
// Python objects as core stages and sources: the declaration of a Python
// gatherer or reranker is read once, its methods are looked up and called on
// every use with the interpreter lock taken for that call only, and a Python
// exception raised there travels through the core as an External error
// holding the very same exception object.

#include "py_ref.h"

#include <memory>

#include "search/source.h"
#include "search/stage.h"

namespace quillmark::py {

// Adapters for `obj`, reading its declaration now (requires, then
// score_semantics, then the class name; or, for a source, corpus,
// representation, score_semantics). Null with the Python exception set when
// the declaration cannot be read. REQUIRES: the lock is held.
std::shared_ptr<const CandidateGenerator> python_gatherer(PyObject* obj);
std::shared_ptr<const Reranker> python_reranker(PyObject* obj);
std::shared_ptr<const MultiVectorSource> python_source(PyObject* obj);

// The Python object an adapter made by the functions above holds (borrowed,
// valid while the adapter lives), or null for a native stage or source. Lets
// the Python objects that own a core stage visit that reference for the
// garbage collector. REQUIRES: the lock is held.
PyObject* adapted_object(const CandidateGenerator& stage);
PyObject* adapted_object(const Reranker& stage);
PyObject* adapted_object(const MultiVectorSource& source);

}  // namespace quillmark::py
