// The checks of an append, shared by the writer and by callers that refuse a
// batch before handing parts of it to several writers.

#include "storage/append_check.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <string>
#include <string_view>
#include <unordered_set>

#include "runtime/thread_pool.h"
#include "runtime/threads.h"

namespace quillmark {

namespace {

// Rows per task of the unit-length check.
constexpr std::size_t kValidationBlockRows = 1024;

bool all_finite(std::span<const float> values) {
  // All exponent bits set is NaN or infinity; one pass the compiler can
  // vectorise, without early exit.
  std::uint32_t any = 0;
  for (float v : values) any |= static_cast<std::uint32_t>((std::bit_cast<std::uint32_t>(v) & 0x7f800000u) == 0x7f800000u);
  return any == 0;
}

bool unit_row(std::span<const float> row) {
  float sum = 0.0f;
  for (float v : row) sum += v * v;
  return std::fabs(std::sqrt(sum) - 1.0f) <= 0.0011f;
}

Error invalid(std::string message) { return Error::invalid_input(std::move(message)); }

}  // namespace

bool validate_embeddings(std::span<const float> values, std::size_t dimension) {
  const std::size_t rows = values.size() / dimension;
  const std::size_t blocks = (rows + kValidationBlockRows - 1) / kValidationBlockRows;
  std::atomic<bool> failed{false};
  auto check_block = [&](std::size_t block) {
    const std::size_t end = std::min(rows, (block + 1) * kValidationBlockRows);
    for (std::size_t r = block * kValidationBlockRows; r < end; ++r) {
      if (failed.load(std::memory_order_relaxed)) return;
      if (!unit_row(values.subspan(r * dimension, dimension))) {
        failed.store(true, std::memory_order_relaxed);
        return;
      }
    }
  };
  if (blocks <= 1) {
    if (blocks == 1) check_block(0);
  } else {
    default_pool().for_each_index(blocks, check_block);
  }
  return !failed.load();
}

Result<void> check_append(const Representation& representation, std::span<const SharedText> ids,
                          std::span<const float> values, std::size_t columns, std::span<const std::uint64_t> lengths) {
  const std::uint64_t dim = representation.dimension();
  if (columns != dim)
    return std::unexpected(invalid("embedding dimension " + std::to_string(columns) +
                                   " differs from the representation dimension " + std::to_string(dim)));
  if (values.empty() || values.size() % dim != 0)
    return std::unexpected(invalid("embeddings must be a non-empty [tokens, dimension] matrix"));
  if (lengths.empty() || std::find(lengths.begin(), lengths.end(), 0) != lengths.end())
    return std::unexpected(invalid("document lengths must be a non-empty positive vector"));
  const std::uint64_t rows = values.size() / dim;
  std::uint64_t sum = 0;
  bool overflow = false;
  for (std::uint64_t length : lengths) overflow |= __builtin_add_overflow(sum, length, &sum);
  if (overflow || sum != rows)
    return std::unexpected(invalid("document lengths do not match packed embedding rows"));
  if (!all_finite(values)) return std::unexpected(invalid("embeddings contain a non-finite value"));
  if (representation.normalized() && !validate_embeddings(values, dim))
    return std::unexpected(invalid("representation declares unit vectors, but rows are not normalized"));
  if (ids.size() != lengths.size())
    return std::unexpected(invalid(std::to_string(ids.size()) + " document IDs were given for " +
                                   std::to_string(lengths.size()) + " documents"));
  std::unordered_set<std::string_view> seen;
  seen.reserve(ids.size());
  for (const SharedText& id : ids)
    if (!seen.insert(id.view()).second)
      return std::unexpected(invalid("document ID " + debug_form(id.view()) + " appears more than once"));
  return {};
}

}  // namespace quillmark
