// Append's argument conversion, shared by VectorStoreWriter.append and
// _check_append so that both refuse a bad batch with the same exception.

#include "append_arguments.h"

#include "convert.h"
#include "errors.h"
#include "numpy_api.h"
#include "registry.h"
#include "representation_convert.h"
#include "storage/append_check.h"

namespace quillmark::py {

std::optional<AppendArguments> append_arguments(PyObject* ids_obj, PyObject* embeddings_obj, PyObject* lengths_obj,
                                                PyObject* threads_obj) {
  if (!strict_f32_matrix(embeddings_obj, "embeddings")) return std::nullopt;
  AppendArguments out;
  // Read in place when C-contiguous and aligned, else copied in row order.
  out.array = Ref::borrow(embeddings_obj);
  auto* a = reinterpret_cast<PyArrayObject*>(out.array.get());
  if (PyArray_SIZE(a) > 0 && !(PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISALIGNED(a))) {
    out.array = Ref::steal(PyArray_NewCopy(a, NPY_CORDER));
    if (!out.array) return std::nullopt;
  }
  out.columns = static_cast<std::size_t>(PyArray_DIM(reinterpret_cast<PyArrayObject*>(out.array.get()), 1));
  auto values = flat_f32(out.array.get(), "embeddings");
  if (!values) return std::nullopt;
  out.values = *values;
  if (!optional_count(threads_obj, "threads", out.threads)) return std::nullopt;
  auto ids = document_ids(ids_obj);
  if (!ids) return std::nullopt;
  out.ids = std::move(*ids);
  auto lengths = py::lengths(lengths_obj);
  if (!lengths) return std::nullopt;
  out.lengths = std::move(*lengths);
  return out;
}

namespace {

PyObject* check_append_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"representation", "document_ids", "embeddings", "document_lengths", "threads",
                                     nullptr};
    PyObject *representation_obj = nullptr, *ids_obj = nullptr, *embeddings_obj = nullptr, *lengths_obj = nullptr,
             *threads_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|$O:_check_append", const_cast<char**>(keywords),
                                     &representation_obj, &ids_obj, &embeddings_obj, &lengths_obj, &threads_obj))
      return nullptr;
    auto representation = representation_from_py(representation_obj);
    if (!representation) return nullptr;
    auto arguments = append_arguments(ids_obj, embeddings_obj, lengths_obj, threads_obj);
    if (!arguments) return nullptr;
    // An empty batch is a no-op for the writer, so it passes here too.
    if (!(arguments->values.empty() && arguments->ids.empty() && arguments->lengths.empty())) {
      auto checked = detached([&] {
        return check_append(*representation, arguments->ids, arguments->values, arguments->columns,
                            arguments->lengths);
      });
      if (!checked) return raise(checked.error());
    }
    return ids_to_py(arguments->ids).release();
  });
}

PyMethodDef check_append_def = {
    "_check_append", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check_append_function)),
    METH_VARARGS | METH_KEYWORDS,
    "_check_append(representation, document_ids, embeddings, document_lengths, *, threads=None)\n--\n\n"
    "Raise what ``VectorStoreWriter.append`` raises for this batch on a store\n"
    "of ``representation``, without a store; when it would append the batch,\n"
    "return its document ids as a list (``document_ids`` is iterated once)."};

}  // namespace

PyObject* make_check_append() { return make_function(&check_append_def); }

}  // namespace quillmark::py
