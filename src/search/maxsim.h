#pragma once
// The native reranker: MaxSim between the query's token matrix (one named
// query feature) and each candidate's document vectors, read from the source
// of the candidate's corpus.
//
// Invariants (established by make):
//   1. sources() is not empty and holds one source per corpus, ordered by
//      byte-wise comparison of the corpus names;
//   2. every source is compatible with representation() and scores with
//      exactly score_semantics();
//   3. requirements() holds exactly one entry: feature() -> representation().
// Immutable after construction: rerank() may run concurrently from any
// threads.

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/representation.h"
#include "runtime/resource_budget.h"
#include "search/source.h"
#include "search/stage.h"

namespace quillmark {

class MaxSimReranker final : public Reranker {
 public:
  using Sources = std::map<std::string, std::shared_ptr<const MultiVectorSource>, std::less<>>;

  // Returns InvalidInput "a MaxSim reranker needs at least one source",
  // IncompatibleIndex "the source of corpus {corpus} carries another
  // representation: {reason}" or "the source of corpus {corpus} scores as
  // {label}, not {expected}", or InvalidInput "more than one source for
  // corpus {corpus}" (checked in that order, source by source).
  static Result<std::shared_ptr<const MaxSimReranker>> make(
      std::span<const std::shared_ptr<const MultiVectorSource>> sources, std::string feature);

  const Representation& representation() const { return representation_; }
  const std::string& feature() const { return feature_; }
  const Sources& sources() const { return sources_; }

  const Requirements& requirements() const override { return requires_; }
  std::string_view score_semantics() const override { return score_semantics_; }

  // One view per source (in corpus order), as_of the earliest of them; then
  // corpus by corpus: document_lengths, token_batches, fetch and the kernel,
  // inside install(budget.threads()). The kernel scores each batch in kernel
  // batches of at most 4096 rows, so that the pool's workers share it. A
  // view with a row_gatherer() (a native store) locates each document once
  // (its token count and rows together, for document_lengths and fetch
  // alike), and its batches are gathered and scored kernel batch by kernel
  // batch on the workers (score_gathered_batches), with the same scores and
  // errors as fetching them. Returns the first Error of a view, the
  // query's feature, a fetch or the kernel unchanged, or the reranker's own
  // IncompatibleIndex, IncompatibleQuery and InvalidInput errors. No partial
  // scores on failure.
  Result<Scored> rerank(const Query& query, std::span<const Candidate> candidates,
                        const ResourceBudget& budget) const override;

 private:
  MaxSimReranker(Representation representation, std::string score_semantics, std::string feature, Sources sources);

  const Representation representation_;
  const std::string score_semantics_;
  const std::string feature_;
  const Sources sources_;
  const Requirements requires_;
};

}  // namespace quillmark
