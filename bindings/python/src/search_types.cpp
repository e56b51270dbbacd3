// SearchPipeline(gatherer, reranker=None) and the classes of its result.
// Only search() releases the interpreter lock; the result classes are
// immutable wrappers whose getters build new Python objects on every access.
//
// Garbage collection. A SearchPipeline holds its Python stages inside the
// core pipeline (the gatherer adapter, a Python reranker's adapter) and, for
// a native MaxSimReranker, the Python MaxSimReranker object itself, which in
// turn visits its own sources. The core pipeline is held by this object alone
// (a running search holds a copy, but its caller also holds this object), so
// traverse visits each of those references exactly once; a gatherer that
// keeps its pipeline forms a collectable cycle.

#include "search_types.h"
#include "value_type.h"

#include <memory>
#include <new>
#include <string>
#include <utility>

#include "base/text.h"
#include "convert.h"
#include "errors.h"
#include "once.h"
#include "query_types.h"
#include "registry.h"
#include "reranker_type.h"
#include "resource_budget_type.h"
#include "search/pipeline.h"
#include "search/query.h"
#include "stage_adapters.h"
#include "stage_values.h"

namespace quillmark::py {

namespace {

struct PipelineObject {
  PyObject_HEAD
  std::shared_ptr<const SearchPipeline> pipeline;  // null only after tp_clear
  PyObject* native_reranker;                       // the MaxSimReranker object in use, or null
};
struct ResultObject {
  PyObject_HEAD
  SearchResult value;
};
struct TimingsObject {
  PyObject_HEAD
  SearchTimings value;
};
struct RankedObject {
  PyObject_HEAD
  RankedDocument value;
};

PipelineObject* as_pipeline(PyObject* self) { return reinterpret_cast<PipelineObject*>(self); }

template <class Object>
void dealloc(PyObject* self) {
  dealloc_value_object<Object, &Object::value>(self);
}

constexpr unsigned long kTypeFlags = kValueTypeFlags;
// The result classes have no constructor: instances come from search().
constexpr unsigned long kResultFlags = kTypeFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION;

// A required keyword-only argument that PyArg_Parse* left unset.
bool required(PyObject* obj, const char* function, const char* name) {
  if (obj) return true;
  PyErr_Format(PyExc_TypeError, "%s() missing required keyword-only argument: '%s'", function, name);
  return false;
}

// An integer (__index__) fitting a signed 64-bit value: TypeError for a
// non-integer, OverflowError out of range.
bool int64_argument(PyObject* obj, std::int64_t& out) {
  Ref index = Ref::steal(PyNumber_Index(obj));
  if (!index) return false;
  const long long value = PyLong_AsLongLong(index.get());
  if (value == -1 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

// --- SearchPipeline ---

constexpr const char kPipelineDoc[] =
    "SearchPipeline(gatherer, reranker=None)\n--\n\n"
    "Gather, optionally rerank, then deterministic top-k.\n"
    "\n"
    "Stages are Python objects implementing the ``CandidateGenerator`` and\n"
    "``Reranker`` protocols, or native stages such as ``MaxSimReranker``. A\n"
    "document is ranked only when every stage holds it.";

PyObject* pipeline_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"gatherer", "reranker", nullptr};
    PyObject *gatherer_obj, *reranker_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:SearchPipeline", const_cast<char**>(keywords),
                                     &gatherer_obj, &reranker_obj))
      return nullptr;
    std::shared_ptr<const CandidateGenerator> gatherer = python_gatherer(gatherer_obj);
    if (!gatherer) return nullptr;
    std::shared_ptr<const Reranker> reranker;
    PyObject* native = nullptr;
    if (reranker_obj != Py_None) {
      reranker = native_reranker(reranker_obj);
      if (reranker) native = reranker_obj;
      else reranker = python_reranker(reranker_obj);
      if (!reranker) return nullptr;
    }
    auto pipeline = std::make_shared<const SearchPipeline>(std::move(gatherer), std::move(reranker));
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    new (&as_pipeline(self)->pipeline) std::shared_ptr<const SearchPipeline>(std::move(pipeline));
    as_pipeline(self)->native_reranker = Py_XNewRef(native);
    return self;
  });
}

int pipeline_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  PipelineObject* o = as_pipeline(self);
  if (o->pipeline) {
    if (PyObject* held = adapted_object(*o->pipeline->gatherer())) Py_VISIT(held);
    if (const auto& reranker = o->pipeline->reranker())
      if (PyObject* held = adapted_object(*reranker)) Py_VISIT(held);
  }
  Py_VISIT(o->native_reranker);
  return 0;
}

int pipeline_clear(PyObject* self) {
  PipelineObject* o = as_pipeline(self);
  // Moved out first: dropping the stages may run arbitrary Python code,
  // which must find the instance already cleared.
  std::shared_ptr<const SearchPipeline> pipeline = std::move(o->pipeline);
  pipeline.reset();
  Py_CLEAR(o->native_reranker);
  return 0;
}

void pipeline_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  pipeline_clear(self);
  as_pipeline(self)->pipeline.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

Ref search_result_to_py(SearchResult&& result);

constexpr const char* kPlainTextHint =
    "plain text is a query without features: encode it with TextEncoder.query(text), or search "
    "through quillmark.TextPipeline(gatherer, reranker, encoder=...) or a quillmark.Collection, "
    "which encode plain text themselves";

PyObject* pipeline_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"query", "gather_limit", "limit", "subset", "budget", nullptr};
    PyObject *query_obj, *gather_limit_obj = nullptr, *limit_obj = nullptr;
    PyObject *subset_obj = Py_None, *budget_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOO:search", const_cast<char**>(keywords), &query_obj,
                                     &gather_limit_obj, &limit_obj, &subset_obj, &budget_obj))
      return nullptr;
    if (!required(gather_limit_obj, "search", "gather_limit") || !required(limit_obj, "search", "limit"))
      return nullptr;
    std::int64_t gather_limit = 0, limit = 0;
    if (!int64_argument(gather_limit_obj, gather_limit) || !int64_argument(limit_obj, limit)) return nullptr;
    ResourceBudget budget;
    if (budget_obj != Py_None) {
      auto given = budget_from_py(budget_obj);
      if (!given) return nullptr;
      budget = *given;
    }
    std::optional<Query> query;
    if (PyUnicode_Check(query_obj)) {
      auto query_text = text(query_obj);
      if (!query_text) return nullptr;
      query = Query::make(SharedText(std::move(*query_text)));
    } else {
      query = query_from_py(query_obj);
      if (!query) return nullptr;
    }
    std::optional<Subset> subset;
    if (subset_obj != Py_None) {
      const Subset* given = subset_from_py(subset_obj);
      if (!given) {
        PyErr_SetString(PyExc_TypeError, "subset must be a quillmark.Subset, e.g. Subset().including(corpus, ids)");
        return nullptr;
      }
      subset = *given;
    }
    std::shared_ptr<const SearchPipeline> pipeline = as_pipeline(self)->pipeline;
    if (!pipeline) {
      PyErr_SetString(PyExc_ReferenceError, "the SearchPipeline was cleared by the garbage collector");
      return nullptr;
    }
    auto result = detached([&] {
      return pipeline->search(*query, gather_limit, limit, subset ? &*subset : nullptr, budget);
    });
    if (!result) {
      raise(result.error());
      // Plain text carries no features, so a stage that needs one refuses
      // it; say how to make a query that has them.
      if (PyUnicode_Check(query_obj) && result.error().kind() == Error::Kind::IncompatibleQuery)
        return add_note_to_raised(kPlainTextHint);
      return nullptr;
    }
    return search_result_to_py(std::move(*result)).release();
  });
}

PyMethodDef pipeline_methods[] = {
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pipeline_search)),
     METH_VARARGS | METH_KEYWORDS,
     "search($self, query, *, gather_limit, limit, subset=None, budget=None)\n--\n\n"
     "``query`` is a ``Query`` or plain text; ``subset`` is a ``Subset``\n"
     "naming, per corpus, the documents the search is restricted to."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot pipeline_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(pipeline_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(pipeline_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(pipeline_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(pipeline_clear)},
    {Py_tp_methods, pipeline_methods},
    {Py_tp_doc, const_cast<char*>(kPipelineDoc)},
    {0, nullptr},
};

PyType_Spec pipeline_spec = {"quillmark._native.SearchPipeline", sizeof(PipelineObject), 0,
                             kTypeFlags | Py_TPFLAGS_HAVE_GC, pipeline_slots};

// --- RankedDocument ---

PyObject* ranked_corpus(PyObject* self, void*) {
  return text_to_py(value_of<RankedObject>(self).key.corpus().view()).release();
}
PyObject* ranked_document_id(PyObject* self, void*) {
  return text_to_py(value_of<RankedObject>(self).key.document_id().view()).release();
}
PyObject* ranked_score(PyObject* self, void*) {
  return PyFloat_FromDouble(static_cast<double>(value_of<RankedObject>(self).score));
}
PyObject* ranked_rank(PyObject* self, void*) { return PyLong_FromSize_t(value_of<RankedObject>(self).rank); }

PyObject* ranked_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const RankedDocument& d = value_of<RankedObject>(self);
    const std::string repr = "RankedDocument(corpus=" + debug_form(d.key.corpus().view()) +
                             ", document_id=" + debug_form(d.key.document_id().view()) +
                             ", score=" + float_text(d.score) + ", rank=" + std::to_string(d.rank) + ")";
    return text_to_py(repr).release();
  });
}

PyGetSetDef ranked_getset[] = {
    {"corpus", ranked_corpus, nullptr, nullptr, nullptr},
    {"document_id", ranked_document_id, nullptr, nullptr, nullptr},
    {"score", ranked_score, nullptr, nullptr, nullptr},
    {"rank", ranked_rank, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot ranked_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<RankedObject>)},
    {Py_tp_getset, ranked_getset},
    {Py_tp_repr, reinterpret_cast<void*>(ranked_repr)},
    {0, nullptr},
};

PyType_Spec ranked_spec = {"quillmark._native.RankedDocument", sizeof(RankedObject), 0, kResultFlags,
                           ranked_slots};

// --- SearchTimings ---

PyObject* timings_gather(PyObject* self, void*) {
  return PyFloat_FromDouble(value_of<TimingsObject>(self).gather_seconds());
}
PyObject* timings_rerank(PyObject* self, void*) {
  return PyFloat_FromDouble(value_of<TimingsObject>(self).rerank_seconds());
}
PyObject* timings_total(PyObject* self, void*) {
  return PyFloat_FromDouble(value_of<TimingsObject>(self).total_seconds());
}

PyGetSetDef timings_getset[] = {
    {"gather_seconds", timings_gather, nullptr, nullptr, nullptr},
    {"rerank_seconds", timings_rerank, nullptr, nullptr, nullptr},
    {"total_seconds", timings_total, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot timings_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<TimingsObject>)},
    {Py_tp_getset, timings_getset},
    {0, nullptr},
};

PyType_Spec timings_spec = {"quillmark._native.SearchTimings", sizeof(TimingsObject), 0, kResultFlags,
                            timings_slots};

// --- SearchResult ---

PyObject* result_documents(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const auto& documents = value_of<ResultObject>(self).documents;
    PyObject* type = ranked_document_type();
    if (!type) return nullptr;
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(documents.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < documents.size(); ++i) {
      Ref item = wrap_value<RankedObject>(type, documents[i]);
      if (!item) return nullptr;
      PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return tuple.release();
  });
}

PyObject* result_candidates(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return candidates_to_py(value_of<ResultObject>(self).candidates).release(); });
}

PyObject* result_scores(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return optional_scores_to_py(value_of<ResultObject>(self).scores).release(); });
}

PyObject* result_as_of(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return time_to_py(value_of<ResultObject>(self).as_of).release(); });
}

PyObject* result_timings(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    return wrap_value<TimingsObject>(search_timings_type(), value_of<ResultObject>(self).timings).release();
  });
}

// Keys in this order: candidate_count, dropped, gatherer, reranker (None
// without one), score_semantics.
PyObject* result_diagnostics(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const SearchDiagnostics& d = value_of<ResultObject>(self).diagnostics;
    Ref values[5] = {
        Ref::steal(PyLong_FromSize_t(d.candidate_count)),
        Ref::steal(PyLong_FromSize_t(d.dropped)),
        text_to_py(d.gatherer),
        d.reranker ? text_to_py(*d.reranker) : Ref::borrow(Py_None),
        text_to_py(d.score_semantics),
    };
    static const char* const names[5] = {"candidate_count", "dropped", "gatherer", "reranker", "score_semantics"};
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (int i = 0; i < 5; ++i)
      if (!values[i] || PyDict_SetItemString(dict.get(), names[i], values[i].get()) != 0) return nullptr;
    return dict.release();
  });
}

PyGetSetDef result_getset[] = {
    {"documents", result_documents, nullptr, nullptr, nullptr},
    {"candidates", result_candidates, nullptr, nullptr, nullptr},
    {"scores", result_scores, nullptr,
     "``scores[i]`` scores ``candidates[i]``; ``None`` when the reranker's\nindex does not hold it.", nullptr},
    {"as_of", result_as_of, nullptr,
     "Every write committed to every index the search read before this is\nreflected in the result.", nullptr},
    {"timings", result_timings, nullptr, nullptr, nullptr},
    {"diagnostics", result_diagnostics, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<ResultObject>)},
    {Py_tp_getset, result_getset},
    {0, nullptr},
};

PyType_Spec result_spec = {"quillmark._native.SearchResult", sizeof(ResultObject), 0, kResultFlags,
                           result_slots};

Ref search_result_to_py(SearchResult&& result) { return wrap_value<ResultObject>(search_result_type(), std::move(result)); }

PyObject* make_pipeline_type_object() { return PyType_FromSpec(&pipeline_spec); }
PyObject* make_result_type_object() { return PyType_FromSpec(&result_spec); }
PyObject* make_timings_type_object() { return PyType_FromSpec(&timings_spec); }
PyObject* make_ranked_type_object() { return PyType_FromSpec(&ranked_spec); }
Once pipeline_type_once(make_pipeline_type_object);
Once result_type_once(make_result_type_object);
Once timings_type_once(make_timings_type_object);
Once ranked_type_once(make_ranked_type_object);

}  // namespace

PyObject* search_pipeline_type() { return pipeline_type_once.get(); }
PyObject* search_result_type() { return result_type_once.get(); }
PyObject* search_timings_type() { return timings_type_once.get(); }
PyObject* ranked_document_type() { return ranked_type_once.get(); }

PyObject* make_search_pipeline_type() { return Py_XNewRef(search_pipeline_type()); }
PyObject* make_search_result_type() { return Py_XNewRef(search_result_type()); }
PyObject* make_search_timings_type() { return Py_XNewRef(search_timings_type()); }
PyObject* make_ranked_document_type() { return Py_XNewRef(ranked_document_type()); }

}  // namespace quillmark::py
