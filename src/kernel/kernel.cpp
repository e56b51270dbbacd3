#include "kernel/kernel.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>

#include "kernel/blas.h"
#include "kernel/fused_maxsim.h"
#include "kernel/kernel_bench.h"
#include "kernel/max_f32.h"
#include "runtime/threads.h"

namespace quillmark {

namespace {

constexpr std::size_t kBlasIntLimit = 2147483647;  // largest 32-bit BLAS integer

// A thread keeps at most this many bytes of scratch between batches and
// calls (reused, so the hot path allocates nothing). A batch whose similarity
// block would be larger (a long query, a large batch bound, or one document
// of a million tokens) is multiplied in blocks of rows that fit, so no
// thread ever holds more. With the default batch bound, a query of up to 127
// tokens is multiplied in one block.
constexpr std::size_t kMaxRetainedScratchBytes = std::size_t{16} << 20;
std::atomic<std::size_t> retained_scratch_limit{kMaxRetainedScratchBytes};  // changed by tests only

// Per-thread scratch for one batch: the similarity block of one block of
// rows, and two lanes-long rows (the running per-query-token maximum of one
// document, and the maximum of its rows within the current block). Lives as
// long as its thread. Invariant: its capacity is at most the retained limit
// after every batch.
struct SimilarityBuffer {
  std::vector<float> values;
  std::vector<float> best;
  bool in_use = false;
};
thread_local SimilarityBuffer SIMILARITY_BUFFER;

std::size_t retained_bytes() {
  return (SIMILARITY_BUFFER.values.capacity() + SIMILARITY_BUFFER.best.capacity()) * sizeof(float);
}

// Sizes `v` to `size` elements, growing it by one allocation of exactly
// `size` (resize alone may double the capacity, and would copy stale values
// that the next product overwrites anyway).
void size_exactly(std::vector<float>& v, std::size_t size) {
  if (size > v.capacity()) {
    v.clear();
    v.reserve(size);
  }
  v.resize(size);
}

// Frees this thread's scratch when it exceeds the retained limit: the
// similarity buffer and the fused kernel's scratch (fused_maxsim.h) count
// against the same limit, whichever path ran last.
void trim_scratch() {
  if (retained_bytes() + fused_retained_bytes() > retained_scratch_limit.load(std::memory_order_relaxed)) {
    std::vector<float>().swap(SIMILARITY_BUFFER.values);
    std::vector<float>().swap(SIMILARITY_BUFFER.best);
    release_fused_scratch();
  }
}

// Exclusive use of this thread's buffer for the duration of one batch.
class BufferLease {
 public:
  BufferLease(std::size_t size, std::size_t lanes) {
    QM_INVARIANT(!SIMILARITY_BUFFER.in_use, "the similarity buffer is used by one batch at a time");
    SIMILARITY_BUFFER.in_use = true;
    size_exactly(SIMILARITY_BUFFER.values, size);
    size_exactly(SIMILARITY_BUFFER.best, 2 * lanes);
  }
  // A block of a single row above the limit (a query of millions of tokens)
  // is the one way to exceed it: such a buffer is freed here.
  ~BufferLease() {
    trim_scratch();
    SIMILARITY_BUFFER.in_use = false;
  }
  BufferLease(const BufferLease&) = delete;
  BufferLease& operator=(const BufferLease&) = delete;
  float* data() { return SIMILARITY_BUFFER.values.data(); }
  float* best() { return SIMILARITY_BUFFER.best.data(); }
  float* partial() { return SIMILARITY_BUFFER.best.data() + SIMILARITY_BUFFER.best.size() / 2; }
};

// The rows of each block in which a batch of `rows` rows is multiplied: all
// of them when their block and the two lane rows fit the retained limit,
// else the fewest blocks that fit, of equal size (the last may be shorter),
// at least one row each.
std::size_t block_rows(std::size_t rows, std::size_t lanes) {
  const std::size_t fit = retained_scratch_limit.load(std::memory_order_relaxed) / (lanes * sizeof(float));
  const std::size_t most = fit > 2 ? fit - 2 : 1;
  if (rows <= most) return rows;
  const std::size_t blocks = (rows + most - 1) / most;
  return (rows + blocks - 1) / blocks;
}

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

// Validates the arguments in the documented order (check_maxsim_arguments,
// then the lengths) and cuts the batches.
Result<Inputs> prepare(std::span<const float> query, std::span<const float> documents,
                       std::span<const std::size_t> lengths, std::size_t dimension,
                       std::optional<std::size_t> max_batch_tokens, std::optional<std::size_t> threads) {
  QM_TRY(check_maxsim_arguments(query, documents.size(), dimension, max_batch_tokens, threads));
  Inputs in{query, documents, dimension, query.size() / dimension, {}, {}};
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

// The similarity block of `count` consecutive document rows from row `first`
// in `c`.
//   QueryByBatch: column-major C[query_rows x count] = Q * D^T; element
//     j + r*query_rows is the dot product of query token j and row first+r,
//     so the query_rows similarities of each row are contiguous.
//   BatchByQuery: column-major C[count x query_rows] = D * Q^T; element
//     r + j*count, so each query token's similarities are contiguous.
// Both are one sgemm over the same rows; the kernel scores from QueryByBatch,
// which measured faster at its shapes (short query, long batch).
void multiply_rows(const Inputs& in, std::size_t first, std::size_t count, Orientation orientation, float* c) {
  const float* rows = in.documents.data() + first * in.dimension;
  const int n = static_cast<int>(count);
  const int q = static_cast<int>(in.query_rows);
  const int k = static_cast<int>(in.dimension);
  if (orientation == Orientation::QueryByBatch)
    blas::sgemm('T', 'N', q, n, k, 1.0f, in.query.data(), k, rows, k, 0.0f, c, q);
  else
    blas::sgemm('T', 'N', n, q, k, 1.0f, rows, k, in.query.data(), k, 0.0f, c, n);
}

// Calls block(first, count) for consecutive blocks of the batch's rows, each
// `rows` long but the last, in row order.
template <class Block>
void for_each_block(const Inputs& in, Work work, std::size_t rows, Block&& block) {
  const std::size_t end = in.offsets[work.end];
  for (std::size_t first = in.offsets[work.start]; first < end; first += rows)
    block(first, std::min(rows, end - first));
}

// Scores documents [work.start, work.end) into their slots of `out`. The
// batch's rows are multiplied in blocks (one block unless the retained limit
// is exceeded); a document's rows are consecutive rows of the blocks. The
// lane-wise maximum of a document's rows within a block is folded into its
// running maximum with the same selection as the fold itself (v > best ? v :
// best), so a document cut by a block boundary gets the bits of one fold over
// all its rows. Its best similarities are summed in query-token order.
void score_batch(const Inputs& in, Work work, MaxPath path, float* out) {
  const std::size_t lanes = in.query_rows;
  const std::size_t rows = block_rows(batch_rows(in, work), lanes);
  BufferLease buffer(rows * lanes, lanes);
  const float* sims = buffer.data();
  float* best = buffer.best();
  float* partial = buffer.partial();
  std::size_t d = work.start;  // the first document not yet scored
  for_each_block(in, work, rows, [&](std::size_t first, std::size_t count) {
    multiply_rows(in, first, count, Orientation::QueryByBatch, buffer.data());
    const std::size_t end = first + count;
    for (; d < work.end && in.offsets[d] < end; ++d) {
      const std::size_t lo = std::max(in.offsets[d], first);
      const std::size_t hi = std::min(in.offsets[d + 1], end);
      if (lo == in.offsets[d]) {
        lane_max_f32(path, sims + (lo - first) * lanes, hi - lo, lanes, best);
      } else {
        lane_max_f32(path, sims + (lo - first) * lanes, hi - lo, lanes, partial);
        for (std::size_t j = 0; j < lanes; ++j) best[j] = partial[j] > best[j] ? partial[j] : best[j];
      }
      if (hi < in.offsets[d + 1]) return;  // the document goes on in the next block
      float score = -0.0f;
      for (std::size_t j = 0; j < lanes; ++j) score += best[j];
      out[d] = score;
    }
  });
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

Result<void> check_maxsim_arguments(std::span<const float> query, std::size_t document_values,
                                    std::size_t dimension, std::optional<std::size_t> max_batch_tokens,
                                    std::optional<std::size_t> threads) {
  if (query.empty() || dimension == 0 || query.size() % dimension != 0)
    return std::unexpected(invalid("query must have shape [tokens, dimension] with non-zero axes"));
  const std::size_t query_rows = query.size() / dimension;
  if (query_rows > kBlasIntLimit || dimension > kBlasIntLimit)
    return std::unexpected(invalid("query shape exceeds the 32-bit BLAS interface"));
  if (document_values % dimension != 0)
    return std::unexpected(
        invalid("query dimension " + std::to_string(dimension) + " differs from the document dimension"));
  if (max_batch_tokens && *max_batch_tokens == 0)
    return std::unexpected(invalid("max_batch_tokens must be positive"));
  if (max_batch_tokens && *max_batch_tokens > kBlasIntLimit)
    return std::unexpected(invalid("max_batch_tokens exceeds the 32-bit BLAS interface"));
  if (threads && *threads == 0) return std::unexpected(invalid("threads must be positive"));
  return {};
}

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
  if (const KernelPath fused = kernel_path(in.query_rows, in.dimension); fused != KernelPath::Blas) {
    // A fused score depends on its document alone (fused_maxsim.h), so the
    // batches only share the work out.
    const PackedQuery packed = pack_query(fused, in.query, in.query_rows, in.dimension);
    QM_TRY(run_batches(in, threads, [&](std::size_t b) {
      fused_score_documents(packed, in.documents.data(), in.offsets, in.work[b].start, in.work[b].end, scores.data());
      trim_scratch();
    }));
    return scores;
  }
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
    const std::size_t rows = block_rows(batch_rows(in, in.work[b]), in.query_rows);
    BufferLease buffer(rows * in.query_rows, in.query_rows);
    for_each_block(in, in.work[b], rows, [&](std::size_t first, std::size_t count) {
      multiply_rows(in, first, count, orientation, buffer.data());
    });
  });
}

std::size_t retained_scratch_bytes_for_testing() { return retained_bytes() + fused_retained_bytes(); }

std::size_t set_retained_scratch_limit_for_testing(std::size_t bytes) {
  return retained_scratch_limit.exchange(bytes == 0 ? kMaxRetainedScratchBytes : bytes);
}

}  // namespace quillmark
