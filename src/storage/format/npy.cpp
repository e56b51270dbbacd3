#include "storage/format/npy.h"

#include <charconv>
#include <cstring>

#include "base/utf8.h"

namespace quillmark {

namespace {

constexpr unsigned char kMagic[6] = {0x93, 'N', 'U', 'M', 'P', 'Y'};
constexpr std::size_t kAlign = 64;
constexpr std::size_t kMaxHeaderV1 = 65535;

Error file_error(const std::filesystem::path& path, std::string_view reason) {
  return Error::storage(path.string() + ": " + std::string(reason));
}

std::uint32_t read_le(std::span<const std::byte> bytes, std::size_t at, std::size_t width) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v |= std::uint32_t(std::to_integer<unsigned>(bytes[at + i])) << (8 * i);
  return v;
}

// Parses a non-empty run of ASCII digits that fits in 64 bits.
std::optional<std::uint64_t> parse_decimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  for (char c : text)
    if (c < '0' || c > '9') return std::nullopt;
  std::uint64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

}  // namespace

std::string_view dtype_header_text(Dtype dtype) {
  switch (dtype) {
    case Dtype::Float32: return "<f4";
    case Dtype::Int8: return "|i1";
    case Dtype::Uint64: return "<u8";
  }
  invariant_failed("unknown dtype");
}

std::size_t dtype_item_size(Dtype dtype) {
  switch (dtype) {
    case Dtype::Float32: return 4;
    case Dtype::Int8: return 1;
    case Dtype::Uint64: return 8;
  }
  invariant_failed("unknown dtype");
}

std::optional<Dtype> dtype_from_header_text(std::string_view text) {
  if (text == "<f4") return Dtype::Float32;
  if (text == "|i1" || text == "<i1") return Dtype::Int8;
  if (text == "<u8") return Dtype::Uint64;
  return std::nullopt;
}

Result<std::string> npy_file_prefix(Dtype dtype, std::span<const std::uint64_t> shape) {
  std::string dict = "{'descr': '";
  dict += dtype_header_text(dtype);
  dict += "', 'fortran_order': False, 'shape': (";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i > 0) dict += ", ";
    dict += std::to_string(shape[i]);
  }
  if (shape.size() == 1) dict += ',';
  dict += "), }";
  const std::size_t blanks = (kAlign - ((dict.size() + 11) % kAlign)) % kAlign;
  const std::size_t header_length = dict.size() + blanks + 1;
  if (header_length > kMaxHeaderV1) return std::unexpected(Error::storage("array shape is too long for a .npy header"));
  std::string out(reinterpret_cast<const char*>(kMagic), sizeof kMagic);
  out += '\x01';
  out += '\x00';
  out += static_cast<char>(header_length & 0xff);
  out += static_cast<char>(header_length >> 8);
  out += dict;
  out.append(blanks, ' ');
  out += '\n';
  return out;
}

std::optional<std::string_view> header_value(std::string_view header, std::string_view key) {
  std::string needle = "'";
  needle += key;
  needle += "':";
  std::size_t at = header.find(needle);
  if (at == std::string_view::npos) return std::nullopt;
  return trim_start_whitespace(header.substr(at + needle.size()));
}

Result<NpyLayout> parse_npy(std::span<const std::byte> file, const std::filesystem::path& path) {
  const std::uint64_t length = file.size();
  // 1. Magic.
  if (length < 10 || std::memcmp(file.data(), kMagic, sizeof kMagic) != 0)
    return std::unexpected(file_error(path, "not a .npy file"));
  // 2. Version selects the width of the header-length field.
  const unsigned major = std::to_integer<unsigned>(file[6]);
  std::uint64_t header_start, header_length;
  if (major == 1) {
    header_start = 10;
    header_length = read_le(file, 8, 2);
  } else if ((major == 2 || major == 3) && length >= 12) {
    header_start = 12;
    header_length = read_le(file, 8, 4);
  } else {
    return std::unexpected(file_error(path, "unsupported .npy version"));
  }
  // 3. The header lies in the file and is text.
  if (header_length > length - header_start) return std::unexpected(file_error(path, "truncated or non-text header"));
  const std::string_view header(reinterpret_cast<const char*>(file.data()) + header_start, header_length);
  if (!is_valid_utf8(header)) return std::unexpected(file_error(path, "truncated or non-text header"));
  NpyLayout layout;
  layout.data_offset = header_start + header_length;
  // 4. descr.
  {
    auto value = header_value(header, "descr");
    if (!value || value->empty() || value->front() != '\'')
      return std::unexpected(file_error(path, "header has no descr"));
    std::string_view rest = value->substr(1);
    std::size_t end = rest.find('\'');
    if (end == std::string_view::npos) return std::unexpected(file_error(path, "header has no descr"));
    auto dtype = dtype_from_header_text(rest.substr(0, end));
    if (!dtype) return std::unexpected(file_error(path, "unsupported dtype"));
    layout.dtype = *dtype;
  }
  // 5. fortran_order.
  {
    auto value = header_value(header, "fortran_order");
    if (!value || !value->starts_with("False"))
      return std::unexpected(file_error(path, "only C-order arrays are supported"));
  }
  // 6. shape.
  {
    auto value = header_value(header, "shape");
    if (!value || !value->starts_with('(')) return std::unexpected(file_error(path, "header has no shape"));
    std::string_view inner = value->substr(1);
    std::size_t close = inner.find(')');
    if (close == std::string_view::npos) return std::unexpected(file_error(path, "header has no shape"));
    inner = inner.substr(0, close);
    while (true) {
      std::size_t comma = inner.find(',');
      std::string_view piece = trim_whitespace(inner.substr(0, comma));
      if (!piece.empty()) {
        auto dim = parse_decimal(piece);
        if (!dim) return std::unexpected(file_error(path, "malformed shape"));
        layout.shape.push_back(*dim);
      }
      if (comma == std::string_view::npos) break;
      inner.remove_prefix(comma + 1);
    }
  }
  // 7. Byte size of the values, with overflow checks.
  std::uint64_t bytes = dtype_item_size(layout.dtype);
  for (std::uint64_t dim : layout.shape)
    if (__builtin_mul_overflow(bytes, dim, &bytes)) return std::unexpected(file_error(path, "shape overflows usize"));
  // 8. Exactly the value bytes follow the header.
  const std::uint64_t data_bytes = layout.data_offset <= length ? length - layout.data_offset : 0;
  if (bytes != data_bytes) return std::unexpected(file_error(path, "data length does not match the shape"));
  return layout;
}

Result<NpyArray> NpyArray::open(const std::filesystem::path& path) {
  return map(QM_TRY(FileDescriptor::open_read_only(path)), path);
}

Result<NpyArray> NpyArray::open(const Directory& directory, const std::string& name) {
  return map(QM_TRY(directory.open_file(name)), directory.file(name));
}

Result<NpyArray> NpyArray::map(FileDescriptor fd, const std::filesystem::path& path) {
  // Only a regular file has a length that bounds what mapping it exposes.
  const std::uint64_t length = QM_TRY(fd.regular_file_length(path));
  if (length > SIZE_MAX) return std::unexpected(IoError::from_errno(EFBIG));
  const FileIdentity identity = QM_TRY(identity_of(fd));
  auto mapping = QM_TRY(FileMapping::map(fd, static_cast<std::size_t>(length)));
  // The mapping outlives the descriptor; closing a read-only descriptor
  // cannot lose data, so its result is not needed.
  fd = FileDescriptor();
  NpyLayout layout = QM_TRY(parse_npy(mapping->bytes(), path));
  return NpyArray(std::move(mapping), std::move(layout), identity);
}

Result<NpyWriter> NpyWriter::create(const Directory& directory, const std::string& name, Dtype dtype,
                                    std::span<const std::uint64_t> shape, FileSystem& file_system) {
  const std::filesystem::path path = directory.file(name);
  std::string prefix = QM_TRY(npy_file_prefix(dtype, shape));
  std::uint64_t bytes = dtype_item_size(dtype);
  for (std::uint64_t dim : shape)
    if (__builtin_mul_overflow(bytes, dim, &bytes)) return std::unexpected(file_error(path, "shape overflows usize"));
  FileDescriptor fd = QM_TRY(file_system.create_exclusive(directory, name));
  NpyWriter writer(path, dtype, file_system, std::move(fd), bytes);
  writer.buffer_.reserve(kBufferSize);
  const auto* p = reinterpret_cast<const std::byte*>(prefix.data());
  writer.buffer_.assign(p, p + prefix.size());
  return writer;
}

Result<NpyWriter> NpyWriter::create(const std::filesystem::path& path, Dtype dtype,
                                    std::span<const std::uint64_t> shape) {
  std::filesystem::path parent = path.parent_path();
  if (parent.empty()) parent = ".";
  const Directory directory = QM_TRY(Directory::open(parent));
  return create(directory, path.filename().string(), dtype, shape, os_file_system());
}

Error NpyWriter::fail(Error error) {
  failed_ = error;
  return error;
}

Result<void> NpyWriter::flush_buffer() {
  if (buffer_.empty()) return {};
  auto written = file_system_->write(fd_, buffer_);
  buffer_.clear();
  if (!written) return std::unexpected(fail(written.error()));
  return {};
}

Result<void> NpyWriter::write_bytes(std::span<const std::byte> bytes) {
  if (failed_) return std::unexpected(*failed_);
  if (bytes.size() > remaining_) return std::unexpected(file_error(path_, "more data than its shape holds"));
  remaining_ -= bytes.size();
  if (buffer_.size() + bytes.size() > kBufferSize) QM_TRY(flush_buffer());
  if (bytes.size() >= kBufferSize) {
    // A run at least as large as the buffer goes straight to the file.
    auto written = file_system_->write(fd_, bytes);
    if (!written) return std::unexpected(fail(written.error()));
    return {};
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  return {};
}

Result<void> NpyWriter::finish() && {
  if (failed_) return std::unexpected(*failed_);
  if (remaining_ != 0) return std::unexpected(file_error(path_, "less data than its shape holds"));
  QM_TRY(flush_buffer());
  if (auto synced = file_system_->sync(fd_, FlushSite::NpyFile); !synced) return std::unexpected(fail(synced.error()));
  if (auto closed = file_system_->close(fd_); !closed) return std::unexpected(fail(closed.error()));
  return {};
}

}  // namespace quillmark
