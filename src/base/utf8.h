#pragma once
// UTF-8 validation and Unicode whitespace trimming for text read from files.

#include <string_view>

namespace quillmark {

// True when `text` is well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF, no truncated sequence.
bool is_valid_utf8(std::string_view text);

// Removes leading (and, for trim_whitespace, trailing) characters with the
// Unicode White_Space property. REQUIRES: `text` is valid UTF-8.
std::string_view trim_start_whitespace(std::string_view text);
std::string_view trim_whitespace(std::string_view text);

}  // namespace quillmark
