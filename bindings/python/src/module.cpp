#include "errors.h"
#include "numpy_api.h"
#include "registry.h"

namespace quillmark::py {

namespace {

PyObject* make_commit_not_durable_error_attr() { return Py_XNewRef(commit_not_durable_error()); }

struct Registration {
  const char* name;
  PyObject* (*make)();
};

// The module's public names, in the order of __all__.
const Registration kRegistrations[] = {
    {"IncompatibleIndexError", make_incompatible_index_error_attr},
    {"IncompatibleQueryError", make_incompatible_query_error_attr},
    {"CommitNotDurableError", make_commit_not_durable_error_attr},
    {"Feature", make_feature_type},
    {"Query", make_query_type},
    {"Candidate", make_candidate_type},
    {"Gathered", make_gathered_type},
    {"Scored", make_scored_type},
    {"ResourceBudget", make_resource_budget_type},
    {"MaxSimReranker", make_maxsim_reranker_type},
    {"RankedDocument", make_ranked_document_type},
    {"SearchTimings", make_search_timings_type},
    {"SearchResult", make_search_result_type},
    {"SearchPipeline", make_search_pipeline_type},
    {"Subset", make_subset_type},
    {"VectorStore", make_vector_store_type},
    {"StoreView", make_store_view_type},
    {"VectorStoreWriter", make_vector_store_writer_type},
    {"maxsim_scores_packed", make_maxsim_scores_packed},
    {"_check_representation", make_check_representation},
    {"_assert_representations_compatible", make_assert_representations_compatible},
    {"_check_append", make_check_append},
    {"_debug_text", make_debug_text},
    {"_document_ids", make_document_ids},
    {"_set_representation_type", make_set_representation_type},
};

int register_attribute(PyObject* module, const Registration& entry) {
  Ref object = Ref::steal(entry.make());
  if (!object) return -1;
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return -1;
  }
  Ref name = Ref::steal(PyUnicode_FromString(entry.name));
  if (!name || PyList_Append(all.get(), name.get()) != 0) return -1;
  return PyObject_SetAttr(module, name.get(), object.get());
}

}  // namespace

PyObject* make_incompatible_index_error_attr() { return Py_XNewRef(incompatible_index_error()); }
PyObject* make_incompatible_query_error_attr() { return Py_XNewRef(incompatible_query_error()); }

PyObject* make_function(PyMethodDef* def) {
  Ref module_name = Ref::steal(PyUnicode_FromString("quillmark._native"));
  if (!module_name) return nullptr;
  return PyCFunction_NewEx(def, nullptr, module_name.get());
}

int exec_module(PyObject* module) {
  return guarded([&]() -> int {
    if (!import_numpy()) return -1;
    for (const Registration& entry : kRegistrations)
      if (register_attribute(module, entry) != 0) return -1;
    return 0;
  });
}

}  // namespace quillmark::py
