#pragma once
// The Python search classes: SearchPipeline, and the classes of a search's
// result, SearchResult, SearchTimings and RankedDocument (made only by
// SearchPipeline.search).

#include "py_ref.h"

namespace quillmark::py {

// The cached Python types (borrowed), or null with an exception set.
PyObject* search_pipeline_type();
PyObject* search_result_type();
PyObject* search_timings_type();
PyObject* ranked_document_type();

}  // namespace quillmark::py
