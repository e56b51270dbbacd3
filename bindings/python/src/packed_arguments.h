#pragma once
// The arguments of maxsim_scores_packed, converted and checked with the
// interpreter lock held. The test module's product-only hook parses with the
// same function, so both entry points accept and reject exactly the same calls.

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "py_ref.h"

namespace quillmark::py {

struct PackedArguments {
  // Views into the caller's arrays, valid while the call's arguments live.
  std::span<const float> query;
  std::span<const float> documents;
  std::vector<std::size_t> lengths;
  std::size_t dimension = 0;
  std::optional<std::size_t> max_batch_tokens;
  std::optional<std::size_t> threads;
};

// Parses (query, documents, document_lengths, *, max_batch_tokens=None,
// threads=None) for the function `name`. Returns false with a Python
// exception set on failure. REQUIRES: the interpreter lock is held.
bool parse_packed_arguments(PyObject* args, PyObject* kwargs, const char* name, PackedArguments& out);

}  // namespace quillmark::py
