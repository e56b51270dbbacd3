#include "kernel.h"

#include <cstdint>
#include <string>

#include "blas.h"
#include "max_f32.h"
#include "threads.h"

namespace quillmark {

namespace {

constexpr std::size_t kBlasIntLimit = 2147483647;  // largest 32-bit BLAS integer

// Per-thread scratch for one batch: the similarity block and the running
// per-query-token maximum of one document. Lives as long as its thread and
// keeps its capacity between batches and calls.
struct SimilarityBuffer {
  std::vector<float> values;
  std::vector<float> best;
  bool in_use = false;
};
thread_local SimilarityBuffer SIMILARITY_BUFFER;

// Exclusive use of this thread's buffer for the duration of one batch.
class BufferLease {
 public:
  BufferLease(std::size_t size, std::size_t lanes) {
    QM_INVARIANT(!SIMILARITY_BUFFER.in_use, "the similarity buffer is used by one batch at a time");
    SIMILARITY_BUFFER.in_use = true;
    SIMILARITY_BUFFER.values.resize(size);
    SIMILARITY_BUFFER.best.resize(lanes);
  }
  ~BufferLease() { SIMILARITY_BUFFER.in_use = false; }
  BufferLease(const BufferLease&) = delete;
  BufferLease& operator=(const BufferLease&) = delete;
  float* data() { return SIMILARITY_BUFFER.values.data(); }
  float* best() { return SIMILARITY_BUFFER.best.data(); }
};

Error invalid(std::string message) { return Error::invalid_input(std::move(message)); }

// A call whose documents form one batch would run on one thread. When that
// batch has at least 2 * kPartRows rows, its documents are scored in parts of
// about kPartRows rows instead (cut greedily at document boundaries, as
// batches() cuts), each part one product, so the call's pool can share the
// work. The parts depend only on the lengths, never on the thread count, so
// scores stay independent of `threads`. Parts of 2048 rows measured as
// efficient per row as one product over the whole batch.
constexpr std::size_t kPartRows = 2048;

std::vector<Work> split_single_batch(std::span<const std::size_t> offsets, std::vector<Work> work) {
  if (work.size() != 1) return work;
  const std::size_t rows = offsets[work[0].end] - offsets[work[0].start];
  const std::size_t parts = rows / kPartRows;
  if (parts < 2) return work;
  return batches(offsets, (rows + parts - 1) / parts);
}

// Validated arguments of one call, shared by every batch.
struct Inputs {
  std::span<const float> query;
  std::span<const float> documents;
  std::size_t dimension;
  std::size_t query_rows;
  std::vector<std::size_t> offsets;  // n+1 prefix sums of the lengths
  std::vector<Work> work;            // batches(offsets, bound), or the parts of a single batch
};

// Validates the arguments in the documented order and cuts the batches.
Result<Inputs> prepare(std::span<const float> query, std::span<const float> documents,
                       std::span<const std::size_t> lengths, std::size_t dimension,
                       std::optional<std::size_t> max_batch_tokens, std::optional<std::size_t> threads) {
  if (query.empty() || dimension == 0 || query.size() % dimension != 0)
    return std::unexpected(invalid("query must have shape [tokens, dimension] with non-zero axes"));
  const std::size_t query_rows = query.size() / dimension;
  if (query_rows > kBlasIntLimit || dimension > kBlasIntLimit)
    return std::unexpected(invalid("query shape exceeds the 32-bit BLAS interface"));
  if (documents.size() % dimension != 0)
    return std::unexpected(
        invalid("query dimension " + std::to_string(dimension) + " differs from the document dimension"));
  if (max_batch_tokens && *max_batch_tokens == 0)
    return std::unexpected(invalid("max_batch_tokens must be positive"));
  if (max_batch_tokens && *max_batch_tokens > kBlasIntLimit)
    return std::unexpected(invalid("max_batch_tokens exceeds the 32-bit BLAS interface"));
  if (threads && *threads == 0) return std::unexpected(invalid("threads must be positive"));

  Inputs in{query, documents, dimension, query_rows, {}, {}};
  in.offsets.reserve(lengths.size() + 1);
  in.offsets.push_back(0);
  std::size_t sum = 0;
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    const std::size_t len = lengths[i];
    if (len == 0)
      return std::unexpected(invalid("document length at position " + std::to_string(i) + " must be positive"));
    if (len > kBlasIntLimit)
      return std::unexpected(
          invalid("document length at position " + std::to_string(i) + " exceeds the 32-bit BLAS interface"));
    if (__builtin_add_overflow(sum, len, &sum)) return std::unexpected(invalid("document lengths overflow usize"));
    in.offsets.push_back(sum);
  }
  const std::size_t rows = documents.size() / dimension;
  if (sum != rows)
    return std::unexpected(invalid("document lengths sum to " + std::to_string(sum) + ", but documents contain " +
                                   std::to_string(rows) + " rows"));
  in.work = split_single_batch(in.offsets, batches(in.offsets, max_batch_tokens.value_or(kDefaultMaxBatchTokens)));
  return in;
}

std::size_t batch_rows(const Inputs& in, Work work) { return in.offsets[work.end] - in.offsets[work.start]; }

// The batch's similarity block in this thread's buffer.
//   QueryByBatch: column-major C[query_rows x batch_rows] = Q * D^T; element
//     j + r*query_rows is the dot product of query token j and batch row r, so
//     the query_rows similarities of each batch row are contiguous.
//   BatchByQuery: column-major C[batch_rows x query_rows] = D * Q^T; element
//     r + j*batch_rows, so each query token's similarities are contiguous.
// Both are one sgemm over the same rows; the kernel scores from QueryByBatch,
// which measured faster at its shapes (short query, long batch).
void multiply_batch(const Inputs& in, Work work, Orientation orientation, float* c) {
  const float* batch = in.documents.data() + in.offsets[work.start] * in.dimension;
  const int rows = static_cast<int>(batch_rows(in, work));
  const int q = static_cast<int>(in.query_rows);
  const int k = static_cast<int>(in.dimension);
  if (orientation == Orientation::QueryByBatch)
    blas::sgemm('T', 'N', q, rows, k, 1.0f, in.query.data(), k, batch, k, 0.0f, c, q);
  else
    blas::sgemm('T', 'N', rows, q, k, 1.0f, batch, k, in.query.data(), k, 0.0f, c, rows);
}

// Scores documents [work.start, work.end) into their slots of `out`. A
// document's rows are consecutive rows of the block; their lane-wise maximum
// gives the best similarity per query token, summed in query-token order.
void score_batch(const Inputs& in, Work work, MaxPath path, float* out) {
  const std::size_t lanes = in.query_rows;
  BufferLease buffer(batch_rows(in, work) * lanes, lanes);
  multiply_batch(in, work, Orientation::QueryByBatch, buffer.data());
  const float* sims = buffer.data();
  float* best = buffer.best();
  const std::size_t row_start = in.offsets[work.start];
  for (std::size_t d = work.start; d < work.end; ++d) {
    const std::size_t lo = in.offsets[d] - row_start;
    lane_max_f32(path, sims + lo * lanes, in.offsets[d + 1] - in.offsets[d], lanes, best);
    float score = -0.0f;
    for (std::size_t j = 0; j < lanes; ++j) score += best[j];
    out[d] = score;
  }
}

// Runs batch_fn(b) for every unit of work under the pool rule of `threads`
// (install), with two shortcuts that leave the results unchanged (the batches
// call no user code, so which thread runs the loop is not observable):
//   - a call that cannot use more than one thread (one unit, or threads=1)
//     runs on the calling thread instead of on a pool built for it;
//   - a caller outside any pool asking for as many threads as the default
//     pool has runs the loop from its own thread on the default pool, as a
//     call without `threads` does, saving install's hand-over to a worker.
template <class BatchFn>
Result<std::size_t> run_batches(const Inputs& in, std::optional<std::size_t> threads, BatchFn&& batch_fn) {
  if (threads && (*threads == 1 || in.work.size() <= 1)) {
    for (std::size_t b = 0; b < in.work.size(); ++b) batch_fn(b);
    return in.work.size();
  }
  if (threads && ThreadPool::current() == nullptr && default_pool().size() == *threads) threads.reset();
  return install(threads, [&]() -> Result<std::size_t> {
    parallel_for_each_index(in.work.size(), batch_fn);
    return in.work.size();
  });
}

}  // namespace

std::vector<Work> batches(std::span<const std::size_t> offsets, std::size_t max_batch_tokens) {
  std::vector<Work> out;
  const std::size_t n = offsets.empty() ? 0 : offsets.size() - 1;
  std::size_t s = 0;
  while (s < n) {
    std::size_t e = s + 1;
    while (e < n && offsets[e + 1] - offsets[s] <= max_batch_tokens) ++e;
    out.push_back({s, e});
    s = e;
  }
  return out;
}

Result<std::vector<float>> maxsim_scores(std::span<const float> query, std::span<const float> documents,
                                         std::span<const std::size_t> lengths, std::size_t dimension,
                                         std::optional<std::size_t> max_batch_tokens,
                                         std::optional<std::size_t> threads) {
  const Inputs in = QM_TRY(prepare(query, documents, lengths, dimension, max_batch_tokens, threads));
  if (lengths.empty()) return std::vector<float>{};
  std::vector<float> scores(lengths.size(), 0.0f);
  // Each batch writes only its own slots, so the output order never depends
  // on scheduling.
  const MaxPath path = max_path();
  QM_TRY(run_batches(in, threads, [&](std::size_t b) { score_batch(in, in.work[b], path, scores.data()); }));
  return scores;
}

Result<std::size_t> maxsim_product_only(std::span<const float> query, std::span<const float> documents,
                                        std::span<const std::size_t> lengths, std::size_t dimension,
                                        std::optional<std::size_t> max_batch_tokens,
                                        std::optional<std::size_t> threads, Orientation orientation) {
  const Inputs in = QM_TRY(prepare(query, documents, lengths, dimension, max_batch_tokens, threads));
  if (lengths.empty()) return std::size_t{0};
  return run_batches(in, threads, [&](std::size_t b) {
    BufferLease buffer(batch_rows(in, in.work[b]) * in.query_rows, in.query_rows);
    multiply_batch(in, in.work[b], orientation, buffer.data());
  });
}

}  // namespace quillmark
