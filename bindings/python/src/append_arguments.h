#pragma once
// The arguments of VectorStoreWriter.append converted for the core, and the
// module function _check_append (registry.h) that runs the writer's
// conversions and checks on a batch without a writer.

#include "py_ref.h"

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "base/text.h"

namespace quillmark::py {

// Invariant: `values` lies in `array`'s data (or is empty), which the
// struct keeps alive; it holds whole rows of `columns` values.
struct AppendArguments {
  Ref array;
  std::size_t columns = 0;
  std::span<const float> values;
  std::optional<std::size_t> threads;
  std::vector<SharedText> ids;
  std::vector<std::size_t> lengths;
};

// Converts append's arguments in the writer's order: embeddings (a strict
// float32 matrix, copied into row order unless C-contiguous and aligned),
// threads, document ids, lengths. Empty with the first conversion's Python
// exception set. REQUIRES: the lock is held.
std::optional<AppendArguments> append_arguments(PyObject* ids, PyObject* embeddings, PyObject* lengths,
                                                PyObject* threads);

}  // namespace quillmark::py
