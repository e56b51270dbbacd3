#include "search/source.h"

namespace quillmark {

// Out of line so that each interface's vtable is emitted once, here.
VectorView::~VectorView() = default;
MultiVectorSource::~MultiVectorSource() = default;
RowGatherer::~RowGatherer() = default;

const RowGatherer* VectorView::row_gatherer() const { return nullptr; }

Error fetched_vectors_disagree() {
  return Error::invalid_input("source fetched vectors that disagree with its declared lengths or dimension");
}

}  // namespace quillmark
