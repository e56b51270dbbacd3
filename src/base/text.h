#pragma once
// Shared immutable texts (document ids, corpus names) and the debug form of a
// text used by every message that quotes a name.

#include <compare>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace quillmark {

// An immutable, reference-counted UTF-8 string: copying shares the bytes.
// Invariant: never null (an empty text shares one empty string).
class SharedText {
 public:
  SharedText();
  SharedText(std::string text);  // NOLINT(google-explicit-constructor)
  SharedText(std::string_view text);  // NOLINT(google-explicit-constructor)
  SharedText(const char* text) : SharedText(std::string_view(text)) {}  // NOLINT

  std::string_view view() const { return *text_; }
  const std::string& str() const { return *text_; }
  std::size_t size() const { return text_->size(); }
  bool empty() const { return text_->empty(); }

  friend bool operator==(const SharedText& a, const SharedText& b) {
    return a.text_ == b.text_ || *a.text_ == *b.text_;
  }
  // Byte-wise order (std::string compares as unsigned char).
  friend std::strong_ordering operator<=>(const SharedText& a, const SharedText& b) {
    int c = a.text_->compare(*b.text_);
    return c < 0 ? std::strong_ordering::less
                 : (c > 0 ? std::strong_ordering::greater : std::strong_ordering::equal);
  }

 private:
  std::shared_ptr<const std::string> text_;
};

// Debug form: double quotes around the text; backslash, double quote, tab,
// carriage return, line feed and NUL escaped as \\ \" \t \r \n \0; other
// non-printable code points as \u{hex}; everything else (single quotes and
// printable non-ASCII included) unchanged.
std::string debug_form(std::string_view text);

}  // namespace quillmark

template <>
struct std::hash<quillmark::SharedText> {
  std::size_t operator()(const quillmark::SharedText& t) const noexcept {
    return std::hash<std::string_view>{}(t.view());
  }
};
