#pragma once
// The documents a search is restricted to, corpus by corpus. A Subset shares
// its Restrictions between the subsets derived from it.

#include <map>
#include <memory>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "base/text.h"
#include "base/text_keys.h"
#include "search/document_key.h"

namespace quillmark {

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

}  // namespace quillmark
