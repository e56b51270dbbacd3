#pragma once
// The two kinds of search stage, gatherers and rerankers, and what a stage
// requires of a query.

#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <typeinfo>

#include "base/error.h"
#include "base/representation.h"
#include "search/candidate.h"
#include "search/subset.h"

namespace quillmark {

// What a stage needs from the query: feature name to the representation the
// feature must come from, ordered by name. Empty when the stage needs nothing.
using Requirements = std::map<std::string, Representation, std::less<>>;

class Query;
class ResourceBudget;

// The last component of a type's qualified name without template arguments:
// "quillmark::MaxSimReranker" and "ns::Fixed<ns::T>" give "MaxSimReranker"
// and "Fixed".
std::string short_type_name(const std::type_info& type);

// A gatherer: finds the candidates of a query.
// Held through std::shared_ptr<const CandidateGenerator>; every method may be
// called from several threads at once.
class CandidateGenerator {
 public:
  virtual ~CandidateGenerator();

  // (`requires` is a C++ keyword.)
  virtual const Requirements& requirements() const = 0;
  // The label of the scale of gather_score.
  virtual std::string_view score_semantics() const = 0;
  // For diagnostics; by default the short name of the implementing class.
  virtual std::string name() const { return short_type_name(typeid(*this)); }

  // At most `limit` candidates with gather_rank 0, 1, 2, ... in order, no
  // document twice, and, when `subset` is given, only documents it allows
  // (the pipeline rejects anything else). Returns the stage's Error on
  // failure. REQUIRES: limit >= 1.
  virtual Result<Gathered> gather(const Query& query, std::size_t limit, const Subset* subset) const = 0;
};

// A reranker: scores gathered candidates on its own scale.
// Held through std::shared_ptr<const Reranker>; every method may be called
// from several threads at once.
class Reranker {
 public:
  virtual ~Reranker();

  virtual const Requirements& requirements() const = 0;
  // The label of the scale of the scores rerank() returns.
  virtual std::string_view score_semantics() const = 0;
  virtual std::string name() const { return short_type_name(typeid(*this)); }

  // One score per candidate, in order; absent for a document the reranker's
  // index does not hold. Returns the stage's Error on failure.
  virtual Result<Scored> rerank(const Query& query, std::span<const Candidate> candidates,
                                const ResourceBudget& budget) const = 0;
};

}  // namespace quillmark
