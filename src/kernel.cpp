#include "kernel.h"

#include <cstdint>
#include <string>

#include "blas.h"
#include "max_f32.h"
#include "threads.h"

namespace quillmark {

namespace {

constexpr std::size_t kBlasIntLimit = 2147483647;  // largest 32-bit BLAS integer

// Per-thread scratch for one batch's similarity block. Lives as long as its
// thread and keeps its capacity between batches and calls.
struct SimilarityBuffer {
  std::vector<float> values;
  bool in_use = false;
};
thread_local SimilarityBuffer SIMILARITY_BUFFER;

// Exclusive use of this thread's buffer for the duration of one batch.
class BufferLease {
 public:
  explicit BufferLease(std::size_t size) {
    QM_INVARIANT(!SIMILARITY_BUFFER.in_use, "the similarity buffer is used by one batch at a time");
    SIMILARITY_BUFFER.in_use = true;
    SIMILARITY_BUFFER.values.resize(size);
  }
  ~BufferLease() { SIMILARITY_BUFFER.in_use = false; }
  BufferLease(const BufferLease&) = delete;
  BufferLease& operator=(const BufferLease&) = delete;
  float* data() { return SIMILARITY_BUFFER.values.data(); }
};

Error invalid(std::string message) { return Error::invalid_input(std::move(message)); }

// Validated arguments of one call, shared by every batch.
struct Inputs {
  std::span<const float> query;
  std::span<const float> documents;
  std::size_t dimension;
  std::size_t query_rows;
  std::vector<std::size_t> offsets;  // n+1 prefix sums of the lengths
  std::vector<Work> work;            // batches(offsets, bound)
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
  in.work = batches(in.offsets, max_batch_tokens.value_or(kDefaultMaxBatchTokens));
  return in;
}

// The batch's similarity block in this thread's buffer: column-major
// C[batch_rows x query_rows] = D * Q^T, so for each query token its
// similarities with all rows of the batch are contiguous. The lease keeps the
// buffer for the caller until it is destroyed.
const float* multiply_batch(const Inputs& in, Work work, BufferLease& buffer) {
  const std::size_t row_start = in.offsets[work.start];
  const std::size_t batch_rows = in.offsets[work.end] - row_start;
  blas::sgemm('T', 'N', static_cast<int>(batch_rows), static_cast<int>(in.query_rows),
              static_cast<int>(in.dimension), 1.0f, in.documents.data() + row_start * in.dimension,
              static_cast<int>(in.dimension), in.query.data(), static_cast<int>(in.dimension), 0.0f,
              buffer.data(), static_cast<int>(batch_rows));
  return buffer.data();
}

std::size_t batch_rows(const Inputs& in, Work work) { return in.offsets[work.end] - in.offsets[work.start]; }

// Scores documents [work.start, work.end) into their slots of `out`.
void score_batch(const Inputs& in, Work work, float* out) {
  const std::size_t rows = batch_rows(in, work);
  BufferLease buffer(rows * in.query_rows);
  const float* sims = multiply_batch(in, work, buffer);
  const std::size_t row_start = in.offsets[work.start];
  for (std::size_t d = work.start; d < work.end; ++d) {
    const std::size_t lo = in.offsets[d] - row_start;
    const std::size_t len = in.offsets[d + 1] - in.offsets[d];
    float score = -0.0f;
    for (std::size_t j = 0; j < in.query_rows; ++j) score += max_f32({sims + lo + j * rows, len});
    out[d] = score;
  }
}

// Runs batch_fn(b) for every batch under the pool rule of `threads`.
template <class BatchFn>
Result<std::size_t> run_batches(const Inputs& in, std::optional<std::size_t> threads, BatchFn&& batch_fn) {
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
  QM_TRY(run_batches(in, threads, [&](std::size_t b) { score_batch(in, in.work[b], scores.data()); }));
  return scores;
}

Result<std::size_t> maxsim_product_only(std::span<const float> query, std::span<const float> documents,
                                        std::span<const std::size_t> lengths, std::size_t dimension,
                                        std::optional<std::size_t> max_batch_tokens,
                                        std::optional<std::size_t> threads) {
  const Inputs in = QM_TRY(prepare(query, documents, lengths, dimension, max_batch_tokens, threads));
  if (lengths.empty()) return std::size_t{0};
  return run_batches(in, threads, [&](std::size_t b) {
    BufferLease buffer(batch_rows(in, in.work[b]) * in.query_rows);
    multiply_batch(in, in.work[b], buffer);
  });
}

}  // namespace quillmark
