#include "search/maxsim.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "kernel/kernel.h"
#include "runtime/threads.h"
#include "search/maxsim_gather.h"
#include "search/query.h"
#include "search/token_batch.h"

namespace quillmark {

namespace {

// The distinct documents of one corpus in a rerank, byte-wise ascending, with
// the score each one gets (absent until scored; stays absent when the view
// does not hold it).
struct CorpusScores {
  std::vector<SharedText> ids;
  std::vector<std::optional<float>> scores;

  std::optional<float> score_of(const SharedText& id) const {
    auto it = std::lower_bound(ids.begin(), ids.end(), id);
    QM_INVARIANT(it != ids.end() && *it == id, "every candidate's document is among its corpus's ids");
    return scores[static_cast<std::size_t>(it - ids.begin())];
  }
};

// The largest kernel batch the reranker asks for, in token rows. A reranker
// batch (up to the budget's bound) is scored in kernel batches of at most
// this many rows, so that the pool's workers share one reranker batch (the
// default budget's batches would otherwise be one kernel batch each, scored
// by one worker) and each similarity block stays in cache (4096 rows x 32
// query tokens = 512 KiB); a native store's kernel batches are also the
// units gathered on the workers (2 MiB at dimension 128). Fixed, not derived
// from the pool size, so how a batch is cut never depends on the thread
// count. (1024 rows measured 2-5% less CPU time in the rerank benchmark,
// within the noise of this machine, and would change the BLAS's rounding of
// short tail batches against earlier releases.)
constexpr std::size_t kKernelBatchRows = 4096;
constexpr std::size_t kBlasIntLimit = 2147483647;

// The kernel's batch bound for a budget: the budget's when smaller than
// kKernelBatchRows, or when beyond the 32-bit BLAS bound (so that the kernel
// rejects it as it rejects any such bound).
std::size_t kernel_batch_tokens(const ResourceBudget& budget) {
  const std::size_t tokens = budget.max_batch_tokens();
  return tokens > kBlasIntLimit ? tokens : std::min(tokens, kKernelBatchRows);
}

// The query's token matrix from `feature`, checked against the reranker's
// representation. May run the feature's provider.
Result<std::shared_ptr<const TokenMatrix>> query_matrix(const Query& query, const std::string& feature,
                                                       const Representation& representation) {
  std::shared_ptr<const Feature> resolved = QM_TRY(query.require_feature(feature, representation));
  std::shared_ptr<const FeatureValue> value = QM_TRY(resolved->value());
  std::shared_ptr<const TokenMatrix> matrix = value->token_matrix();
  if (!matrix)
    return std::unexpected(
        Error::incompatible_query("query feature '" + feature + "' must be a [tokens, dimension] matrix"));
  if (matrix->dimension() != representation.dimension())
    return std::unexpected(Error::incompatible_query(
        "query feature '" + feature + "' has dimension " + std::to_string(matrix->dimension()) +
        ", but the representation declares " + std::to_string(representation.dimension())));
  return matrix;
}

// Records the scores of a batch's documents, in batch order.
void record(const TokenBatch& batch, std::span<const float> scores, CorpusScores& out) {
  QM_INVARIANT(scores.size() == batch.ids.size(), "the kernel scores every document of a batch");
  for (std::size_t i = 0; i < scores.size(); ++i) {
    auto it = std::lower_bound(out.ids.begin(), out.ids.end(), batch.ids[i]);
    out.scores[static_cast<std::size_t>(it - out.ids.begin())] = scores[i];
  }
}

// Fetches and scores one batch, recording each score under its document.
Result<void> score_batch(const VectorView& view, const TokenBatch& batch, const TokenMatrix& query,
                         const ResourceBudget& budget, CorpusScores& out) {
  PackedDocuments packed = QM_TRY(view.fetch(batch.ids, budget.threads()));
  if (packed.dimension() != query.dimension() || packed.lengths() != batch.lengths)
    return std::unexpected(fetched_vectors_disagree());
  std::vector<float> scores = QM_TRY(maxsim_scores(query.values(), packed.vectors(), packed.lengths(),
                                                   query.dimension(), kernel_batch_tokens(budget), budget.threads()));
  record(batch, scores, out);
  return {};
}

// Scores the distinct documents of one corpus (`corpus.ids`, sorted and
// unique) from `view`, chunk by chunk.
Result<void> score_corpus(const VectorView& view, const TokenMatrix& query, const ResourceBudget& budget,
                          CorpusScores& corpus) {
  // A view offering its rows (a native store) is asked once per document:
  // where a document's rows lie gives its token count too, so its batches
  // need no second lookup.
  const RowGatherer* gatherer = view.row_gatherer();
  std::vector<std::optional<std::size_t>> lengths;
  std::vector<std::optional<RowRange>> ranges;  // a gatherer's: of every document, present or not
  if (gatherer) {
    ranges = gatherer->locate_rows(corpus.ids);
    QM_INVARIANT(ranges.size() == corpus.ids.size(), "a gatherer locates every requested document");
    lengths.reserve(ranges.size());
    for (const std::optional<RowRange>& range : ranges)
      lengths.push_back(range ? std::optional<std::size_t>(range->rows()) : std::nullopt);
  } else {
    lengths = QM_TRY(view.document_lengths(corpus.ids));
    if (lengths.size() != corpus.ids.size())
      return std::unexpected(
          Error::invalid_input("source returned a different number of document lengths than requested"));
  }

  std::vector<SharedText> held_ids;
  std::vector<std::size_t> held_lengths;
  std::vector<RowRange> held_ranges;
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    if (!lengths[i]) continue;
    held_ids.push_back(corpus.ids[i]);
    held_lengths.push_back(*lengths[i]);
    if (gatherer) held_ranges.push_back(*ranges[i]);
  }

  // A gatherer needs no fetch call per batch: its batches are formed all at
  // once (they are only ids and rows) and scored together.
  std::vector<TokenBatch> gathered_batches;
  std::vector<FetchPlan> gathered_plans;
  const std::size_t chunk_size = budget.max_documents_per_batch();
  for (std::size_t start = 0; start < held_ids.size(); start += chunk_size) {
    const std::size_t count = std::min(chunk_size, held_ids.size() - start);
    std::vector<TokenBatch> batches =
        token_batches(std::span<const SharedText>(held_ids).subspan(start, count),
                      std::span<const std::size_t>(held_lengths).subspan(start, count), budget.max_batch_tokens());
    if (!gatherer) {
      for (const TokenBatch& batch : batches) QM_TRY(score_batch(view, batch, query, budget, corpus));
      continue;
    }
    for (TokenBatch& batch : batches) {
      FetchPlan plan;
      plan.ranges.reserve(batch.positions.size());
      for (std::size_t position : batch.positions) plan.ranges.push_back(held_ranges[start + position]);
      plan.lengths = batch.lengths;
      for (std::size_t length : plan.lengths) plan.rows += length;
      gathered_plans.push_back(std::move(plan));
      gathered_batches.push_back(std::move(batch));
    }
  }
  if (!gatherer) return {};
  const std::vector<std::vector<float>> scores = QM_TRY(
      score_gathered_batches(*gatherer, gathered_plans, query, kernel_batch_tokens(budget), budget.threads()));
  for (std::size_t b = 0; b < gathered_batches.size(); ++b) record(gathered_batches[b], scores[b], corpus);
  return {};
}

}  // namespace

MaxSimReranker::MaxSimReranker(Representation representation, std::string score_semantics, std::string feature,
                               Sources sources)
    : representation_(std::move(representation)),
      score_semantics_(std::move(score_semantics)),
      feature_(std::move(feature)),
      sources_(std::move(sources)),
      requires_{{feature_, representation_}} {
  QM_INVARIANT(!sources_.empty(), "a MaxSim reranker holds at least one source");
}

Result<std::shared_ptr<const MaxSimReranker>> MaxSimReranker::make(
    std::span<const std::shared_ptr<const MultiVectorSource>> sources, std::string feature) {
  if (sources.empty())
    return std::unexpected(Error::invalid_input("a MaxSim reranker needs at least one source"));
  Representation representation = sources.front()->representation();
  std::string score_semantics(sources.front()->score_semantics());

  Sources map;
  for (const auto& source : sources) {
    QM_INVARIANT(source != nullptr, "reranker sources are never null");
    const std::string corpus(source->corpus());
    if (auto compatible = source->representation().assert_compatible(representation); !compatible)
      return std::unexpected(Error::incompatible_index("the source of corpus " + debug_form(corpus) +
                                                       " carries another representation: " +
                                                       compatible.error().text()));
    if (source->score_semantics() != score_semantics)
      return std::unexpected(Error::incompatible_index("the source of corpus " + debug_form(corpus) +
                                                       " scores as " + debug_form(source->score_semantics()) +
                                                       ", not " + debug_form(score_semantics)));
    if (map.contains(corpus))
      return std::unexpected(Error::invalid_input("more than one source for corpus " + debug_form(corpus)));
    map.emplace(corpus, source);
  }
  return std::shared_ptr<const MaxSimReranker>(
      new MaxSimReranker(std::move(representation), std::move(score_semantics), std::move(feature), std::move(map)));
}

Result<Scored> MaxSimReranker::rerank(const Query& query, std::span<const Candidate> candidates,
                                      const ResourceBudget& budget) const {
  // Group by corpus. Groups are indexed like sources_ (corpus-name order);
  // `group_of` remembers each candidate's group for the final lookup.
  std::vector<CorpusScores> groups(sources_.size());
  std::vector<std::size_t> group_of;
  group_of.reserve(candidates.size());
  {
    auto last = sources_.end();
    std::size_t last_index = 0;
    for (const Candidate& candidate : candidates) {
      const std::string_view corpus = candidate.key.corpus().view();
      if (last == sources_.end() || last->first != corpus) {
        last = sources_.find(corpus);
        if (last == sources_.end())
          return std::unexpected(
              Error::incompatible_index("the reranker has no source for corpus " + debug_form(corpus)));
        last_index = static_cast<std::size_t>(std::distance(sources_.begin(), last));
      }
      groups[last_index].ids.push_back(candidate.key.document_id());
      group_of.push_back(last_index);
    }
  }

  // One view of every source, candidates or not.
  std::vector<std::shared_ptr<const VectorView>> views;
  views.reserve(sources_.size());
  for (const auto& [corpus, source] : sources_) {
    std::shared_ptr<const VectorView> view = QM_TRY(source->view());
    QM_INVARIANT(view != nullptr, "a source's view is never null");
    views.push_back(std::move(view));
  }
  TimeValue as_of = views.front()->as_of();
  for (const auto& view : views) as_of = std::min(as_of, view->as_of());

  Scored result;
  result.as_of = as_of;
  if (candidates.empty()) return result;

  const std::shared_ptr<const TokenMatrix> matrix = QM_TRY(query_matrix(query, feature_, representation_));

  for (CorpusScores& group : groups) {
    std::sort(group.ids.begin(), group.ids.end());
    group.ids.erase(std::unique(group.ids.begin(), group.ids.end()), group.ids.end());
    group.scores.assign(group.ids.size(), std::nullopt);
  }
  // The store's fetch and the kernel install the same thread count, so
  // inside this pool they run directly on it.
  QM_TRY(install(budget.threads(), [&]() -> Result<void> {
    for (std::size_t g = 0; g < groups.size(); ++g) {
      if (groups[g].ids.empty()) continue;
      QM_TRY(score_corpus(*views[g], *matrix, budget, groups[g]));
    }
    return {};
  }));

  result.scores.reserve(candidates.size());
  for (std::size_t i = 0; i < candidates.size(); ++i)
    result.scores.push_back(groups[group_of[i]].score_of(candidates[i].key.document_id()));
  return result;
}

}  // namespace quillmark
