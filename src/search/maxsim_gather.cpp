#include "search/maxsim_gather.h"

#include <algorithm>
#include <utility>

#include "kernel/fused_maxsim.h"
#include "kernel/kernel.h"
#include "runtime/threads.h"
#include "search/source.h"

namespace quillmark {

namespace {

// Largest GATHER_BUFFER kept between kernel batches (16 MiB of floats): a
// single document longer than the kernel's bound makes a batch of its own,
// and its rows are not worth keeping for the life of the thread.
constexpr std::size_t kKeptGatherValues = std::size_t{1} << 22;

// Per-thread rows of the kernel batch being gathered and scored on this
// thread. Lives as long as its thread and keeps its capacity (up to
// kKeptGatherValues) between batches and calls, so its pages stay mapped and
// cached.
struct GatherBuffer {
  std::vector<float> values;
  bool in_use = false;
};
thread_local GatherBuffer GATHER_BUFFER;

// Exclusive use of this thread's gather buffer for one kernel batch. A thread
// never needs two: the only pool work submitted under a lease is the kernel
// splitting a large single batch, and a worker waiting for its own job runs
// only that job's parts, which use the similarity buffer, not this one.
class GatherLease {
 public:
  explicit GatherLease(std::size_t size) {
    QM_INVARIANT(!GATHER_BUFFER.in_use, "the gather buffer is used by one kernel batch at a time");
    GATHER_BUFFER.in_use = true;
    GATHER_BUFFER.values.resize(size);
  }
  ~GatherLease() {
    if (GATHER_BUFFER.values.capacity() > kKeptGatherValues) std::vector<float>().swap(GATHER_BUFFER.values);
    GATHER_BUFFER.in_use = false;
  }
  GatherLease(const GatherLease&) = delete;
  GatherLease& operator=(const GatherLease&) = delete;
  std::span<float> values() { return GATHER_BUFFER.values; }
};

// A fused kernel batch gathers (decodes) its documents in groups of about
// this many rows (a longer document alone), each scored while still in the
// thread's cache: 256 KiB at dimension 128, within a core's L2.
constexpr std::size_t kFusedGroupRows = 512;

// Scores one kernel batch (`ranges`, their `lengths`) into `out` with the
// fused kernel, which gives each document the bits it would get in any
// batch: rows the view holds as float32 are read in place; others are
// gathered group by group into this thread's gather buffer.
void score_fused(const RowGatherer& view, const PackedQuery& query, std::span<const RowRange> ranges,
                 std::span<const std::size_t> lengths, float* out) {
  const std::size_t dimension = query.dimension;
  std::vector<std::size_t> offsets(lengths.size() + 1, 0);
  for (std::size_t i = 0; i < lengths.size(); ++i) offsets[i + 1] = offsets[i] + lengths[i];
  std::vector<const float*> doc_rows(ranges.size());
  bool all_in_place = true;
  for (std::size_t i = 0; i < ranges.size() && all_in_place; ++i)
    all_in_place = (doc_rows[i] = view.rows_in_place(ranges[i])) != nullptr;
  if (all_in_place) {
    fused_score_document_rows(query, doc_rows, offsets, out);
    return;
  }
  for (std::size_t start = 0; start < ranges.size();) {
    std::size_t end = start + 1;
    while (end < ranges.size() && offsets[end + 1] - offsets[start] <= kFusedGroupRows) ++end;
    GatherLease buffer((offsets[end] - offsets[start]) * dimension);
    view.gather_rows(ranges.subspan(start, end - start), buffer.values());
    for (std::size_t i = start; i < end; ++i)
      doc_rows[i] = buffer.values().data() + (offsets[i] - offsets[start]) * dimension;
    fused_score_document_rows(query, std::span<const float* const>(doc_rows).subspan(start, end - start),
                              std::span<const std::size_t>(offsets).subspan(start, end - start + 1), out + start);
    start = end;
  }
}

// One kernel batch: documents [start, end) of batch `batch`.
struct Unit {
  std::size_t batch;
  std::size_t start;
  std::size_t end;
};

}  // namespace

Result<std::vector<std::vector<float>>> score_gathered_batches(const RowGatherer& view,
                                                               std::span<const FetchPlan> plans,
                                                               const TokenMatrix& query,
                                                               std::size_t kernel_batch_tokens,
                                                               std::optional<std::size_t> threads) {
  const std::size_t dimension = view.row_dimension();

  // Everything a fetch-then-score loop could fail on, in its order: plan by
  // plan the fetch's stored data and the check of what it fetched; the
  // kernel's own checks after the first plan's fetch. Those depend only on
  // the query, the bound and the thread count here: the rows have the
  // query's dimension (checked just before), so their float count passes
  // like none (0), and the lengths are positive.
  for (std::size_t b = 0; b < plans.size(); ++b) {
    QM_TRY(view.check_rows(plans[b].ranges));
    if (dimension != query.dimension()) return std::unexpected(fetched_vectors_disagree());
    if (b == 0)
      QM_TRY(check_maxsim_arguments(query.values(), 0, query.dimension(), kernel_batch_tokens, threads));
  }

  // The kernel batches of every batch, as the kernel cuts a fetched batch.
  std::vector<Unit> units;
  std::vector<std::vector<float>> scores(plans.size());
  for (std::size_t b = 0; b < plans.size(); ++b) {
    const std::vector<std::size_t>& lengths = plans[b].lengths;
    std::vector<std::size_t> offsets(lengths.size() + 1, 0);
    for (std::size_t i = 0; i < lengths.size(); ++i) offsets[i + 1] = offsets[i] + lengths[i];
    for (const Work& work : quillmark::batches(offsets, kernel_batch_tokens)) units.push_back({b, work.start, work.end});
    scores[b].assign(lengths.size(), 0.0f);
  }

  // With a fused path, every unit is scored by the fused kernel directly:
  // the kernel would take that path for each of them (it depends on the
  // query's shape alone), its scores do not depend on how documents are
  // batched, and the units hold no document beyond the kernel's 32-bit
  // bound (checked here, else the kernel reports it).
  const std::size_t query_rows = query.values().size() / query.dimension();
  std::optional<PackedQuery> fused;
  if (const KernelPath path = kernel_path(query_rows, query.dimension()); path != KernelPath::Blas) {
    bool within = true;
    for (const FetchPlan& plan : plans)
      for (std::size_t length : plan.lengths) within = within && length <= 2147483647;
    if (within) fused = pack_query(path, query.values(), query_rows, query.dimension());
  }

  // Each unit writes only its own score slots and error slot.
  std::vector<std::optional<Error>> errors(units.size());
  parallel_for_each_index(units.size(), [&](std::size_t u) {
    const Unit& unit = units[u];
    const FetchPlan& plan = plans[unit.batch];
    const auto ranges = std::span<const RowRange>(plan.ranges).subspan(unit.start, unit.end - unit.start);
    const auto lengths = std::span<const std::size_t>(plan.lengths).subspan(unit.start, unit.end - unit.start);
    if (fused) {
      score_fused(view, *fused, ranges, lengths, scores[unit.batch].data() + unit.start);
      return;
    }
    std::size_t rows = 0;
    for (std::size_t length : lengths) rows += length;
    GatherLease buffer(rows * dimension);
    view.gather_rows(ranges, buffer.values());
    // One kernel batch: the kernel scores it right here, on this thread.
    auto unit_scores =
        maxsim_scores(query.values(), buffer.values(), lengths, query.dimension(), kernel_batch_tokens, threads);
    if (!unit_scores) {
      errors[u] = std::move(unit_scores).error();
      return;
    }
    QM_INVARIANT(unit_scores->size() == lengths.size(), "the kernel scores every document of a batch");
    std::copy(unit_scores->begin(), unit_scores->end(), scores[unit.batch].begin() + unit.start);
  });
  for (std::optional<Error>& error : errors)
    if (error) return std::unexpected(std::move(*error));
  return scores;
}

}  // namespace quillmark
