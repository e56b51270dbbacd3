// maxsim_scores_packed: the kernel, called from Python on caller-owned arrays.

#include <string>

#include "convert.h"
#include "errors.h"
#include "kernel/kernel.h"
#include "numpy_api.h"
#include "packed_arguments.h"
#include "registry.h"

namespace quillmark::py {

bool parse_packed_arguments(PyObject* args, PyObject* kwargs, const char* name, PackedArguments& out) {
  static const char* keywords[] = {"query", "documents", "document_lengths", "max_batch_tokens", "threads", nullptr};
  const std::string format = std::string("OOO|$OO:") + name;
  PyObject *query_obj, *documents_obj, *lengths_obj, *max_batch_obj = Py_None, *threads_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(keywords), &query_obj,
                                   &documents_obj, &lengths_obj, &max_batch_obj, &threads_obj))
    return false;
  PyObject* query = strict_f32_matrix(query_obj, "query");
  if (!query) return false;
  PyObject* documents = strict_f32_matrix(documents_obj, "documents");
  if (!documents) return false;
  if (!strict_i64_vector(lengths_obj, "document_lengths")) return false;
  if (!optional_count(max_batch_obj, "max_batch_tokens", out.max_batch_tokens)) return false;
  if (!optional_count(threads_obj, "threads", out.threads)) return false;

  const npy_intp q_dim = PyArray_DIM(reinterpret_cast<PyArrayObject*>(query), 1);
  const npy_intp d_dim = PyArray_DIM(reinterpret_cast<PyArrayObject*>(documents), 1);
  if (q_dim != d_dim) {
    PyErr_Format(PyExc_ValueError, "query dimension %zd differs from document dimension %zd",
                 static_cast<Py_ssize_t>(q_dim), static_cast<Py_ssize_t>(d_dim));
    return false;
  }
  auto doc_lengths = lengths(lengths_obj);
  if (!doc_lengths) return false;
  auto query_values = flat_f32(query, "query");
  if (!query_values) return false;
  auto document_values = flat_f32(documents, "documents");
  if (!document_values) return false;
  out.query = *query_values;
  out.documents = *document_values;
  out.lengths = std::move(*doc_lengths);
  out.dimension = static_cast<std::size_t>(q_dim);
  return true;
}

namespace {

PyObject* maxsim_scores_packed(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PackedArguments a;
    if (!parse_packed_arguments(args, kwargs, "maxsim_scores_packed", a)) return nullptr;
    // The arrays are read in place while detached; the caller keeps them alive
    // (they are arguments of this call) and must not write to them meanwhile.
    auto scores = detached([&] {
      return maxsim_scores(a.query, a.documents, a.lengths, a.dimension, a.max_batch_tokens, a.threads);
    });
    if (!scores) return raise(scores.error());
    return scores_to_py(std::move(*scores)).release();
  });
}

PyMethodDef maxsim_scores_packed_def = {
    "maxsim_scores_packed", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(maxsim_scores_packed)),
    METH_VARARGS | METH_KEYWORDS,
    "maxsim_scores_packed(query, documents, document_lengths, *, max_batch_tokens=None, threads=None)\n--\n\n"};

}  // namespace

PyObject* make_maxsim_scores_packed() { return make_function(&maxsim_scores_packed_def); }

}  // namespace quillmark::py
