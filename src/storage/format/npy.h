#pragma once
// The subset of NumPy's .npy format the vector store writes and reads:
// little-endian float32, int8 and uint64 arrays in C order.
//
// Written files use format version 1.0 with the header padded so that the
// values start at a multiple of 64 bytes; versions 1, 2 and 3 are read.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "storage/io/directory.h"
#include "storage/io/file_descriptor.h"
#include "storage/io/file_mapping.h"
#include "storage/io/file_system.h"

namespace quillmark {

static_assert(std::endian::native == std::endian::little,
              ".npy values are written and mapped as native little-endian bytes");

enum class Dtype { Float32, Int8, Uint64 };

// The header text written for a dtype: "<f4", "|i1", "<u8".
std::string_view dtype_header_text(Dtype dtype);
std::size_t dtype_item_size(Dtype dtype);
// The dtype of an accepted header text ("<f4"; "|i1" or "<i1"; "<u8").
std::optional<Dtype> dtype_from_header_text(std::string_view text);

template <class T>
struct DtypeOf;
template <>
struct DtypeOf<float> {
  static constexpr Dtype value = Dtype::Float32;
};
template <>
struct DtypeOf<std::int8_t> {
  static constexpr Dtype value = Dtype::Int8;
};
template <>
struct DtypeOf<std::uint64_t> {
  static constexpr Dtype value = Dtype::Uint64;
};

// The bytes in front of the values of a version 1.0 file: magic, version,
// header length and the padded header text ending in a newline. Fails with
// Storage "array shape is too long for a .npy header" (no path) when the
// header text would exceed 65,535 bytes.
Result<std::string> npy_file_prefix(Dtype dtype, std::span<const std::uint64_t> shape);

// The rest of `header` after the first occurrence of "'" + key + "':", with
// leading whitespace removed; nothing when the key text does not occur.
std::optional<std::string_view> header_value(std::string_view header, std::string_view key);

// What validation learns about a .npy file.
struct NpyLayout {
  Dtype dtype = Dtype::Float32;
  std::vector<std::uint64_t> shape;
  std::uint64_t data_offset = 0;
};

// Validates the complete bytes of a .npy file: magic, version, header, descr,
// fortran_order, shape, and that the value bytes match the shape exactly.
// Returns the layout, or Storage "<path>: <reason>" for the first failed check.
Result<NpyLayout> parse_npy(std::span<const std::byte> file, const std::filesystem::path& path);

// An opened .npy file: a read-only shared mapping of the whole file whose
// header has been validated.
//
// Invariants:
//  1. product(shape) * item size == file length - data offset.
//  2. The mapping stays alive while any copy of this value exists; spans
//     returned by values() are valid exactly that long.
// Immutable; copies share the mapping and may be used from any thread.
class NpyArray {
 public:
  // Opens, maps and validates `path`. Returns the I/O error of open, fstat or
  // mmap, or the Storage error of parse_npy. A failure leaves no descriptor
  // or mapping open.
  static Result<NpyArray> open(const std::filesystem::path& path);
  // Opens the file `name` of `directory` likewise, refusing a symbolic link
  // (Directory::open_file's error).
  static Result<NpyArray> open(const Directory& directory, const std::string& name);

  // The file it was mapped from.
  const FileIdentity& identity() const { return identity_; }

  Dtype dtype() const { return layout_.dtype; }
  const std::vector<std::uint64_t>& shape() const { return layout_.shape; }
  std::uint64_t data_offset() const { return layout_.data_offset; }
  std::uint64_t file_length() const { return mapping_->bytes().size(); }
  // Every byte of the file as mapped, header included.
  std::span<const std::byte> file_bytes() const { return mapping_->bytes(); }
  // (file length - data offset) / item size.
  std::size_t element_count() const {
    return static_cast<std::size_t>((file_length() - data_offset()) / dtype_item_size(dtype()));
  }

  // All values as T. Returns Storage "array dtype or alignment does not
  // match" when T is not the array's dtype or the values do not start at an
  // address divisible by sizeof(T).
  template <class T>
  Result<std::span<const T>> values() const {
    const std::byte* start = mapping_->bytes().data() + data_offset();
    if (DtypeOf<T>::value != dtype() || reinterpret_cast<std::uintptr_t>(start) % sizeof(T) != 0)
      return std::unexpected(Error::storage("array dtype or alignment does not match"));
    return std::span<const T>(reinterpret_cast<const T*>(start), element_count());
  }

 private:
  NpyArray(std::shared_ptr<const FileMapping> mapping, NpyLayout layout, FileIdentity identity)
      : mapping_(std::move(mapping)), layout_(std::move(layout)), identity_(identity) {}

  // Maps and validates the open file `fd`, named `path` in errors.
  static Result<NpyArray> map(FileDescriptor fd, const std::filesystem::path& path);

  std::shared_ptr<const FileMapping> mapping_;  // never null
  NpyLayout layout_;
  FileIdentity identity_;
};

// Streams the values of one new .npy file through a 1 MiB buffer.
//
// Invariants:
//  1. remaining() is the number of value bytes the shape still expects.
//  2. After any failed write or flush the writer stays failed: every later
//     write and finish() returns that first error, so an incomplete file is
//     never reported as finished.
// Used by one thread at a time. A writer dropped without finish() closes the
// file and leaves it incomplete on disk; removing it is the caller's job.
class NpyWriter {
 public:
  static constexpr std::size_t kBufferSize = 1 << 20;

  // Formats the header (failing with the header-length error before touching
  // the file system, or Storage "<path>: shape overflows usize" when the
  // shape's byte size exceeds 64 bits), then creates `path` exclusively
  // (permission bits 0666 before the umask; I/O error if it exists or cannot
  // be created). Every file-system call goes through `file_system`, which
  // must outlive the writer.
  static Result<NpyWriter> create(const Directory& directory, const std::string& name, Dtype dtype,
                                  std::span<const std::uint64_t> shape, FileSystem& file_system);
  // create() in the directory of `path`, opened now, on the operating
  // system's file system; the directory's I/O error first.
  static Result<NpyWriter> create(const std::filesystem::path& path, Dtype dtype,
                                  std::span<const std::uint64_t> shape);

  NpyWriter(NpyWriter&&) = default;
  NpyWriter& operator=(NpyWriter&&) = default;

  // Appends values. REQUIRES: T is the writer's dtype. Returns Storage
  // "<path>: more data than its shape holds" (nothing written) when the run
  // is longer than what remains, or the I/O error of a buffer flush.
  template <class T>
  Result<void> write(std::span<const T> values) {
    QM_INVARIANT(DtypeOf<T>::value == dtype_, "values written to a .npy file of another dtype");
    return write_bytes(std::as_bytes(values));
  }

  // Checks that exactly the shape's values were written (else Storage
  // "<path>: less data than its shape holds"), flushes the buffer, forces the
  // file to stable storage and closes it. Returns the first error.
  Result<void> finish() &&;

  Dtype dtype() const { return dtype_; }
  const std::filesystem::path& path() const { return path_; }
  std::uint64_t remaining() const { return remaining_; }

 private:
  NpyWriter(std::filesystem::path path, Dtype dtype, FileSystem& file_system, FileDescriptor fd,
            std::uint64_t remaining)
      : path_(std::move(path)), dtype_(dtype), file_system_(&file_system), fd_(std::move(fd)),
        remaining_(remaining) {}

  Result<void> write_bytes(std::span<const std::byte> bytes);
  Result<void> flush_buffer();
  Error fail(Error error);

  std::filesystem::path path_;
  Dtype dtype_;
  FileSystem* file_system_;  // never null
  FileDescriptor fd_;
  std::vector<std::byte> buffer_;  // capacity kBufferSize
  std::uint64_t remaining_;
  std::optional<Error> failed_;
};

}  // namespace quillmark
