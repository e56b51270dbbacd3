#pragma once
// The vocabulary every search stage speaks: document identity, gathered
// candidates, the per-corpus restriction of a search, and packed document
// vectors handed from a source to the scorer.
//
// Ownership: every type here is an immutable value once built. Texts are
// SharedText, so copying a key or a candidate shares the corpus and id bytes
// (a reference-count increment, never a string copy). A Subset shares its
// Restrictions between the subsets derived from it. PackedDocuments owns its
// two buffers and is moved, not copied, along the data flow.

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <typeinfo>
#include <unordered_set>
#include <vector>

#include "error.h"
#include "representation.h"
#include "text.h"
#include "time_value.h"

namespace quillmark {

// Transparent hashing and byte-wise ordering of texts, so that containers
// keyed by SharedText can be searched with a string_view (no allocation).
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
  std::size_t operator()(const SharedText& text) const noexcept { return (*this)(text.view()); }
};
struct TextEqual {
  using is_transparent = void;
  template <class A, class B>
  bool operator()(const A& a, const B& b) const noexcept {
    return as_view(a) == as_view(b);
  }
  static std::string_view as_view(std::string_view t) { return t; }
  static std::string_view as_view(const SharedText& t) { return t.view(); }
};
struct TextLess {
  using is_transparent = void;
  template <class A, class B>
  bool operator()(const A& a, const B& b) const noexcept {
    return TextEqual::as_view(a) < TextEqual::as_view(b);  // char_traits<char>: byte-wise, unsigned
  }
};

// The identity of one document across corpora.
// Equality and hashing use both texts, corpus first; there is no ordering.
class DocumentKey {
 public:
  // Shares the given texts; a string or string_view argument is copied into
  // a fresh shared buffer once.
  DocumentKey(SharedText corpus, SharedText document_id)
      : corpus_(std::move(corpus)), document_id_(std::move(document_id)) {}

  const SharedText& corpus() const { return corpus_; }
  const SharedText& document_id() const { return document_id_; }

  // The corpus and the id, each in debug form, joined by a slash:
  // "docs"/"42".
  std::string debug() const;

  friend bool operator==(const DocumentKey&, const DocumentKey&) = default;

 private:
  SharedText corpus_;
  SharedText document_id_;
};

// One document found by a gatherer.
struct Candidate {
  DocumentKey key;
  float gather_score = 0;       // any value; validated only if it becomes the final score
  std::size_t gather_rank = 0;  // 0-based position in the gatherer's result
  std::string provenance;       // free-form, carried through unchanged
};

// The result of a gather. Every write committed to the gatherer's index
// before `as_of` is reflected in `candidates`.
struct Gathered {
  std::vector<Candidate> candidates;
  TimeValue as_of;
};

// The result of a rerank: one score per candidate, in candidate order;
// absent when the reranker's index does not hold the document.
struct Scored {
  std::vector<std::optional<float>> scores;
  TimeValue as_of;
};

using DocumentIdSet = std::unordered_set<SharedText, TextHash, TextEqual>;

// What a subset allows within one corpus: exactly the listed ids (Only), or
// every id but the listed ones (Except).
class Restriction {
 public:
  enum class Kind { Only, Except };

  static Restriction only(DocumentIdSet ids) { return Restriction(Kind::Only, std::move(ids)); }
  static Restriction except(DocumentIdSet ids) { return Restriction(Kind::Except, std::move(ids)); }

  Kind kind() const { return kind_; }
  const DocumentIdSet& ids() const { return ids_; }

  // Only: the id is listed. Except: the id is not listed.
  bool allows(std::string_view document_id) const {
    return ids_.contains(document_id) == (kind_ == Kind::Only);
  }

  // Same kind and equal id sets.
  friend bool operator==(const Restriction&, const Restriction&) = default;

 private:
  Restriction(Kind kind, DocumentIdSet ids) : kind_(kind), ids_(std::move(ids)) {}

  Kind kind_;
  DocumentIdSet ids_;
};

// The documents a search is restricted to, by corpus. A corpus the subset
// does not name contributes no documents: the empty subset allows nothing
// (an unrestricted search has no subset at all).
// Immutable: restrict() returns a new subset sharing every unchanged
// Restriction with this one.
class Subset {
 public:
  // Ordered by byte-wise comparison of the corpus names.
  using Restrictions = std::map<SharedText, std::shared_ptr<const Restriction>, TextLess>;

  Subset() = default;

  // This subset with `corpus` mapped to `restriction`, replacing any
  // restriction it had.
  Subset restrict(SharedText corpus, Restriction restriction) const;

  const Restrictions& restrictions() const { return restrictions_; }
  // The restriction of `corpus`, or null when the subset does not name it.
  const Restriction* restriction(std::string_view corpus) const;

  // True when the corpus is named and its restriction allows the id.
  bool allows(std::string_view corpus, std::string_view document_id) const;
  bool allows(const DocumentKey& key) const { return allows(key.corpus().view(), key.document_id().view()); }

  // Same corpora and, corpus by corpus, equal restrictions.
  friend bool operator==(const Subset& a, const Subset& b);

 private:
  Restrictions restrictions_;  // values never null
};

// Token vectors of several documents: row-major float32 rows of `dimension`
// values, the documents' rows one after another in the order of `lengths`.
// Invariants (established by make):
//   1. dimension >= 1;
//   2. every length >= 1;
//   3. sum(lengths) * dimension == vectors.size() (without overflow).
// So document i occupies the rows from the sum of the lengths before it.
class PackedDocuments {
 public:
  // Takes ownership of both buffers. Returns InvalidInput, checked in this
  // order: "packed documents need a positive dimension", "document lengths
  // must be positive", "document lengths overflow usize", "document lengths
  // sum to {sum}, but {values} values form {rows} rows of dimension {dim}".
  static Result<PackedDocuments> make(std::vector<float> vectors, std::vector<std::size_t> lengths,
                                      std::size_t dimension);

  const std::vector<float>& vectors() const { return vectors_; }
  const std::vector<std::size_t>& lengths() const { return lengths_; }
  std::size_t dimension() const { return dimension_; }
  std::size_t document_count() const { return lengths_.size(); }
  std::size_t row_count() const { return vectors_.size() / dimension_; }

  // Gives up the vector buffer, so a consumer can own it without a copy.
  std::vector<float> take_vectors() && { return std::move(vectors_); }

 private:
  PackedDocuments(std::vector<float> vectors, std::vector<std::size_t> lengths, std::size_t dimension)
      : vectors_(std::move(vectors)), lengths_(std::move(lengths)), dimension_(dimension) {}

  std::vector<float> vectors_;
  std::vector<std::size_t> lengths_;
  std::size_t dimension_;
};

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

template <>
struct std::hash<quillmark::DocumentKey> {
  std::size_t operator()(const quillmark::DocumentKey& key) const noexcept {
    std::size_t h = std::hash<quillmark::SharedText>{}(key.corpus());
    std::size_t d = std::hash<quillmark::SharedText>{}(key.document_id());
    return h ^ (d + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
  }
};
