#pragma once
// Transparent hashing and byte-wise ordering of shared texts, for containers
// keyed by SharedText that are searched with a string_view.

#include <cstddef>
#include <functional>
#include <string_view>

#include "base/text.h"

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

}  // namespace quillmark
