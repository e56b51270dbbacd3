// Module functions giving Python code that routes or reports document ids
// itself the rules the writer applies: _debug_text, the core's debug form
// every error message quotes names in, and _document_ids, the conversion of
// a document ids argument.

#include "base/text.h"
#include "convert.h"
#include "errors.h"
#include "registry.h"

namespace quillmark::py {

namespace {

PyObject* debug_text_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"text", nullptr};
    PyObject* obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:_debug_text", const_cast<char**>(keywords), &obj))
      return nullptr;
    auto value = text(obj);
    if (!value) return nullptr;
    return text_to_py(debug_form(*value)).release();
  });
}

PyObject* document_ids_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"document_ids", nullptr};
    PyObject* obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:_document_ids", const_cast<char**>(keywords), &obj))
      return nullptr;
    auto ids = document_ids(obj);
    if (!ids) return nullptr;
    return ids_to_py(*ids).release();
  });
}

PyMethodDef debug_text_def = {
    "_debug_text", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(debug_text_function)),
    METH_VARARGS | METH_KEYWORDS,
    "_debug_text(text)\n--\n\n"
    "``text`` in the debug form error messages quote names in."};

PyMethodDef document_ids_def = {
    "_document_ids", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(document_ids_function)),
    METH_VARARGS | METH_KEYWORDS,
    "_document_ids(document_ids)\n--\n\n"
    "``document_ids`` as a list, refused as ``VectorStoreWriter.delete``\n"
    "refuses it: a str, a value that is not iterable or an item that is not\n"
    "a str raises TypeError."};

}  // namespace

PyObject* make_debug_text() { return make_function(&debug_text_def); }
PyObject* make_document_ids() { return make_function(&document_ids_def); }

}  // namespace quillmark::py
