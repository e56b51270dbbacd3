#include "search/pipeline.h"

#include <algorithm>
#include <unordered_set>

#include "search/query.h"
#include "search/ranking.h"

namespace quillmark {

namespace {

using Clock = std::chrono::steady_clock;

// Hashes and compares the keys a candidate list already holds, so the
// duplicate check copies no key.
struct KeyPtrHash {
  std::size_t operator()(const DocumentKey* key) const noexcept { return std::hash<DocumentKey>{}(*key); }
};
struct KeyPtrEqual {
  bool operator()(const DocumentKey* a, const DocumentKey* b) const noexcept { return *a == *b; }
};

// Rejects, without repairing, a gather that breaks the gatherer's contract.
// Each candidate is checked fully before the next.
Result<void> validate_gathered(const std::vector<Candidate>& candidates, std::size_t gather_limit,
                               const Subset* subset) {
  if (candidates.size() > gather_limit)
    return std::unexpected(Error::invalid_input("gatherer returned more candidates than requested"));
  std::unordered_set<const DocumentKey*, KeyPtrHash, KeyPtrEqual> seen;
  seen.reserve(candidates.size());
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const Candidate& candidate = candidates[i];
    if (candidate.gather_rank != i)
      return std::unexpected(Error::invalid_input("candidate gather ranks must be contiguous and zero-based"));
    if (subset != nullptr && !subset->allows(candidate.key))
      return std::unexpected(Error::invalid_input("gatherer returned document " + candidate.key.debug() +
                                                  ", which is outside the subset"));
    if (!seen.insert(&candidate.key).second)
      return std::unexpected(
          Error::invalid_input("gatherer returned document " + candidate.key.debug() + " more than once"));
  }
  return {};
}

}  // namespace

double SearchTimings::seconds(std::chrono::nanoseconds d) {
  auto whole = std::chrono::duration_cast<std::chrono::seconds>(d);
  return static_cast<double>(whole.count()) + static_cast<double>((d - whole).count()) / 1e9;
}

Result<void> require(const Query& query, const Requirements& requirements) {
  for (const auto& [name, representation] : requirements) QM_TRY(query.require_feature(name, representation));
  return {};
}

SearchPipeline::SearchPipeline(std::shared_ptr<const CandidateGenerator> gatherer,
                               std::shared_ptr<const Reranker> reranker)
    : gatherer_(std::move(gatherer)), reranker_(std::move(reranker)) {
  QM_INVARIANT(gatherer_ != nullptr, "a search pipeline needs a gatherer");
}

Result<SearchResult> SearchPipeline::search(const Query& query, std::int64_t gather_limit, std::int64_t limit,
                                            const Subset* subset, const ResourceBudget& budget) const {
  if (gather_limit < 1) return std::unexpected(Error::invalid_input("gather_limit must be positive"));
  if (limit < 1) return std::unexpected(Error::invalid_input("limit must be positive"));
  if (gather_limit < limit) return std::unexpected(Error::invalid_input("limit cannot exceed gather_limit"));
  QM_TRY(require(query, gatherer_->requirements()));
  if (reranker_) QM_TRY(require(query, reranker_->requirements()));

  const auto t0 = Clock::now();
  Gathered gathered = QM_TRY(gatherer_->gather(query, static_cast<std::size_t>(gather_limit), subset));
  const auto t1 = Clock::now();
  QM_TRY(validate_gathered(gathered.candidates, static_cast<std::size_t>(gather_limit), subset));

  SearchResult result;
  result.candidates = std::move(gathered.candidates);
  const std::vector<Candidate>& candidates = result.candidates;
  if (reranker_) {
    Scored scored = QM_TRY(reranker_->rerank(query, candidates, budget));
    result.scores = std::move(scored.scores);
    result.as_of = std::min(gathered.as_of, scored.as_of);
  } else {
    result.scores.reserve(candidates.size());
    for (const Candidate& candidate : candidates) result.scores.emplace_back(candidate.gather_score);
    result.as_of = gathered.as_of;
  }
  const auto t2 = Clock::now();

  // A RankingError converts into an Error of kind Ranking.
  std::vector<std::size_t> ranked =
      QM_TRY(validate_and_rank(candidates, result.scores, static_cast<std::size_t>(limit)));
  result.documents.reserve(ranked.size());
  for (std::size_t k = 0; k < ranked.size(); ++k) {
    const std::size_t p = ranked[k];
    result.documents.push_back(RankedDocument{candidates[p].key, k + 1, *result.scores[p]});
  }
  const auto t3 = Clock::now();

  SearchDiagnostics& diagnostics = result.diagnostics;
  diagnostics.candidate_count = candidates.size();
  diagnostics.dropped = static_cast<std::size_t>(
      std::count_if(result.scores.begin(), result.scores.end(), [](const auto& s) { return !s.has_value(); }));
  diagnostics.gatherer = gatherer_->name();
  if (reranker_) diagnostics.reranker = reranker_->name();
  diagnostics.score_semantics = std::string(reranker_ ? reranker_->score_semantics() : gatherer_->score_semantics());

  result.timings.gather = t1 - t0;
  result.timings.rerank = t2 - t1;
  result.timings.total = t3 - t0;
  return result;
}

}  // namespace quillmark
