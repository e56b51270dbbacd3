// quillmark._native_testing: test-only entry points into conversions and the
// error mapping that have no public user yet. Built with the tests, never
// installed; it links the same shared core and binding as quillmark._native.

#include <cerrno>
#include <stdexcept>
#include <string>
#include <thread>

#include "convert.h"
#include "errors.h"
#include "kernel/fused_maxsim.h"
#include "kernel/kernel.h"
#include "kernel/kernel_bench.h"
#include "kernel/max_f32.h"
#include "numpy_api.h"
#include "packed_arguments.h"
#include "pending_release.h"
#include "shared_object.h"

namespace quillmark::py {

// Defined in query_testing.cpp.
PyObject* t_requirements(PyObject*, PyObject* items);
PyObject* t_token_matrix(PyObject*, PyObject* args);
PyObject* t_token_matrix_threads(PyObject*, PyObject* args);
PyObject* t_native_value_to_py(PyObject*, PyObject* args);
// Defined in storage_testing.cpp.
PyObject* t_commit_failing(PyObject*, PyObject* args);

namespace {

PyObject* ids_to_list(const std::vector<SharedText>& ids) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyObject* s = PyUnicode_FromStringAndSize(ids[i].view().data(), static_cast<Py_ssize_t>(ids[i].size()));
    if (!s) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
  }
  return list.release();
}

PyObject* t_document_ids(PyObject*, PyObject* obj) {
  return guarded([&]() -> PyObject* {
    auto ids = document_ids(obj);
    return ids ? ids_to_list(*ids) : nullptr;
  });
}

PyObject* t_lengths(PyObject*, PyObject* obj) {
  return guarded([&]() -> PyObject* {
    auto v = lengths(obj);
    if (!v) return nullptr;
    Ref list = Ref::steal(PyList_New(0));
    for (std::size_t x : *v)
      if (PyList_Append(list.get(), Ref::steal(PyLong_FromSize_t(x)).get()) != 0) return nullptr;
    return list.release();
  });
}

// Returns (rows, columns, flat list of values).
PyObject* t_row_major(PyObject*, PyObject* obj) {
  return guarded([&]() -> PyObject* {
    auto m = array_f32_matrix(obj);
    if (!m) return nullptr;
    Ref values = Ref::steal(PyList_New(0));
    for (float f : m->values)
      if (PyList_Append(values.get(), Ref::steal(PyFloat_FromDouble(f)).get()) != 0) return nullptr;
    return Py_BuildValue("nnO", static_cast<Py_ssize_t>(m->rows), static_cast<Py_ssize_t>(m->columns), values.get());
  });
}

PyObject* t_optional_count(PyObject*, PyObject* obj) {
  return guarded([&]() -> PyObject* {
    std::optional<std::size_t> v;
    if (!optional_count(obj, "count", v)) return nullptr;
    return v ? PyLong_FromSize_t(*v) : Py_NewRef(Py_None);
  });
}

// (seconds, nanoseconds) from a datetime.
PyObject* t_time_from_py(PyObject*, PyObject* obj) {
  return guarded([&]() -> PyObject* {
    auto t = time_from_py(obj);
    if (!t) return nullptr;
    return Py_BuildValue("KI", static_cast<unsigned long long>(t->seconds), t->nanoseconds);
  });
}

PyObject* t_time_to_py(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    unsigned long long seconds;
    unsigned int nanos;
    if (!PyArg_ParseTuple(args, "KI", &seconds, &nanos)) return nullptr;
    return time_to_py(TimeValue{seconds, nanos}).release();
  });
}

// Raises the exception that a core Error of the given kind maps to.
// kinds: "index", "query", "invalid", "storage", "score_count", "nan", "errno"
// (payload: errno), "io_message", "invariant", "bad_alloc", "python" (payload:
// an exception instance, carried through a worker thread as External).
PyObject* t_raise(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* kind;
    PyObject* payload = Py_None;
    if (!PyArg_ParseTuple(args, "s|O", &kind, &payload)) return nullptr;
    std::string k = kind;
    if (k == "index") return raise(Error::incompatible_index("index message"));
    if (k == "query") return raise(Error::incompatible_query("query message"));
    if (k == "invalid") return raise(Error::invalid_input("invalid message"));
    if (k == "storage") return raise(Error::storage("storage message"));
    if (k == "score_count") return raise(RankingError::score_count(5, 2));
    if (k == "nan") return raise(RankingError::nan_score(3));
    if (k == "errno") return raise(IoError::from_errno(static_cast<int>(PyLong_AsLong(payload))));
    if (k == "io_message") return raise(IoError::with_message(IoErrorKind::UnexpectedEof, "failed to fill whole buffer"));
    if (k == "invariant") invariant_failed("an invariant broke");
    if (k == "bad_alloc") throw std::bad_alloc();
    if (k == "logic") throw std::logic_error("a stray C++ exception");
    if (k == "python") {
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(payload)), payload);
      Error carried = take_python_error();
      // Travel through a detached region, as core errors do.
      Error back = detached([&] { return carried; });
      return raise(back);
    }
    PyErr_SetString(PyExc_ValueError, "unknown kind");
    return nullptr;
  });
}

PyObject* t_error_debug(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* kind;
    if (!PyArg_ParseTuple(args, "s", &kind)) return nullptr;
    std::string k = kind;
    Error e = k == "invalid" ? Error::invalid_input("bad \"x\"")
              : k == "nan"   ? Error(RankingError::nan_score(3))
              : k == "count" ? Error(RankingError::score_count(5, 2))
                             : Error(IoError::from_errno(ENOENT));
    return PyUnicode_FromString(e.debug().c_str());
  });
}

// Shares `obj`, drops the only copy on a new native thread and joins it with
// the lock held (a release that waited for the lock would deadlock here).
// Returns (queued releases, Py_REFCNT(obj)) right after the join.
PyObject* t_drop_on_native_thread(PyObject*, PyObject* obj) {
  return guarded([&]() -> PyObject* {
    SharedObject shared = share(Ref::borrow(obj));
    std::thread([held = std::move(shared)]() mutable { held.reset(); }).join();
    return Py_BuildValue("nn", static_cast<Py_ssize_t>(pending_release_count()), Py_REFCNT(obj));
  });
}

PyObject* t_pending_releases(PyObject*, PyObject*) {
  return PyLong_FromSize_t(pending_release_count());
}

// blas_product_only(query, documents, document_lengths, *,
// max_batch_tokens=None, threads=None, orientation="query_by_batch") -> None:
// the kernel's batches, pool rule and sgemm calls without the maximum (the
// limit the BLAS puts on maxsim_scores_packed). Accepts and rejects exactly
// what that function does; `orientation` "batch_by_query" runs the transposed
// product instead of the kernel's.
PyObject* t_blas_product_only(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Orientation orientation = Orientation::QueryByBatch;
    Ref rest;
    if (kwargs) {
      rest = Ref::steal(PyDict_Copy(kwargs));
      if (!rest) return nullptr;
      PyObject* name = PyDict_GetItemString(rest.get(), "orientation");  // borrowed
      if (name) {
        const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8(name) : nullptr;
        if (text && std::string(text) == "batch_by_query") {
          orientation = Orientation::BatchByQuery;
        } else if (!text || std::string(text) != "query_by_batch") {
          if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ValueError, "orientation must be \"query_by_batch\" or \"batch_by_query\"");
          return nullptr;
        }
        if (PyDict_DelItemString(rest.get(), "orientation") != 0) return nullptr;
      }
    }
    PackedArguments a;
    if (!parse_packed_arguments(args, rest.get(), "blas_product_only", a)) return nullptr;
    auto done = detached([&] {
      return maxsim_product_only(a.query, a.documents, a.lengths, a.dimension, a.max_batch_tokens, a.threads,
                                 orientation);
    });
    if (!done) return raise(done.error());
    Py_RETURN_NONE;
  });
}

// force_max_path(name or None) -> bool: forces the kernel's maximum routine
// ("portable", "avx2"; None restores detection). False when this
// processor cannot run it.
PyObject* t_force_max_path(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    std::optional<MaxPath> path;
    if (arg != Py_None) {
      const char* text = PyUnicode_Check(arg) ? PyUnicode_AsUTF8(arg) : nullptr;
      const std::string name = text ? text : "";
      if (name == "portable") path = MaxPath::Portable;
      else if (name == "avx2") path = MaxPath::Avx2;
      else {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "unknown maximum path");
        return nullptr;
      }
    }
    return PyBool_FromLong(force_max_path(path));
  });
}

// force_kernel_path(name or None) -> bool: forces how the kernel multiplies
// ("blas", "fused_avx2", "fused_avx512"; None restores the choice by shape).
// False when this processor cannot run it.
PyObject* t_force_kernel_path(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    std::optional<KernelPath> path;
    if (arg != Py_None) {
      const char* text = PyUnicode_Check(arg) ? PyUnicode_AsUTF8(arg) : nullptr;
      const std::string name = text ? text : "";
      if (name == "blas") path = KernelPath::Blas;
      else if (name == "fused_avx2") path = KernelPath::FusedAvx2;
      else if (name == "fused_avx512") path = KernelPath::FusedAvx512;
      else {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "unknown kernel path");
        return nullptr;
      }
    }
    return PyBool_FromLong(force_kernel_path(path));
  });
}

// retained_scratch_bytes() -> int: the similarity scratch the calling
// thread keeps between kernel calls.
PyObject* t_retained_scratch_bytes(PyObject*, PyObject*) {
  return PyLong_FromSize_t(retained_scratch_bytes_for_testing());
}

PyMethodDef methods[] = {
    {"blas_product_only", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(t_blas_product_only)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"document_ids", t_document_ids, METH_O, nullptr},
    {"lengths", t_lengths, METH_O, nullptr},
    {"requirements", t_requirements, METH_O, nullptr},
    {"token_matrix", t_token_matrix, METH_VARARGS, nullptr},
    {"token_matrix_threads", t_token_matrix_threads, METH_VARARGS, nullptr},
    {"native_value_to_py", t_native_value_to_py, METH_VARARGS, nullptr},
    {"row_major", t_row_major, METH_O, nullptr},
    {"optional_count", t_optional_count, METH_O, nullptr},
    {"time_from_py", t_time_from_py, METH_O, nullptr},
    {"time_to_py", t_time_to_py, METH_VARARGS, nullptr},
    {"raise_error", t_raise, METH_VARARGS, nullptr},
    {"error_debug", t_error_debug, METH_VARARGS, nullptr},
    {"force_max_path", t_force_max_path, METH_O, nullptr},
    {"force_kernel_path", t_force_kernel_path, METH_O, nullptr},
    {"retained_scratch_bytes", t_retained_scratch_bytes, METH_NOARGS, nullptr},
    {"commit_failing", t_commit_failing, METH_VARARGS, nullptr},
    {"drop_on_native_thread", t_drop_on_native_thread, METH_O, nullptr},
    {"pending_releases", t_pending_releases, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The hooks run in the one copy of the core and binding that quillmark._native
// loads (a shared library), so importing the module first fills the shared
// NumPy API table and type caches.
int exec_testing(PyObject*) {
  Ref native = Ref::steal(PyImport_ImportModule("quillmark._native"));
  return native && import_numpy() ? 0 : -1;
}

// Not for subinterpreters, like the module it tests.
PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_testing)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef testing_module = {
    PyModuleDef_HEAD_INIT, "_native_testing", "", 0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace quillmark::py

PyMODINIT_FUNC PyInit__native_testing(void) { return PyModuleDef_Init(&quillmark::py::testing_module); }
