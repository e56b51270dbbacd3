#pragma once
// Makers of the module's attributes. Each returns a new reference to the
// process-wide object (types are created once and cached), or null with an
// exception set.

#include "py_ref.h"

namespace quillmark::py {

PyObject* make_incompatible_index_error_attr();
PyObject* make_incompatible_query_error_attr();
PyObject* make_feature_type();
PyObject* make_query_type();
PyObject* make_candidate_type();
PyObject* make_gathered_type();
PyObject* make_scored_type();
PyObject* make_resource_budget_type();
PyObject* make_maxsim_reranker_type();
PyObject* make_ranked_document_type();
PyObject* make_search_timings_type();
PyObject* make_search_result_type();
PyObject* make_search_pipeline_type();
PyObject* make_subset_type();
PyObject* make_vector_store_type();
PyObject* make_store_view_type();
PyObject* make_vector_store_writer_type();
PyObject* make_maxsim_scores_packed();
PyObject* make_check_representation();
PyObject* make_assert_representations_compatible();
PyObject* make_set_representation_type();
PyObject* make_check_append();
PyObject* make_debug_text();
PyObject* make_document_ids();

// Runs the module's exec step on `module`: registers every attribute in order
// and appends each name to __all__. Returns 0, or -1 with an exception set.
int exec_module(PyObject* module);

// A module-level function named "quillmark._native.<name>".
PyObject* make_function(PyMethodDef* def);

}  // namespace quillmark::py
