// The Python classes Feature and Query over the core Feature and Query.

#include "query_types.h"
#include "value_type.h"

#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "base/text.h"
#include "convert.h"
#include "errors.h"
#include "numpy_api.h"
#include "once.h"
#include "python_provider.h"
#include "registry.h"
#include "representation_convert.h"

namespace quillmark::py {

namespace {

// Both classes support the garbage collector: a provider such as
// `self.encode` whose object keeps the feature or its query makes a cycle.
struct FeatureObject {
  PyObject_HEAD
  std::shared_ptr<const Feature> feature;  // null only once tp_clear ran
};

// Invariant: the feature map of `query` is shared with no other Python
// object (query_to_py and query_from_py copy it), so a feature held by that
// map alone is owned by this object alone (traverse_feature).
struct QueryObject {
  PyObject_HEAD
  Query query;
};

FeatureObject* as_feature(PyObject* self) { return reinterpret_cast<FeatureObject*>(self); }
QueryObject* as_query(PyObject* self) { return reinterpret_cast<QueryObject*>(self); }

// The feature of a Feature object, or null with ValueError once the collector
// cleared it (reachable only from a finalizer of its own cycle).
const std::shared_ptr<const Feature>* live_feature(PyObject* self) {
  const auto& feature = as_feature(self)->feature;
  if (feature) return &feature;
  PyErr_SetString(PyExc_ValueError, "the feature was cleared by the garbage collector");
  return nullptr;
}

// The same query with a feature map of its own.
Query with_own_map(const Query& query) { return Query::make(query.text(), Query::Features(query.features())); }

// The reading of a Python object as a token matrix, or null for any failure
// (the reason is discarded; consumers report the problem in their own words).
std::shared_ptr<const TokenMatrix> read_matrix(PyObject* obj) {
  auto packed = array_f32_matrix(obj);
  if (!packed) {
    PyErr_Clear();
    return nullptr;
  }
  auto matrix = TokenMatrix::make(std::move(packed->values), packed->columns);
  if (!matrix) return nullptr;
  return std::make_shared<const TokenMatrix>(std::move(*matrix));
}

// Runs the core's value() with the lock released (the feature's mutex comes
// before the lock) and converts the outcome.
PyObject* materialize(const std::shared_ptr<const Feature>& feature) {
  auto value = detached([&] { return feature->value(); });
  if (!value) return raise(value.error());
  return value_to_py(**value).release();
}

// --- Feature ---

constexpr const char kFeatureDoc[] =
    "Feature(representation, value=None, *, provider=None)\n--\n\n"
    "One query representation, materialized at most once.\n"
    "\n"
    "Pass ``value`` when it is already computed, or ``provider`` to defer the\n"
    "encoding until a stage asks for it.";

PyObject* wrap_feature(PyTypeObject* type, std::shared_ptr<const Feature> feature) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  new (&as_feature(self)->feature) std::shared_ptr<const Feature>(std::move(feature));
  return self;
}

PyObject* feature_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"representation", "value", "provider", nullptr};
    PyObject *representation_obj, *value = Py_None, *provider = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$O:Feature", const_cast<char**>(keywords),
                                     &representation_obj, &value, &provider))
      return nullptr;
    auto representation = representation_from_py(representation_obj);
    if (!representation) return nullptr;
    if ((value == Py_None) == (provider == Py_None)) {
      PyErr_SetString(PyExc_ValueError, "a feature needs exactly one of value or provider");
      return nullptr;
    }
    std::shared_ptr<const Feature> feature =
        value != Py_None
            ? Feature::value(std::move(*representation), std::make_shared<const PythonValue>(Ref::borrow(value)))
            : lazy_python_feature(std::move(*representation), Ref::borrow(provider));
    return wrap_feature(type, std::move(feature));
  });
}

PyObject* feature_representation(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const auto* feature = live_feature(self);
    return feature ? representation_to_py((*feature)->representation()).release() : nullptr;
  });
}

PyObject* feature_value(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const auto* live = live_feature(self);
    if (!live) return nullptr;
    std::shared_ptr<const Feature> feature = *live;
    return materialize(feature);
  });
}

int feature_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return traverse_feature(as_feature(self)->feature, visit, arg);
}

// Drops the feature; the field is empty (moved from) before anything the
// drop releases can run.
int feature_clear(PyObject* self) {
  std::shared_ptr<const Feature> dropped = std::move(as_feature(self)->feature);
  return 0;
}

PyGetSetDef feature_getset[] = {
    {"representation", feature_representation, nullptr, "The representation the feature comes from.", nullptr},
    {"value", feature_value, nullptr, "The feature's value; asks the provider on first access.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot feature_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(feature_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_gc_value_object<FeatureObject, &FeatureObject::feature>)},
    {Py_tp_traverse, reinterpret_cast<void*>(feature_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(feature_clear)},
    {Py_tp_getset, feature_getset},
    {Py_tp_doc, const_cast<char*>(kFeatureDoc)},
    {0, nullptr},
};

constexpr unsigned long kTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC
#ifdef Py_TPFLAGS_IMMUTABLETYPE
                                     | Py_TPFLAGS_IMMUTABLETYPE
#endif
    ;

PyType_Spec feature_spec = {"quillmark._native.Feature", sizeof(FeatureObject), 0, kTypeFlags, feature_slots};

PyObject* make_feature_type_object() { return PyType_FromSpec(&feature_spec); }
Once feature_type_once(make_feature_type_object);

// --- Query ---

constexpr const char kQueryDoc[] =
    "Query(text, **features)\n--\n\n"
    "Raw text plus the named features stages may consume.";

// REQUIRES: `query`'s feature map is shared with no Python object.
PyObject* wrap_query(PyTypeObject* type, Query query) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  new (&as_query(self)->query) Query(std::move(query));
  return self;
}

// Query(text, **features): `text` positional or keyword; every other keyword
// names a feature.
PyObject* query_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    if (positional > 1)
      return PyErr_Format(PyExc_TypeError, "Query() takes 1 positional argument but %zd were given", positional);
    PyObject* text_obj = positional == 1 ? PyTuple_GET_ITEM(args, 0) : nullptr;
    if (kwargs) {
      if (PyObject* keyword_text = PyDict_GetItemString(kwargs, "text")) {
        if (text_obj) return PyErr_Format(PyExc_TypeError, "Query() got multiple values for argument 'text'");
        text_obj = keyword_text;
      }
    }
    if (!text_obj) return PyErr_Format(PyExc_TypeError, "Query() missing required argument 'text'");
    if (!PyUnicode_Check(text_obj))
      return PyErr_Format(PyExc_TypeError, "Query() argument 'text' must be str, not %s", Py_TYPE(text_obj)->tp_name);
    auto query_text = text(text_obj);
    if (!query_text) return nullptr;

    PyObject* feature_cls = feature_type();
    if (!feature_cls) return nullptr;
    Query::Features features;
    PyObject *key, *value;
    Py_ssize_t position = 0;
    while (kwargs && PyDict_Next(kwargs, &position, &key, &value)) {
      if (PyUnicode_CompareWithASCIIString(key, "text") == 0) continue;
      if (!PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(feature_cls)))
        return PyErr_Format(PyExc_TypeError, "feature '%U' must be a Feature, not %s", key, Py_TYPE(value)->tp_name);
      const auto* feature = live_feature(value);
      if (!feature) return nullptr;
      auto name = text(key);
      if (!name) return nullptr;
      features.emplace(SharedText(std::move(*name)), *feature);
    }
    return wrap_query(type, Query::make(SharedText(std::move(*query_text)), std::move(features)));
  });
}

PyObject* query_text(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return text_to_py(as_query(self)->query.text().view()).release(); });
}

PyObject* query_features(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [name, feature] : as_query(self)->query.features()) {
      Ref key = text_to_py(name.view());
      if (!key) return nullptr;
      Ref wrapper = feature_to_py(feature);
      if (!wrapper) return nullptr;
      if (PyDict_SetItem(dict.get(), key.get(), wrapper.get()) != 0) return nullptr;
    }
    return dict.release();
  });
}

PyObject* query_feature(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"name", "representation", nullptr};
    PyObject *name_obj, *representation_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:feature", const_cast<char**>(keywords), &name_obj,
                                     &representation_obj))
      return nullptr;
    auto name = text(name_obj);
    if (!name) return nullptr;
    auto representation = representation_from_py(representation_obj);
    if (!representation) return nullptr;
    Query query = as_query(self)->query;
    auto value = detached([&]() -> Result<std::shared_ptr<const FeatureValue>> {
      auto feature = QM_TRY(query.require_feature(*name, *representation));
      return feature->value();
    });
    if (!value) return raise(value.error());
    return value_to_py(**value).release();
  });
}

PyObject* query_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const Query& query = as_query(self)->query;
    std::string repr = "Query(" + debug_form(query.text().view()) + ", features=[";
    bool first = true;
    for (const auto& [name, feature] : query.features()) {
      if (!first) repr += ", ";
      first = false;
      repr += debug_form(name.view());
    }
    repr += "])";
    return text_to_py(repr).release();
  });
}

int query_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  for (const auto& [name, feature] : as_query(self)->query.features())
    if (int failed = traverse_feature(feature, visit, arg)) return failed;
  return 0;
}

// Keeps the text and drops the features; the object holds its empty query
// before anything the drop releases can run.
int query_clear(PyObject* self) {
  Query& held = as_query(self)->query;
  Query dropped = std::exchange(held, Query::make(held.text()));
  return 0;
}

PyGetSetDef query_getset[] = {
    {"text", query_text, nullptr, "The raw query text.", nullptr},
    {"features", query_features, nullptr, "The features by name, in name order (a new dict on every access).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef query_methods[] = {
    {"feature", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(query_feature)),
     METH_VARARGS | METH_KEYWORDS,
     "feature($self, name, representation)\n--\n\n"
     "The value of feature ``name``, which must come from ``representation``."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot query_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(query_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_gc_value_object<QueryObject, &QueryObject::query>)},
    {Py_tp_traverse, reinterpret_cast<void*>(query_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(query_clear)},
    {Py_tp_getset, query_getset},
    {Py_tp_methods, query_methods},
    {Py_tp_repr, reinterpret_cast<void*>(query_repr)},
    {Py_tp_doc, const_cast<char*>(kQueryDoc)},
    {0, nullptr},
};

PyType_Spec query_spec = {"quillmark._native.Query", sizeof(QueryObject), 0, kTypeFlags, query_slots};

PyObject* make_query_type_object() { return PyType_FromSpec(&query_spec); }
Once query_type_once(make_query_type_object);

}  // namespace

std::shared_ptr<const TokenMatrix> PythonValue::token_matrix() const {
  if (const auto* matrix = matrix_.ready_value()) return *matrix;
  Attach attach;
  // A failed reading is kept too (as null): reading again cannot succeed.
  return *matrix_.get([this] { return std::optional(read_matrix(object_.get())); });
}

Ref value_to_py(const FeatureValue& value) {
  if (const auto* python = value.as_any<PythonValue>()) return Ref::borrow(python->object());
  std::shared_ptr<const TokenMatrix> matrix = value.token_matrix();
  if (!matrix) {
    PyErr_SetString(PyExc_TypeError, "the feature value was produced natively and has no Python representation");
    return {};
  }
  npy_intp dims[2] = {static_cast<npy_intp>(matrix->tokens()), static_cast<npy_intp>(matrix->dimension())};
  Ref array = Ref::steal(PyArray_SimpleNew(2, dims, NPY_FLOAT32));
  if (!array) return {};
  std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), matrix->values().data(),
              matrix->values().size_bytes());
  return array;
}

PyObject* feature_type() { return feature_type_once.get(); }
PyObject* query_type() { return query_type_once.get(); }

std::optional<Query> query_from_py(PyObject* obj) {
  if (!check_instance(obj, query_type(), "Query")) return std::nullopt;
  return with_own_map(as_query(obj)->query);
}

Ref query_to_py(const Query& query) {
  PyObject* type = query_type();
  if (!type) return {};
  return Ref::steal(wrap_query(reinterpret_cast<PyTypeObject*>(type), with_own_map(query)));
}

Ref feature_to_py(std::shared_ptr<const Feature> feature) {
  PyObject* type = feature_type();
  if (!type) return {};
  return Ref::steal(wrap_feature(reinterpret_cast<PyTypeObject*>(type), std::move(feature)));
}

PyObject* make_feature_type() { return Py_XNewRef(feature_type()); }
PyObject* make_query_type() { return Py_XNewRef(query_type()); }

}  // namespace quillmark::py
