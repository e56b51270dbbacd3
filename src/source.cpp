#include "source.h"

namespace quillmark {

// Out of line so that each interface's vtable is emitted once, here.
VectorView::~VectorView() = default;
MultiVectorSource::~MultiVectorSource() = default;

}  // namespace quillmark
