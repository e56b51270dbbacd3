// Fuzzes .npy validation: the parser on the input bytes (exact-size buffer,
// so any read past the end trips AddressSanitizer), then the same bytes
// through NpyArray::open on an in-memory file, reading every value.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "storage/format/npy.h"

using namespace quillmark;

namespace {

template <class T>
void read_all(const NpyArray& array) {
  auto values = array.values<T>();
  if (!values) return;
  volatile T sink{};
  for (T v : *values) sink = sink + v;
}

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
  auto layout = parse_npy(bytes, "fuzz.npy");
  if (layout) {
    std::uint64_t total = dtype_item_size(layout->dtype);
    for (auto d : layout->shape) total *= d;
    check(layout->data_offset <= size && total == size - layout->data_offset);
  } else {
    check(layout.error().kind() == Error::Kind::Storage);
    check(layout.error().text().starts_with("fuzz.npy: "));
  }

  static int fd = [] { return memfd_create("fuzz-npy", 0); }();
  if (fd < 0) return 0;
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
  auto array = NpyArray::open("/proc/self/fd/" + std::to_string(fd));
  check(array.has_value() == layout.has_value());
  if (array) {
    check(array->shape() == layout->shape && array->data_offset() == layout->data_offset);
    switch (array->dtype()) {
      case Dtype::Float32: read_all<float>(*array); break;
      case Dtype::Int8: read_all<std::int8_t>(*array); break;
      case Dtype::Uint64: read_all<std::uint64_t>(*array); break;
    }
  }
  return 0;
}
