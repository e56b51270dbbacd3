#include "base/text.h"

#include <cstdint>
#include <cstdio>

namespace quillmark {

namespace {

const std::shared_ptr<const std::string>& empty_text() {
  static const auto empty = std::make_shared<const std::string>();
  return empty;
}

// Decodes one UTF-8 sequence at text[i]; returns its length, or 0 when the
// bytes are not valid UTF-8 (then the byte is escaped on its own).
std::size_t decode_utf8(std::string_view text, std::size_t i, std::uint32_t& cp) {
  auto b = static_cast<unsigned char>(text[i]);
  std::size_t n;
  if (b < 0x80) { cp = b; return 1; }
  if ((b & 0xE0) == 0xC0) { cp = b & 0x1F; n = 2; }
  else if ((b & 0xF0) == 0xE0) { cp = b & 0x0F; n = 3; }
  else if ((b & 0xF8) == 0xF0) { cp = b & 0x07; n = 4; }
  else return 0;
  if (i + n > text.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    auto c = static_cast<unsigned char>(text[i + k]);
    if ((c & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  return n;
}

// Code points that are printed unescaped: everything except the control
// characters (C0, DEL, C1) and the line/paragraph separators.
bool printable(std::uint32_t cp) {
  if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) return false;
  if (cp == 0x2028 || cp == 0x2029 || cp == 0xAD) return false;
  return true;
}

void append_hex_escape(std::string& out, std::uint32_t cp) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "\\u{%x}", cp);
  out += buf;
}

}  // namespace

SharedText::SharedText() : text_(empty_text()) {}
SharedText::SharedText(std::string text)
    : text_(text.empty() ? empty_text() : std::make_shared<const std::string>(std::move(text))) {}
SharedText::SharedText(std::string_view text) : SharedText(std::string(text)) {}

std::string debug_form(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t cp = 0;
    std::size_t n = decode_utf8(text, i, cp);
    if (n == 0) {  // invalid byte: escape it alone
      append_hex_escape(out, static_cast<unsigned char>(text[i]));
      ++i;
      continue;
    }
    switch (cp) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\0': out += "\\0"; break;
      default:
        if (printable(cp)) out.append(text.substr(i, n));
        else append_hex_escape(out, cp);
    }
    i += n;
  }
  out += '"';
  return out;
}

}  // namespace quillmark
