#include "storage/io/file_mapping.h"

#include <cerrno>
#include <sys/mman.h>

namespace quillmark {

Result<std::shared_ptr<const FileMapping>> FileMapping::map(const FileDescriptor& fd, std::size_t length) {
  if (length == 0) return std::shared_ptr<const FileMapping>(new FileMapping(nullptr, 0));
  void* p = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd.get(), 0);
  if (p == MAP_FAILED) return std::unexpected(IoError::from_errno(errno));
  // Construct the owner before anything else can fail, so the mapping is
  // never leaked.
  auto* owner = new (std::nothrow) FileMapping(static_cast<const std::byte*>(p), length);
  if (owner == nullptr) {
    ::munmap(p, length);
    throw std::bad_alloc();
  }
  return std::shared_ptr<const FileMapping>(owner);
}

FileMapping::~FileMapping() {
  if (data_ != nullptr) ::munmap(const_cast<std::byte*>(data_), length_);
}

}  // namespace quillmark
