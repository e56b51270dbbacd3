#pragma once
// Where document vectors come from: a MultiVectorSource holds the vectors of
// one corpus and hands out point-in-time VectorViews of them. The native
// vector store and the Python source adapter implement both interfaces; the
// MaxSim reranker consumes them.
//
// Both interfaces are held through std::shared_ptr<const ...> handles and are
// called concurrently (a view from worker threads of the scoring pool):
// implementations must be safe for concurrent calls of every const method.

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/representation.h"
#include "base/text.h"
#include "base/time_value.h"
#include "search/packed_documents.h"
#include "search/row_gatherer.h"
#include "search/stage.h"

namespace quillmark {

// Score-semantics labels: the scale of a score. Scores compare only when
// their labels are byte-equal; a label has no further structure. These are
// the labels of the native vector store, by encoding.
inline constexpr std::string_view kFloat32ExactFullMaxsim = "float32-exact-full-maxsim";
inline constexpr std::string_view kInt8ReconstructedApproximateFullMaxsim =
    "int8-reconstructed-approximate-full-maxsim";

// One consistent, immutable view of a source.
class VectorView {
 public:
  virtual ~VectorView();

  // Every write committed to the source before this time is visible here.
  virtual TimeValue as_of() const = 0;

  // One token count per requested id, in request order; absent when the view
  // does not hold the document. Returns the implementation's Error on failure.
  // Callers still check that one entry came back per id.
  virtual Result<std::vector<std::optional<std::size_t>>> document_lengths(
      std::span<const SharedText> document_ids) const = 0;

  // The vectors of the requested documents, in request order, working on the
  // pool chosen by `threads` (the thread-pool rule of install()).
  // REQUIRES: the view holds every id. Returns the implementation's Error on
  // failure.
  virtual Result<PackedDocuments> fetch(std::span<const SharedText> document_ids,
                                        std::optional<std::size_t> threads) const = 0;

  // This view's rows for direct gathering, when it offers them (null by
  // default): the same documents, token counts and vectors as
  // document_lengths and fetch, valid as long as the view.
  virtual const RowGatherer* row_gatherer() const;
};

// InvalidInput "source fetched vectors that disagree with its declared
// lengths or dimension".
Error fetched_vectors_disagree();

// The document vectors of one corpus.
class MultiVectorSource {
 public:
  virtual ~MultiVectorSource();

  virtual std::string_view corpus() const = 0;
  virtual const Representation& representation() const = 0;
  // The label of MaxSim scores computed from this source's vectors.
  virtual std::string_view score_semantics() const = 0;
  // A new view of the latest committed state, or the implementation's Error.
  virtual Result<std::shared_ptr<const VectorView>> view() const = 0;
};

}  // namespace quillmark
