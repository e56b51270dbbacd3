#pragma once
// A read-only shared memory mapping of a whole file.

#include <cstddef>
#include <filesystem>
#include <memory>
#include <span>

#include "base/error.h"
#include "storage/io/file_descriptor.h"

namespace quillmark {

// Invariants:
//  1. bytes() covers the whole file as it was when mapped and never changes.
//  2. The mapping is released exactly once, when the object is destroyed.
// Shared read-only between threads through std::shared_ptr<const FileMapping>.
class FileMapping {
 public:
  // Maps the first `length` bytes of `fd` read-only and shared. A length of 0
  // maps nothing (mmap refuses empty mappings) and gives an empty span.
  // Returns the I/O error of mmap(2). The descriptor may be closed afterwards.
  static Result<std::shared_ptr<const FileMapping>> map(const FileDescriptor& fd, std::size_t length);

  FileMapping(const FileMapping&) = delete;
  FileMapping& operator=(const FileMapping&) = delete;
  ~FileMapping();

  std::span<const std::byte> bytes() const { return {data_, length_}; }

 private:
  FileMapping(const std::byte* data, std::size_t length) : data_(data), length_(length) {}
  const std::byte* data_;
  std::size_t length_;
};

}  // namespace quillmark
