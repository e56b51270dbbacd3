// Fuzzes manifest.json reading. A manifest that reads must convert its time,
// write itself back, and read back equal.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "storage/format/manifest.h"

using namespace quillmark;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto manifest = Manifest::parse(text, "store");
  if (!manifest) {
    if (manifest.error().kind() != Error::Kind::Storage) std::abort();
    return 0;
  }
  if (!manifest->committed_at_time()) std::abort();
  std::string written = manifest->to_json();
  auto again = Manifest::parse(written, "store");
  if (!again || !(*again == *manifest)) std::abort();
  if (again->to_json() != written) std::abort();
  return 0;
}
