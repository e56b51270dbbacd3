#include "base/utf8.h"

#include <cstddef>
#include <cstdint>

namespace quillmark {

namespace {

// Decodes the code point at the start of `text` (valid UTF-8) and its length.
struct Decoded {
  char32_t code;
  std::size_t length;
};

Decoded decode_first(std::string_view text) {
  const auto b0 = static_cast<unsigned char>(text[0]);
  if (b0 < 0x80) return {b0, 1};
  auto cont = [&](std::size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(text[i]) & 0x3f); };
  if (b0 < 0xe0) return {(char32_t(b0 & 0x1f) << 6) | cont(1), 2};
  if (b0 < 0xf0) return {(char32_t(b0 & 0x0f) << 12) | (cont(1) << 6) | cont(2), 3};
  return {(char32_t(b0 & 0x07) << 18) | (cont(1) << 12) | (cont(2) << 6) | cont(3), 4};
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0d) || c == 0x20 || c == 0x85 || c == 0xa0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f || c == 0x205f ||
         c == 0x3000;
}

// Length of the code point that ends at text.size() (valid UTF-8).
std::size_t last_length(std::string_view text) {
  std::size_t n = 1;
  while (n < text.size() && (static_cast<unsigned char>(text[text.size() - n]) & 0xc0) == 0x80) ++n;
  return n;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char b0 = p[i];
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xbf;  // allowed range of the second byte
    if (b0 >= 0xc2 && b0 <= 0xdf) {
      len = 2;
    } else if (b0 >= 0xe0 && b0 <= 0xef) {
      len = 3;
      if (b0 == 0xe0) lo = 0xa0;  // overlong
      if (b0 == 0xed) hi = 0x9f;  // surrogates
    } else if (b0 >= 0xf0 && b0 <= 0xf4) {
      len = 4;
      if (b0 == 0xf0) lo = 0x90;  // overlong
      if (b0 == 0xf4) hi = 0x8f;  // above U+10FFFF
    } else {
      return false;
    }
    if (n - i < len) return false;
    if (p[i + 1] < lo || p[i + 1] > hi) return false;
    for (std::size_t k = 2; k < len; ++k)
      if ((p[i + k] & 0xc0) != 0x80) return false;
    i += len;
  }
  return true;
}

std::string_view trim_start_whitespace(std::string_view text) {
  while (!text.empty()) {
    Decoded d = decode_first(text);
    if (!is_white_space(d.code)) break;
    text.remove_prefix(d.length);
  }
  return text;
}

std::string_view trim_whitespace(std::string_view text) {
  text = trim_start_whitespace(text);
  while (!text.empty()) {
    std::size_t len = last_length(text);
    if (!is_white_space(decode_first(text.substr(text.size() - len)).code)) break;
    text.remove_suffix(len);
  }
  return text;
}

}  // namespace quillmark
