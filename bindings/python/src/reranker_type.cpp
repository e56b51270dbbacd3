// MaxSimReranker(sources, *, feature="multi_vector"): the Python class over
// the core MaxSimReranker. Construction keeps the interpreter lock; rerank()
// releases it for the whole core call.
//
// Garbage collection. An instance holds Python objects twice over: the tuple
// of the sources as given, and, inside the core reranker, one reference per
// Python source adapter. Both are visited here. Every other holder of the
// core reranker (a SearchPipeline using it natively) also holds this Python
// object, so this object is the one place those adapter references are
// visited from, and visiting them never counts a reference twice.

#include "reranker_type.h"

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "convert.h"
#include "errors.h"
#include "once.h"
#include "query_types.h"
#include "registry.h"
#include "representation_convert.h"
#include "resource_budget_type.h"
#include "search/maxsim.h"
#include "stage_adapters.h"
#include "stage_values.h"
#include "storage_types.h"

namespace quillmark::py {

namespace {

struct RerankerObject {
  PyObject_HEAD
  std::shared_ptr<const MaxSimReranker> reranker;  // null only after tp_clear
  PyObject* sources;                               // the tuple as given; null only after tp_clear
};

RerankerObject* as_reranker(PyObject* self) { return reinterpret_cast<RerankerObject*>(self); }

// The core reranker, or null with ReferenceError once the collector has
// cleared the instance (reachable only from finalizers of a dead cycle).
const MaxSimReranker* live(PyObject* self) {
  const MaxSimReranker* reranker = as_reranker(self)->reranker.get();
  if (!reranker) PyErr_SetString(PyExc_ReferenceError, "the MaxSimReranker was cleared by the garbage collector");
  return reranker;
}

constexpr const char kRerankerDoc[] =
    "MaxSimReranker(sources, *, feature=...)\n--\n\n"
    "MaxSim between the query's token matrix and each candidate's document,\n"
    "read from the source of the candidate's corpus.\n"
    "\n"
    "Each source, one per corpus, is a ``VectorStore`` or any object\n"
    "implementing the ``MultiVectorSource`` protocol. Every rerank takes one\n"
    "view of each source; a document a view does not hold is unscored.";

PyObject* reranker_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"sources", "feature", nullptr};
    PyObject* sources_obj = nullptr;
    PyObject* feature_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:MaxSimReranker", const_cast<char**>(keywords),
                                     &sources_obj, &feature_obj))
      return nullptr;
    // The sources are consumed once, each adapted as it comes: a native
    // VectorStore is used directly, anything else through the source adapter
    // (which reads its declaration now).
    Ref iterator = Ref::steal(PyObject_GetIter(sources_obj));
    if (!iterator) return nullptr;
    Ref given = Ref::steal(PyList_New(0));
    if (!given) return nullptr;
    std::vector<std::shared_ptr<const MultiVectorSource>> sources;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
      if (PyList_Append(given.get(), item.get()) != 0) return nullptr;
      std::shared_ptr<const MultiVectorSource> source = native_vector_store(item.get());
      if (!source) source = python_source(item.get());
      if (!source) return nullptr;
      sources.push_back(std::move(source));
    }
    if (PyErr_Occurred()) return nullptr;
    std::string feature = "multi_vector";
    if (feature_obj) {
      auto name = text(feature_obj);
      if (!name) return nullptr;
      feature = std::move(*name);
    }
    auto reranker = MaxSimReranker::make(sources, std::move(feature));
    if (!reranker) return raise(reranker.error());
    Ref tuple = Ref::steal(PyList_AsTuple(given.get()));
    if (!tuple) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    new (&as_reranker(self)->reranker) std::shared_ptr<const MaxSimReranker>(std::move(*reranker));
    as_reranker(self)->sources = tuple.release();
    return self;
  });
}

int reranker_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  RerankerObject* o = as_reranker(self);
  Py_VISIT(o->sources);
  if (o->reranker)
    for (const auto& [corpus, source] : o->reranker->sources())
      if (PyObject* held = adapted_object(*source)) Py_VISIT(held);
  return 0;
}

int reranker_clear(PyObject* self) {
  RerankerObject* o = as_reranker(self);
  Py_CLEAR(o->sources);
  // Moved out first: dropping the adapters may run arbitrary Python code,
  // which must find the instance already cleared.
  std::shared_ptr<const MaxSimReranker> reranker = std::move(o->reranker);
  reranker.reset();
  return 0;
}

void reranker_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  reranker_clear(self);
  as_reranker(self)->reranker.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* reranker_feature(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const MaxSimReranker* reranker = live(self);
    return reranker ? text_to_py(reranker->feature()).release() : nullptr;
  });
}

PyObject* reranker_sources(PyObject* self, void*) {
  if (!live(self)) return nullptr;
  return Py_NewRef(as_reranker(self)->sources);
}

PyObject* reranker_requires(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const MaxSimReranker* reranker = live(self);
    if (!reranker) return nullptr;
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [name, representation] : reranker->requirements()) {
      Ref key = text_to_py(name);
      if (!key) return nullptr;
      Ref value = representation_to_py(representation);
      if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) != 0) return nullptr;
    }
    return dict.release();
  });
}

PyObject* reranker_score_semantics(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const MaxSimReranker* reranker = live(self);
    return reranker ? text_to_py(reranker->score_semantics()).release() : nullptr;
  });
}

PyObject* reranker_rerank(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"query", "candidates", "budget", nullptr};
    PyObject *query_obj, *candidates_obj, *budget_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$O:rerank", const_cast<char**>(keywords), &query_obj,
                                     &candidates_obj, &budget_obj))
      return nullptr;
    if (!budget_obj) {
      PyErr_SetString(PyExc_TypeError, "rerank() missing required keyword-only argument: 'budget'");
      return nullptr;
    }
    if (!live(self)) return nullptr;
    auto query = query_from_py(query_obj);
    if (!query) return nullptr;
    auto candidates = candidates_from_py(candidates_obj);
    if (!candidates) return nullptr;
    auto budget = budget_from_py(budget_obj);
    if (!budget) return nullptr;
    std::shared_ptr<const MaxSimReranker> reranker = as_reranker(self)->reranker;
    auto scored = detached([&] { return reranker->rerank(*query, *candidates, *budget); });
    if (!scored) return raise(scored.error());
    return scored_to_py(*scored).release();
  });
}

PyGetSetDef reranker_getset[] = {
    {"feature", reranker_feature, nullptr, nullptr, nullptr},
    {"sources", reranker_sources, nullptr, nullptr, nullptr},
    {"requires", reranker_requires, nullptr, nullptr, nullptr},
    {"score_semantics", reranker_score_semantics, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef reranker_methods[] = {
    {"rerank", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reranker_rerank)),
     METH_VARARGS | METH_KEYWORDS, "rerank($self, query, candidates, *, budget)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reranker_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reranker_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reranker_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(reranker_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(reranker_clear)},
    {Py_tp_getset, reranker_getset},
    {Py_tp_methods, reranker_methods},
    {Py_tp_doc, const_cast<char*>(kRerankerDoc)},
    {0, nullptr},
};

PyType_Spec reranker_spec = {"quillmark._native.MaxSimReranker", sizeof(RerankerObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC
#ifdef Py_TPFLAGS_IMMUTABLETYPE
                                 | Py_TPFLAGS_IMMUTABLETYPE
#endif
                             ,
                             reranker_slots};

PyObject* make_reranker_type_object() { return PyType_FromSpec(&reranker_spec); }
Once reranker_type_once(make_reranker_type_object);

}  // namespace

PyObject* maxsim_reranker_type() { return reranker_type_once.get(); }

std::shared_ptr<const Reranker> native_reranker(PyObject* obj) {
  PyObject* type = maxsim_reranker_type();
  if (!type) {
    PyErr_Clear();
    return nullptr;
  }
  if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type))) return nullptr;
  return as_reranker(obj)->reranker;
}

PyObject* make_maxsim_reranker_type() { return Py_XNewRef(maxsim_reranker_type()); }

}  // namespace quillmark::py
