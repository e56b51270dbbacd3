#include "search/maxsim_gather.h"

#include <algorithm>
#include <utility>

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

  // Each unit writes only its own score slots and error slot.
  std::vector<std::optional<Error>> errors(units.size());
  parallel_for_each_index(units.size(), [&](std::size_t u) {
    const Unit& unit = units[u];
    const FetchPlan& plan = plans[unit.batch];
    const auto ranges = std::span<const RowRange>(plan.ranges).subspan(unit.start, unit.end - unit.start);
    const auto lengths = std::span<const std::size_t>(plan.lengths).subspan(unit.start, unit.end - unit.start);
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
