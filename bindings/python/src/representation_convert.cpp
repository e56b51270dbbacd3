// Representation conversion and the module functions _check_representation,
// _assert_representations_compatible and _set_representation_type.

#include "representation_convert.h"

#include <atomic>
#include <cstring>

#include "convert.h"
#include "errors.h"
#include "registry.h"

namespace quillmark::py {

namespace {

// The class representations leave the module as, handed over by the package
// once at import (_set_representation_type): the module never imports the
// package that wraps it. A strong reference, set at most once and then kept
// for the process, like the module's other process-wide objects (it is never
// released, so no traversal is owed). Every access holds the interpreter lock,
// which the module keeps enabled even on free-threaded interpreters, so the
// check-then-set below cannot race; atomic only so that no read is torn.
std::atomic<PyObject*> representation_type{nullptr};

// A signed 64-bit integer through __index__; a negative value becomes 0 so
// that it fails the positivity check of the dimension.
std::optional<std::uint64_t> dimension_attribute(PyObject* obj) {
  Ref value = Ref::steal(PyObject_GetAttrString(obj, "dimension"));
  if (!value) return std::nullopt;
  Ref index = Ref::steal(PyNumber_Index(value.get()));
  if (!index) return std::nullopt;
  long long v = PyLong_AsLongLong(index.get());
  if (v == -1 && PyErr_Occurred()) return std::nullopt;
  return v < 0 ? 0 : static_cast<std::uint64_t>(v);
}

// NumPy's boolean scalar type, recognised without importing NumPy: a type whose
// module is "numpy" and whose name is "bool_" or "bool".
bool is_numpy_bool(PyObject* value) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
  Ref name = Ref::steal(PyObject_GetAttrString(type, "__name__"));
  if (!module || !name) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) || !PyUnicode_Check(name.get())) return false;
  return PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

std::optional<bool> normalized_attribute(PyObject* obj) {
  Ref value = Ref::steal(PyObject_GetAttrString(obj, "normalized"));
  if (!value) return std::nullopt;
  if (!PyBool_Check(value.get()) && !is_numpy_bool(value.get())) {
    PyErr_Format(PyExc_TypeError, "representation normalized must be a bool, not %s", Py_TYPE(value.get())->tp_name);
    return std::nullopt;
  }
  int truth = PyObject_IsTrue(value.get());
  if (truth < 0) return std::nullopt;
  return truth == 1;
}

bool set_item(PyObject* dict, const char* key, Ref value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyObject* check_representation(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"representation", nullptr};
    PyObject* obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:_check_representation", const_cast<char**>(keywords), &obj))
      return nullptr;
    if (!representation_from_py(obj)) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* assert_representations_compatible(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"left", "right", nullptr};
    PyObject *left_obj, *right_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:_assert_representations_compatible",
                                     const_cast<char**>(keywords), &left_obj, &right_obj))
      return nullptr;
    auto left = representation_from_py(left_obj);
    if (!left) return nullptr;
    auto right = representation_from_py(right_obj);
    if (!right) return nullptr;
    if (auto compatible = left->assert_compatible(*right); !compatible) return raise(compatible.error());
    Py_RETURN_NONE;
  });
}

PyObject* set_representation_type(PyObject*, PyObject* cls) {
  return guarded([&]() -> PyObject* {
    if (!PyType_Check(cls)) {
      PyErr_Format(PyExc_TypeError, "_set_representation_type expects a class, not %s", Py_TYPE(cls)->tp_name);
      return nullptr;
    }
    PyObject* current = representation_type.load(std::memory_order_acquire);
    if (current == nullptr) {
      representation_type.store(Py_NewRef(cls), std::memory_order_release);
      Py_RETURN_NONE;
    }
    // Objects already handed out are of the first class: a second one would
    // make the same representation come back as two unrelated types.
    if (current != cls) {
      PyErr_Format(PyExc_TypeError, "quillmark._native: the Representation type is already set to %R, not %R",
                   current, cls);
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyMethodDef check_representation_def = {
    "_check_representation", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check_representation)),
    METH_VARARGS | METH_KEYWORDS,
    "_check_representation(representation)\n--\n\n"
    "Raise unless ``representation`` describes a valid representation."};

PyMethodDef assert_representations_compatible_def = {
    "_assert_representations_compatible",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(assert_representations_compatible)),
    METH_VARARGS | METH_KEYWORDS,
    "_assert_representations_compatible(left, right)\n--\n\n"
    "Raise IncompatibleQueryError unless the two representations are equal."};

PyMethodDef set_representation_type_def = {
    "_set_representation_type",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_representation_type)), METH_O,
    "_set_representation_type(cls, /)\n--\n\n"
    "Make ``cls`` the class representations are returned as; called once by\n"
    "the package at import. Setting another class afterwards raises TypeError."};

}  // namespace

std::optional<Representation> representation_from_py(PyObject* obj) {
  auto encoder = attribute(obj, "encoder");
  if (!encoder) return std::nullopt;
  auto encoder_revision = attribute(obj, "encoder_revision");
  if (!encoder_revision) return std::nullopt;
  auto dimension = dimension_attribute(obj);
  if (!dimension) return std::nullopt;
  auto normalized = normalized_attribute(obj);
  if (!normalized) return std::nullopt;
  auto query_template = attribute(obj, "query_template");
  if (!query_template) return std::nullopt;
  auto document_template = attribute(obj, "document_template");
  if (!document_template) return std::nullopt;
  auto made = Representation::make(std::move(*encoder), std::move(*encoder_revision), *dimension, *normalized);
  if (!made) {
    raise(made.error());
    return std::nullopt;
  }
  return std::move(*made).with_templates(std::move(*query_template), std::move(*document_template));
}

Ref representation_to_py(const Representation& r) {
  Ref kwargs = Ref::steal(PyDict_New());
  if (!kwargs) return {};
  if (!set_item(kwargs.get(), "encoder", text_to_py(r.encoder())) ||
      !set_item(kwargs.get(), "encoder_revision", text_to_py(r.encoder_revision())) ||
      !set_item(kwargs.get(), "dimension", Ref::steal(PyLong_FromUnsignedLongLong(r.dimension()))) ||
      !set_item(kwargs.get(), "normalized", Ref::borrow(r.normalized() ? Py_True : Py_False)) ||
      !set_item(kwargs.get(), "query_template", text_to_py(r.query_template())) ||
      !set_item(kwargs.get(), "document_template", text_to_py(r.document_template())))
    return {};
  PyObject* cls = representation_type.load(std::memory_order_acquire);
  if (cls == nullptr) {
    PyErr_SetString(PyExc_RuntimeError,
                    "quillmark._native: Representation type is not set (import quillmark, which sets it)");
    return {};
  }
  Ref no_args = Ref::steal(PyTuple_New(0));
  if (!no_args) return {};
  return Ref::steal(PyObject_Call(cls, no_args.get(), kwargs.get()));
}

PyObject* make_check_representation() { return make_function(&check_representation_def); }
PyObject* make_assert_representations_compatible() { return make_function(&assert_representations_compatible_def); }
PyObject* make_set_representation_type() { return make_function(&set_representation_type_def); }

}  // namespace quillmark::py
