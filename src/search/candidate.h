#pragma once
// What the stages hand on: a gatherer's candidates and a reranker's scores,
// immutable values once built.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "base/time_value.h"
#include "search/document_key.h"

namespace quillmark {

// One document found by a gatherer.
struct Candidate {
  DocumentKey key;
  float gather_score = 0;       // any value; validated only if it becomes the final score
  std::size_t gather_rank = 0;  // 0-based position in the gatherer's result
  std::string provenance;       // free-form, carried through unchanged
};

// The result of a gather. Every write committed to the gatherer's index
// before `as_of` is reflected in `candidates`.
struct Gathered {
  std::vector<Candidate> candidates;
  TimeValue as_of;
};

// The result of a rerank: one score per candidate, in candidate order;
// absent when the reranker's index does not hold the document.
struct Scored {
  std::vector<std::optional<float>> scores;
  TimeValue as_of;
};

}  // namespace quillmark
