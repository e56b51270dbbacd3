// Test-only entry points for the conversions of representations, requirements
// and feature values, which have no public user of their own yet.

#include <thread>
#include <vector>

#include "convert.h"
#include "errors.h"
#include "query_types.h"
#include "representation_convert.h"

namespace quillmark::py {

namespace {

// A native value that cannot be read as a matrix.
class OpaqueValue final : public FeatureValue {
 public:
  std::shared_ptr<const TokenMatrix> token_matrix() const override { return nullptr; }
};

PyObject* matrix_to_py(const std::shared_ptr<const TokenMatrix>& m) {
  if (!m) Py_RETURN_NONE;
  Ref values = Ref::steal(PyList_New(0));
  if (!values) return nullptr;
  for (float f : m->values()) {
    Ref item = Ref::steal(PyFloat_FromDouble(f));
    if (!item || PyList_Append(values.get(), item.get()) != 0) return nullptr;
  }
  return Py_BuildValue("nnO", static_cast<Py_ssize_t>(m->tokens()), static_cast<Py_ssize_t>(m->dimension()),
                       values.get());
}

}  // namespace

// The requirements of a mapping's items, as a list of (name, representation
// object) pairs in map order.
PyObject* t_requirements(PyObject*, PyObject* items) {
  return guarded([&]() -> PyObject* {
    auto map = requirements(items);
    if (!map) return nullptr;
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& [name, representation] : *map) {
      Ref back = representation_to_py(representation);
      if (!back) return nullptr;
      Ref pair = Ref::steal(Py_BuildValue("s#O", name.data(), static_cast<Py_ssize_t>(name.size()), back.get()));
      if (!pair || PyList_Append(list.get(), pair.get()) != 0) return nullptr;
    }
    return list.release();
  });
}

// token_matrix(obj, between=None): reads `obj` as a PythonValue's token
// matrix, calls `between()` (if given), reads again from the same value, and
// returns both readings, each (tokens, dimension, values) or None.
PyObject* t_token_matrix(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *obj, *between = Py_None;
    if (!PyArg_ParseTuple(args, "O|O", &obj, &between)) return nullptr;
    PythonValue value(Ref::borrow(obj));
    Ref first = Ref::steal(matrix_to_py(value.token_matrix()));
    if (!first) return nullptr;
    if (between != Py_None && !Ref::steal(PyObject_CallNoArgs(between))) return nullptr;
    Ref second = Ref::steal(matrix_to_py(value.token_matrix()));
    if (!second) return nullptr;
    return PyTuple_Pack(2, first.get(), second.get());
  });
}

// Reads `obj` as a token matrix from `threads` native threads at once, with
// the caller's lock released. Returns True when every thread got the one
// reading (the same object), and that reading was present.
PyObject* t_token_matrix_threads(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* obj;
    int threads;
    if (!PyArg_ParseTuple(args, "Oi", &obj, &threads)) return nullptr;
    auto value = std::make_shared<const PythonValue>(Ref::borrow(obj));
    std::vector<std::shared_ptr<const TokenMatrix>> seen(static_cast<std::size_t>(threads));
    detached([&] {
      std::vector<std::thread> workers;
      for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] { seen[static_cast<std::size_t>(t)] = value->token_matrix(); });
      for (auto& w : workers) w.join();
      return 0;
    });
    bool same = seen[0] != nullptr;
    for (const auto& m : seen) same = same && m == seen[0];
    return PyBool_FromLong(same);
  });
}

// value_to_py of a native value: (values, dimension) gives a token-matrix
// value, None an opaque one.
PyObject* t_native_value_to_py(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* values_obj = Py_None;
    Py_ssize_t dimension = 0;
    if (!PyArg_ParseTuple(args, "|On", &values_obj, &dimension)) return nullptr;
    if (values_obj == Py_None) return value_to_py(OpaqueValue()).release();
    Ref fast = Ref::steal(PySequence_Fast(values_obj, "values must be a sequence"));
    if (!fast) return nullptr;
    std::vector<float> values;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast.get()); ++i)
      values.push_back(static_cast<float>(PyFloat_AsDouble(PySequence_Fast_GET_ITEM(fast.get(), i))));
    if (PyErr_Occurred()) return nullptr;
    auto matrix = TokenMatrix::make(std::move(values), static_cast<std::size_t>(dimension));
    if (!matrix) return raise(matrix.error());
    return value_to_py(TokenMatrixValue(std::move(*matrix))).release();
  });
}

}  // namespace quillmark::py
