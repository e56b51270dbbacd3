#pragma once
// A system time since the Unix epoch (1970-01-01T00:00:00 UTC).

#include <compare>
#include <cstdint>

namespace quillmark {

struct TimeValue {
  std::uint64_t seconds = 0;
  std::uint32_t nanoseconds = 0;  // < 1'000'000'000

  // Seconds first, then nanoseconds.
  friend auto operator<=>(const TimeValue&, const TimeValue&) = default;
};

}  // namespace quillmark
