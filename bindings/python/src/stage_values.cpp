// Subset, Candidate, Gathered and Scored: immutable Python wrappers of one
// core value each. Every member keeps the interpreter lock; none holds a
// Python object, so none needs the garbage collector.

#include "stage_values.h"
#include "value_type.h"

#include <cmath>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "base/text.h"
#include "convert.h"
#include "errors.h"
#include "once.h"
#include "registry.h"

namespace quillmark::py {

namespace {

struct SubsetObject {
  PyObject_HEAD
  Subset value;
};
struct CandidateObject {
  PyObject_HEAD
  Candidate value;
};
struct GatheredObject {
  PyObject_HEAD
  Gathered value;
};
struct ScoredObject {
  PyObject_HEAD
  Scored value;
};

template <class Object>
void dealloc(PyObject* self) {
  dealloc_value_object<Object, &Object::value>(self);
}

constexpr unsigned long kTypeFlags = kValueTypeFlags;

Ref float_to_py(float value) { return Ref::steal(PyFloat_FromDouble(static_cast<double>(value))); }

// `value` rounded to the nearest 32-bit float, overflowing to an infinity as
// IEEE 754 rounding does (a plain cast of an out-of-range double is undefined).
float round_to_float(double value) {
  // FLT_MAX plus half an ulp: from here on (ties to even included, FLT_MAX
  // being odd) the nearest float is the infinity.
  constexpr double kOverflow = 340282356779733661637539395458142568448.0;  // 2^128 - 2^103
  if (std::isfinite(value) && std::fabs(value) > std::numeric_limits<float>::max()) {
    const float magnitude =
        std::fabs(value) >= kOverflow ? std::numeric_limits<float>::infinity() : std::numeric_limits<float>::max();
    return std::copysign(magnitude, static_cast<float>(std::signbit(value) ? -1 : 1));
  }
  return static_cast<float>(value);
}

// A Python float, or an object with __float__ or __index__ (a str is not
// parsed), rounded to the nearest 32-bit float.
std::optional<float> float_from_py(PyObject* obj) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return std::nullopt;
  return round_to_float(value);
}

// --- Subset ---

constexpr const char kSubsetDoc[] =
    "Subset()\n--\n\n"
    "The documents a search is restricted to, by corpus: per corpus, either\n"
    "only some documents or every document but some.";

PyObject* subset_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":Subset", const_cast<char**>(keywords))) return nullptr;
    return wrap_value<SubsetObject>(reinterpret_cast<PyObject*>(type), Subset()).release();
  });
}

// including / excluding: `corpus` gets a new restriction of `kind`.
PyObject* subset_restrict(PyObject* self, PyObject* args, PyObject* kwargs, Restriction::Kind kind,
                          const char* format) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"corpus", "ids", nullptr};
    PyObject *corpus_obj, *ids_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &corpus_obj, &ids_obj))
      return nullptr;
    auto corpus = text(corpus_obj);
    if (!corpus) return nullptr;
    auto ids = document_ids(ids_obj);
    if (!ids) return nullptr;
    DocumentIdSet set(std::make_move_iterator(ids->begin()), std::make_move_iterator(ids->end()));
    Restriction restriction =
        kind == Restriction::Kind::Only ? Restriction::only(std::move(set)) : Restriction::except(std::move(set));
    Subset restricted = value_of<SubsetObject>(self).restrict(SharedText(std::move(*corpus)), std::move(restriction));
    return wrap_value<SubsetObject>(reinterpret_cast<PyObject*>(Py_TYPE(self)), std::move(restricted)).release();
  });
}

PyObject* subset_including(PyObject* self, PyObject* args, PyObject* kwargs) {
  return subset_restrict(self, args, kwargs, Restriction::Kind::Only, "OO:including");
}

PyObject* subset_excluding(PyObject* self, PyObject* args, PyObject* kwargs) {
  return subset_restrict(self, args, kwargs, Restriction::Kind::Except, "OO:excluding");
}

PyObject* subset_allows(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"corpus", "id", nullptr};
    PyObject *corpus_obj, *id_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:allows", const_cast<char**>(keywords), &corpus_obj, &id_obj))
      return nullptr;
    auto corpus = text(corpus_obj);
    if (!corpus) return nullptr;
    auto id = text(id_obj);
    if (!id) return nullptr;
    return PyBool_FromLong(value_of<SubsetObject>(self).allows(*corpus, *id));
  });
}

PyObject* subset_restriction(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"corpus", nullptr};
    PyObject* corpus_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:restriction", const_cast<char**>(keywords), &corpus_obj))
      return nullptr;
    auto corpus = text(corpus_obj);
    if (!corpus) return nullptr;
    const Restriction* restriction = value_of<SubsetObject>(self).restriction(*corpus);
    if (!restriction) Py_RETURN_NONE;
    Ref ids = Ref::steal(PyFrozenSet_New(nullptr));
    if (!ids) return nullptr;
    for (const SharedText& id : restriction->ids()) {
      Ref item = text_to_py(id.view());
      if (!item || PySet_Add(ids.get(), item.get()) != 0) return nullptr;
    }
    Ref kind = text_to_py(restriction->kind() == Restriction::Kind::Only ? "only" : "except");
    if (!kind) return nullptr;
    return PyTuple_Pack(2, kind.get(), ids.get());
  });
}

PyObject* subset_corpora(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const auto& restrictions = value_of<SubsetObject>(self).restrictions();
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& [corpus, restriction] : restrictions) {
      Ref name = text_to_py(corpus.view());
      if (!name || PyList_Append(list.get(), name.get()) != 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* subset_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    std::string repr = "Subset(";
    bool first = true;
    for (const auto& [corpus, restriction] : value_of<SubsetObject>(self).restrictions()) {
      if (!first) repr += ", ";
      first = false;
      repr += debug_form(corpus.view());
      repr += restriction->kind() == Restriction::Kind::Only ? ": only " : ": all but ";
      repr += std::to_string(restriction->ids().size());
      repr += " ids";
    }
    repr += ")";
    return text_to_py(repr).release();
  });
}

// Equality of the core subsets; anything else (another type, an ordering)
// is NotImplemented, so Python falls back to identity for == and !=.
PyObject* subset_richcompare(PyObject* self, PyObject* other, int op) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
  if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, reinterpret_cast<PyTypeObject*>(type)))
    Py_RETURN_NOTIMPLEMENTED;
  const bool equal = value_of<SubsetObject>(self) == value_of<SubsetObject>(other);
  return PyBool_FromLong(equal == (op == Py_EQ));
}

PyMethodDef subset_methods[] = {
    {"including", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(subset_including)),
     METH_VARARGS | METH_KEYWORDS,
     "including($self, corpus, ids)\n--\n\nOnly ``ids`` of ``corpus``; replaces any restriction given for it."},
    {"excluding", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(subset_excluding)),
     METH_VARARGS | METH_KEYWORDS,
     "excluding($self, corpus, ids)\n--\n\nEvery document of ``corpus`` but ``ids``; replaces any restriction\n"
     "given for it."},
    {"allows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(subset_allows)),
     METH_VARARGS | METH_KEYWORDS, "allows($self, corpus, id)\n--\n\n"},
    {"restriction", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(subset_restriction)),
     METH_VARARGS | METH_KEYWORDS,
     "restriction($self, corpus)\n--\n\n"
     "``(\"only\" | \"except\", ids)``, or ``None`` when the subset does not\n"
     "name ``corpus`` (which then contributes no documents)."},
    {"corpora", subset_corpora, METH_NOARGS, "corpora($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// No Py_tp_hash: with rich comparison and no hash, instances are unhashable.
PyType_Slot subset_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(subset_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<SubsetObject>)},
    {Py_tp_methods, subset_methods},
    {Py_tp_repr, reinterpret_cast<void*>(subset_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(subset_richcompare)},
    {Py_tp_doc, const_cast<char*>(kSubsetDoc)},
    {0, nullptr},
};

PyType_Spec subset_spec = {"quillmark._native.Subset", sizeof(SubsetObject), 0, kTypeFlags, subset_slots};

// --- Candidate ---

constexpr const char kCandidateDoc[] =
    "Candidate(corpus, document_id, gather_score, gather_rank, provenance)\n--\n\n"
    "One gathered document of ``corpus``.";

PyObject* candidate_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"corpus", "document_id", "gather_score", "gather_rank", "provenance", nullptr};
    PyObject *corpus_obj, *id_obj, *score_obj, *rank_obj, *provenance_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO:Candidate", const_cast<char**>(keywords), &corpus_obj,
                                     &id_obj, &score_obj, &rank_obj, &provenance_obj))
      return nullptr;
    auto corpus = text(corpus_obj);
    if (!corpus) return nullptr;
    auto id = text(id_obj);
    if (!id) return nullptr;
    auto score = float_from_py(score_obj);
    if (!score) return nullptr;
    Ref rank_index = Ref::steal(PyNumber_Index(rank_obj));
    if (!rank_index) return nullptr;
    const std::size_t rank = PyLong_AsSize_t(rank_index.get());
    if (rank == static_cast<std::size_t>(-1) && PyErr_Occurred()) return nullptr;
    auto provenance = text(provenance_obj);
    if (!provenance) return nullptr;
    Candidate candidate{DocumentKey(SharedText(std::move(*corpus)), SharedText(std::move(*id))), *score, rank,
                        std::move(*provenance)};
    return wrap_value<CandidateObject>(reinterpret_cast<PyObject*>(type), std::move(candidate)).release();
  });
}

PyObject* candidate_corpus(PyObject* self, void*) {
  return text_to_py(value_of<CandidateObject>(self).key.corpus().view()).release();
}
PyObject* candidate_document_id(PyObject* self, void*) {
  return text_to_py(value_of<CandidateObject>(self).key.document_id().view()).release();
}
PyObject* candidate_gather_score(PyObject* self, void*) {
  return float_to_py(value_of<CandidateObject>(self).gather_score).release();
}
PyObject* candidate_gather_rank(PyObject* self, void*) {
  return PyLong_FromSize_t(value_of<CandidateObject>(self).gather_rank);
}
PyObject* candidate_provenance(PyObject* self, void*) {
  return text_to_py(value_of<CandidateObject>(self).provenance).release();
}

PyObject* candidate_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const Candidate& c = value_of<CandidateObject>(self);
    const std::string repr = "Candidate(corpus=" + debug_form(c.key.corpus().view()) +
                             ", document_id=" + debug_form(c.key.document_id().view()) +
                             ", gather_score=" + float_text(c.gather_score) +
                             ", gather_rank=" + std::to_string(c.gather_rank) +
                             ", provenance=" + debug_form(c.provenance) + ")";
    return text_to_py(repr).release();
  });
}

PyGetSetDef candidate_getset[] = {
    {"corpus", candidate_corpus, nullptr, nullptr, nullptr},
    {"document_id", candidate_document_id, nullptr, nullptr, nullptr},
    {"gather_score", candidate_gather_score, nullptr, nullptr, nullptr},
    {"gather_rank", candidate_gather_rank, nullptr, nullptr, nullptr},
    {"provenance", candidate_provenance, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot candidate_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(candidate_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<CandidateObject>)},
    {Py_tp_getset, candidate_getset},
    {Py_tp_repr, reinterpret_cast<void*>(candidate_repr)},
    {Py_tp_doc, const_cast<char*>(kCandidateDoc)},
    {0, nullptr},
};

PyType_Spec candidate_spec = {"quillmark._native.Candidate", sizeof(CandidateObject), 0, kTypeFlags,
                              candidate_slots};

// --- Gathered ---

constexpr const char kGatheredDoc[] =
    "Gathered(candidates, as_of)\n--\n\n"
    "What a gatherer found, and when the index it searched last committed:\n"
    "every write committed to that index before ``as_of`` is reflected in it.";

PyObject* gathered_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"candidates", "as_of", nullptr};
    PyObject *candidates_obj, *as_of_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Gathered", const_cast<char**>(keywords), &candidates_obj,
                                     &as_of_obj))
      return nullptr;
    auto as_of = time_from_py(as_of_obj);
    if (!as_of) return nullptr;
    auto candidates = candidates_from_py(candidates_obj);
    if (!candidates) return nullptr;
    return wrap_value<GatheredObject>(reinterpret_cast<PyObject*>(type), Gathered{std::move(*candidates), *as_of})
        .release();
  });
}

PyObject* gathered_candidates(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return candidates_to_py(value_of<GatheredObject>(self).candidates).release(); });
}
PyObject* gathered_as_of(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return time_to_py(value_of<GatheredObject>(self).as_of).release(); });
}

PyGetSetDef gathered_getset[] = {
    {"candidates", gathered_candidates, nullptr, nullptr, nullptr},
    {"as_of", gathered_as_of, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot gathered_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(gathered_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<GatheredObject>)},
    {Py_tp_getset, gathered_getset},
    {Py_tp_doc, const_cast<char*>(kGatheredDoc)},
    {0, nullptr},
};

PyType_Spec gathered_spec = {"quillmark._native.Gathered", sizeof(GatheredObject), 0, kTypeFlags, gathered_slots};

// --- Scored ---

constexpr const char kScoredDoc[] =
    "Scored(scores, as_of)\n--\n\n"
    "One score per candidate, or ``None`` for a document the reranker's index\n"
    "does not hold, and when that index last committed.";

PyObject* scored_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"scores", "as_of", nullptr};
    PyObject *scores_obj, *as_of_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Scored", const_cast<char**>(keywords), &scores_obj,
                                     &as_of_obj))
      return nullptr;
    auto as_of = time_from_py(as_of_obj);
    if (!as_of) return nullptr;
    Ref iterator = Ref::steal(PyObject_GetIter(scores_obj));
    if (!iterator) return nullptr;
    std::vector<std::optional<float>> scores;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
      if (item.get() == Py_None) {
        scores.emplace_back();
        continue;
      }
      auto score = float_from_py(item.get());
      if (!score) return nullptr;
      scores.emplace_back(*score);
    }
    if (PyErr_Occurred()) return nullptr;
    return wrap_value<ScoredObject>(reinterpret_cast<PyObject*>(type), Scored{std::move(scores), *as_of}).release();
  });
}

PyObject* scored_scores(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return optional_scores_to_py(value_of<ScoredObject>(self).scores).release(); });
}
PyObject* scored_as_of(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return time_to_py(value_of<ScoredObject>(self).as_of).release(); });
}

PyGetSetDef scored_getset[] = {
    {"scores", scored_scores, nullptr, nullptr, nullptr},
    {"as_of", scored_as_of, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot scored_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(scored_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<ScoredObject>)},
    {Py_tp_getset, scored_getset},
    {Py_tp_doc, const_cast<char*>(kScoredDoc)},
    {0, nullptr},
};

PyType_Spec scored_spec = {"quillmark._native.Scored", sizeof(ScoredObject), 0, kTypeFlags, scored_slots};

PyObject* make_subset_type_object() { return PyType_FromSpec(&subset_spec); }
PyObject* make_candidate_type_object() { return PyType_FromSpec(&candidate_spec); }
PyObject* make_gathered_type_object() { return PyType_FromSpec(&gathered_spec); }
PyObject* make_scored_type_object() { return PyType_FromSpec(&scored_spec); }
Once subset_type_once(make_subset_type_object);
Once candidate_type_once(make_candidate_type_object);
Once gathered_type_once(make_gathered_type_object);
Once scored_type_once(make_scored_type_object);

}  // namespace

PyObject* subset_type() { return subset_type_once.get(); }
PyObject* candidate_type() { return candidate_type_once.get(); }
PyObject* gathered_type() { return gathered_type_once.get(); }
PyObject* scored_type() { return scored_type_once.get(); }

std::optional<std::vector<Candidate>> candidates_from_py(PyObject* obj) {
  PyObject* type = candidate_type();
  if (!type) return std::nullopt;
  Ref iterator = Ref::steal(PyObject_GetIter(obj));
  if (!iterator) return std::nullopt;
  std::vector<Candidate> candidates;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!check_instance(item.get(), type, "Candidate")) return std::nullopt;
    candidates.push_back(value_of<CandidateObject>(item.get()));
  }
  if (PyErr_Occurred()) return std::nullopt;
  return candidates;
}

Ref candidates_to_py(std::span<const Candidate> candidates) {
  PyObject* type = candidate_type();
  if (!type) return {};
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(candidates.size())));
  if (!tuple) return {};
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    Ref item = wrap_value<CandidateObject>(type, candidates[i]);
    if (!item) return {};
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return tuple;
}

std::optional<Gathered> gathered_from_py(PyObject* obj) {
  if (!check_instance(obj, gathered_type(), "Gathered")) return std::nullopt;
  return value_of<GatheredObject>(obj);
}

std::optional<Scored> scored_from_py(PyObject* obj) {
  if (!check_instance(obj, scored_type(), "Scored")) return std::nullopt;
  return value_of<ScoredObject>(obj);
}

Ref scored_to_py(const Scored& scored) { return wrap_value<ScoredObject>(scored_type(), scored); }

const Subset* subset_from_py(PyObject* obj) {
  PyObject* type = subset_type();
  if (!type) {
    PyErr_Clear();
    return nullptr;
  }
  if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type))) return nullptr;
  return &value_of<SubsetObject>(obj);
}

Ref subset_to_py(const Subset& subset) { return wrap_value<SubsetObject>(subset_type(), subset); }

Ref optional_scores_to_py(std::span<const std::optional<float>> scores) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(scores.size())));
  if (!list) return {};
  for (std::size_t i = 0; i < scores.size(); ++i) {
    Ref item = scores[i] ? float_to_py(*scores[i]) : Ref::borrow(Py_None);
    if (!item) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

PyObject* make_subset_type() { return Py_XNewRef(subset_type()); }
PyObject* make_candidate_type() { return Py_XNewRef(candidate_type()); }
PyObject* make_gathered_type() { return Py_XNewRef(gathered_type()); }
PyObject* make_scored_type() { return Py_XNewRef(scored_type()); }

}  // namespace quillmark::py
