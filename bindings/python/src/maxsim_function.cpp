// maxsim_scores_packed: the kernel, called from Python on caller-owned arrays.

#include "convert.h"
#include "errors.h"
#include "kernel.h"
#include "numpy_api.h"
#include "registry.h"

namespace quillmark::py {

namespace {

PyObject* maxsim_scores_packed(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"query", "documents", "document_lengths", "max_batch_tokens", "threads",
                                     nullptr};
    PyObject *query_obj, *documents_obj, *lengths_obj, *max_batch_obj = Py_None, *threads_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$OO:maxsim_scores_packed", const_cast<char**>(keywords),
                                     &query_obj, &documents_obj, &lengths_obj, &max_batch_obj, &threads_obj))
      return nullptr;
    PyObject* query = strict_f32_matrix(query_obj, "query");
    if (!query) return nullptr;
    PyObject* documents = strict_f32_matrix(documents_obj, "documents");
    if (!documents) return nullptr;
    if (!strict_i64_vector(lengths_obj, "document_lengths")) return nullptr;
    std::optional<std::size_t> max_batch_tokens, threads;
    if (!optional_count(max_batch_obj, "max_batch_tokens", max_batch_tokens)) return nullptr;
    if (!optional_count(threads_obj, "threads", threads)) return nullptr;

    const npy_intp q_dim = PyArray_DIM(reinterpret_cast<PyArrayObject*>(query), 1);
    const npy_intp d_dim = PyArray_DIM(reinterpret_cast<PyArrayObject*>(documents), 1);
    if (q_dim != d_dim)
      return PyErr_Format(PyExc_ValueError, "query dimension %zd differs from document dimension %zd",
                          static_cast<Py_ssize_t>(q_dim), static_cast<Py_ssize_t>(d_dim));
    auto doc_lengths = lengths(lengths_obj);
    if (!doc_lengths) return nullptr;
    auto query_values = flat_f32(query, "query");
    if (!query_values) return nullptr;
    auto document_values = flat_f32(documents, "documents");
    if (!document_values) return nullptr;

    // The arrays are read in place while detached; the caller keeps them alive
    // (they are arguments of this call) and must not write to them meanwhile.
    auto scores = detached([&] {
      return maxsim_scores(*query_values, *document_values, *doc_lengths, static_cast<std::size_t>(q_dim),
                           max_batch_tokens, threads);
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
