#pragma once
// The search: gather candidates, optionally rerank them, then a deterministic
// top-k with scores, freshness time, timings and diagnostics.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/time_value.h"
#include "runtime/resource_budget.h"
#include "search/stage.h"

namespace quillmark {

// Applies query.require_feature(name, representation) to every entry, in
// name order. Returns the first failure unchanged (IncompatibleQuery).
Result<void> require(const Query& query, const Requirements& requirements);

// One entry of the top-k.
struct RankedDocument {
  DocumentKey key;    // shares its texts with the candidate's key
  std::size_t rank;   // 1-based: the best document has rank 1
  float score;        // the final score
};

struct SearchDiagnostics {
  std::size_t candidate_count = 0;        // candidates the gatherer returned
  std::size_t dropped = 0;                // candidates without a final score
  std::string gatherer;                   // the gatherer's name()
  std::optional<std::string> reranker;    // the reranker's name(); absent without one
  std::string score_semantics;            // the scale of the final scores
};

// Durations on a monotonic clock. gather: the gather call; rerank: from the
// gather's return to the scores being available (candidate validation
// included); total: from just before the gather to the ranked documents
// being built. The requirement checks are in none of them.
struct SearchTimings {
  std::chrono::nanoseconds gather{0};
  std::chrono::nanoseconds rerank{0};
  std::chrono::nanoseconds total{0};

  // Whole seconds plus the nanoseconds divided by 10^9.
  static double seconds(std::chrono::nanoseconds d);
  double gather_seconds() const { return seconds(gather); }
  double rerank_seconds() const { return seconds(rerank); }
  double total_seconds() const { return seconds(total); }
};

struct SearchResult {
  std::vector<RankedDocument> documents;       // best first, at most `limit`
  std::vector<Candidate> candidates;           // all gathered candidates, in gather order
  std::vector<std::optional<float>> scores;    // final score per candidate; absent when unscored
  TimeValue as_of;  // every write committed to every index read before this is reflected
  SearchTimings timings;
  SearchDiagnostics diagnostics;
};

// Immutable after construction: it holds its two shared stages and nothing
// else, so one pipeline serves concurrent searches from any threads.
class SearchPipeline {
 public:
  // REQUIRES: gatherer is not null.
  explicit SearchPipeline(std::shared_ptr<const CandidateGenerator> gatherer,
                          std::shared_ptr<const Reranker> reranker = nullptr);

  const std::shared_ptr<const CandidateGenerator>& gatherer() const { return gatherer_; }
  const std::shared_ptr<const Reranker>& reranker() const { return reranker_; }  // may be null

  // Searches on the calling thread. `subset` (null: unrestricted) reaches
  // the gatherer only; the result is checked against it. Returns
  // InvalidInput for bad limits or a gather that breaks its contract, a
  // Ranking error for bad scores, and any stage's or requirement's Error
  // unchanged. A failed search returns nothing partial.
  Result<SearchResult> search(const Query& query, std::int64_t gather_limit, std::int64_t limit,
                              const Subset* subset = nullptr, const ResourceBudget& budget = ResourceBudget()) const;

 private:
  const std::shared_ptr<const CandidateGenerator> gatherer_;
  const std::shared_ptr<const Reranker> reranker_;
};

}  // namespace quillmark
