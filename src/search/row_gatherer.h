#pragma once
// A view's optional capability to have its documents' token rows gathered
// directly: where each document's rows lie, and copying rows into a caller's
// buffer. A reranker given it scores batches without a fetch per batch,
// gathering each kernel batch's rows on the worker that scores them.
//
// Implementations must be safe for concurrent calls of every const method.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/error.h"
#include "base/text.h"

namespace quillmark {

// The token rows [begin, end) of one document in part `segment` of the view
// it was located in.
struct RowRange {
  std::size_t segment = 0;
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
  std::size_t rows() const { return static_cast<std::size_t>(end - begin); }
};

// What a fetch copies: the row ranges of the requested documents in request
// order, each document's token count, and their sum.
struct FetchPlan {
  std::vector<RowRange> ranges;
  std::vector<std::size_t> lengths;
  std::size_t rows = 0;
};

class RowGatherer {
 public:
  virtual ~RowGatherer();

  // The number of floats in one row.
  virtual std::size_t row_dimension() const = 0;
  // The rows of each requested document, in request order; absent when the
  // view does not hold it. A document's token count is its rows().
  virtual std::vector<std::optional<RowRange>> locate_rows(std::span<const SharedText> document_ids) const = 0;
  // The implementation's Error when rows of `ranges` cannot be gathered
  // (bad stored data); reads no more than that needs.
  virtual Result<void> check_rows(std::span<const RowRange> ranges) const = 0;
  // Writes the rows of `ranges`, one after another, into `out` as float32 on
  // the calling thread.
  // REQUIRES: check_rows(ranges) succeeded; out.size() is the ranges' rows
  // times row_dimension().
  virtual void gather_rows(std::span<const RowRange> ranges, std::span<float> out) const = 0;
  // The rows of `range` in place, when the view holds them exactly as
  // gather_rows would write them (row-major float32, row_dimension() floats
  // each), so that they can be scored without a copy; nullptr when it holds
  // them otherwise (int8 codes). Valid as long as the view.
  // REQUIRES: check_rows({range}) succeeded.
  virtual const float* rows_in_place(const RowRange&) const { return nullptr; }
};

}  // namespace quillmark
