#pragma once
// The identity of one document across corpora. Copying a key shares its
// corpus and id bytes (a reference-count increment, never a string copy).

#include <cstddef>
#include <functional>
#include <string>
#include <utility>

#include "base/text.h"

namespace quillmark {

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

}  // namespace quillmark

template <>
struct std::hash<quillmark::DocumentKey> {
  std::size_t operator()(const quillmark::DocumentKey& key) const noexcept {
    std::size_t h = std::hash<quillmark::SharedText>{}(key.corpus());
    std::size_t d = std::hash<quillmark::SharedText>{}(key.document_id());
    return h ^ (d + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
  }
};
