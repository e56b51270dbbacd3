#include "storage/format/npy.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>
#include <fstream>
#include <numeric>
#include <sstream>

#include "temp_dir.h"

namespace quillmark {
namespace {

using testing::TempDir;
using testing::read_bytes;
using testing::write_bytes;

// A .npy file: magic, version (major.0), length field of the version's width,
// header text, value bytes.
std::string npy_bytes(int major, std::string_view header, std::string_view data = {}) {
  std::string out("\x93NUMPY", 6);
  out += static_cast<char>(major);
  out += '\0';
  const std::size_t width = major == 1 ? 2 : 4;
  for (std::size_t i = 0; i < width; ++i) out += static_cast<char>((header.size() >> (8 * i)) & 0xff);
  out += header;
  out += data;
  return out;
}

std::string storage_message(const Error& e) {
  EXPECT_EQ(e.kind(), Error::Kind::Storage) << e.debug();
  return e.text();
}

template <class T>
std::vector<T> to_vector(std::span<const T> s) {
  return {s.begin(), s.end()};
}

// ---------------------------------------------------------------- writer

TEST(NpyPrefix, TwoDimensionalFloat32LayoutIsExact) {
  std::vector<std::uint64_t> shape = {3, 128};
  auto prefix = npy_file_prefix(Dtype::Float32, shape);
  ASSERT_TRUE(prefix);
  const std::string dict = "{'descr': '<f4', 'fortran_order': False, 'shape': (3, 128), }";
  ASSERT_EQ(dict.size(), 61u);
  EXPECT_EQ(*prefix, std::string("\x93NUMPY\x01\x00\x76\x00", 10) + dict + std::string(56, ' ') + "\n");
  EXPECT_EQ(prefix->size(), 128u);
}

TEST(NpyPrefix, OneDimensionalUint64HasTrailingComma) {
  std::vector<std::uint64_t> shape = {4};
  auto prefix = npy_file_prefix(Dtype::Uint64, shape);
  ASSERT_TRUE(prefix);
  const std::string dict = "{'descr': '<u8', 'fortran_order': False, 'shape': (4,), }";
  ASSERT_EQ(dict.size(), 57u);
  EXPECT_EQ(prefix->substr(10), dict + std::string(60, ' ') + "\n");
}

TEST(NpyPrefix, RankZeroAndInt8Texts) {
  auto scalar = npy_file_prefix(Dtype::Float32, {});
  ASSERT_TRUE(scalar);
  EXPECT_TRUE(scalar->substr(10).starts_with("{'descr': '<f4', 'fortran_order': False, 'shape': (), }"));
  std::vector<std::uint64_t> shape = {2, 5};
  auto codes = npy_file_prefix(Dtype::Int8, shape);
  ASSERT_TRUE(codes);
  EXPECT_TRUE(codes->substr(10).starts_with("{'descr': '|i1',"));
}

TEST(NpyPrefix, NoBlanksWhenDictionaryEndsOnTheBoundary) {
  // 64 dimensions of 1: the dictionary is 245 characters, 245 mod 64 = 53.
  std::vector<std::uint64_t> shape(64, 1);
  auto prefix = npy_file_prefix(Dtype::Float32, shape);
  ASSERT_TRUE(prefix);
  EXPECT_EQ(prefix->size(), 256u);
  EXPECT_EQ(prefix->substr(prefix->size() - 2), "}\n");
  for (std::size_t dims : {1, 2, 3, 17, 40, 63, 65, 200}) {
    std::vector<std::uint64_t> s(dims, 7);
    auto p = npy_file_prefix(Dtype::Uint64, s);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->size() % 64, 0u) << dims;
    EXPECT_LT(p->size() - p->rfind('}') - 2, 64u) << "fewer than 64 blanks";
  }
}

TEST(NpyWriter, HeaderTooLongFailsBeforeTouchingTheFileSystem) {
  TempDir dir;
  std::vector<std::uint64_t> shape(22000, 1);  // three characters per dimension
  auto w = NpyWriter::create(dir / "a.npy", Dtype::Float32, shape);
  ASSERT_FALSE(w);
  EXPECT_EQ(storage_message(w.error()), "array shape is too long for a .npy header");
  EXPECT_FALSE(std::filesystem::exists(dir / "a.npy"));
}

TEST(NpyWriter, ExactCountFinishesAndMatchesTheLayout) {
  TempDir dir;
  std::vector<std::uint64_t> shape = {4};
  auto w = NpyWriter::create(dir / "u.npy", Dtype::Uint64, shape);
  ASSERT_TRUE(w);
  std::vector<std::uint64_t> values = {0, 1, 1ull << 40, ~0ull};
  ASSERT_TRUE(w->write(std::span<const std::uint64_t>(values)));
  EXPECT_EQ(w->remaining(), 0u);
  ASSERT_TRUE(std::move(*w).finish());
  std::string bytes = read_bytes(dir / "u.npy");
  ASSERT_EQ(bytes.size(), 160u);
  EXPECT_EQ(bytes.substr(0, 128), *npy_file_prefix(Dtype::Uint64, shape));
  EXPECT_EQ(std::memcmp(bytes.data() + 128, values.data(), 32), 0);
  auto a = NpyArray::open(dir / "u.npy");
  ASSERT_TRUE(a);
  EXPECT_EQ(to_vector(*a->values<std::uint64_t>()), values);
}

TEST(NpyWriter, OneValueTooManyFailsAtTheWrite) {
  TempDir dir;
  std::vector<std::uint64_t> shape = {2, 2};
  auto w = NpyWriter::create(dir / "f.npy", Dtype::Float32, shape);
  ASSERT_TRUE(w);
  std::vector<float> five = {1, 2, 3, 4, 5};
  auto r = w->write(std::span<const float>(five));
  ASSERT_FALSE(r);
  EXPECT_EQ(storage_message(r.error()), (dir / "f.npy").string() + ": more data than its shape holds");
  // Nothing of the rejected run was counted: four values still fit.
  EXPECT_EQ(w->remaining(), 16u);
  ASSERT_TRUE(w->write(std::span<const float>(five).first(4)));
  EXPECT_TRUE(std::move(*w).finish());
}

TEST(NpyWriter, OneValueTooFewFailsAtFinish) {
  TempDir dir;
  std::vector<std::uint64_t> shape = {3};
  auto w = NpyWriter::create(dir / "i.npy", Dtype::Int8, shape);
  ASSERT_TRUE(w);
  std::vector<std::int8_t> two = {-1, 1};
  ASSERT_TRUE(w->write(std::span<const std::int8_t>(two)));
  auto r = std::move(*w).finish();
  ASSERT_FALSE(r);
  EXPECT_EQ(storage_message(r.error()), (dir / "i.npy").string() + ": less data than its shape holds");
}

TEST(NpyWriter, CreatingOverAnExistingFileFails) {
  TempDir dir;
  write_bytes(dir / "x.npy", "keep");
  auto w = NpyWriter::create(dir / "x.npy", Dtype::Float32, std::vector<std::uint64_t>{1});
  ASSERT_FALSE(w);
  ASSERT_EQ(w.error().kind(), Error::Kind::Io);
  EXPECT_EQ(w.error().io()->kind(), IoErrorKind::AlreadyExists);
  EXPECT_EQ(read_bytes(dir / "x.npy"), "keep");
}

TEST(NpyWriter, RunsAroundTheBufferSizeRoundTrip) {
  TempDir dir;
  // 700,000 floats (2.8 MB): runs smaller than, equal to and larger than the
  // 1 MiB buffer, in an order that forces every flush path.
  const std::size_t n = 700000;
  std::vector<float> values(n);
  for (std::size_t i = 0; i < n; ++i) values[i] = static_cast<float>(i) * 0.5f - 1000.0f;
  std::vector<std::size_t> runs = {1, 3, 262144, 262144, 100, 170000};
  runs.push_back(n - std::accumulate(runs.begin(), runs.end(), std::size_t{0}));
  std::vector<std::uint64_t> shape = {n / 100, 100};
  auto w = NpyWriter::create(dir / "big.npy", Dtype::Float32, shape);
  ASSERT_TRUE(w);
  std::size_t at = 0;
  for (std::size_t run : runs) {
    ASSERT_TRUE(w->write(std::span<const float>(values).subspan(at, run)));
    at += run;
  }
  ASSERT_TRUE(std::move(*w).finish());
  auto a = NpyArray::open(dir / "big.npy");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->shape(), shape);
  EXPECT_EQ(to_vector(*a->values<float>()), values);
}

// ---------------------------------------------------------------- reader

struct BadFile {
  const char* name;
  std::string bytes;
  const char* message;
};

void PrintTo(const BadFile& c, std::ostream* os) { *os << c.name; }


std::string header(std::string_view dict) { return std::string(dict) + "\n"; }

// The dictionary padded so that a version 1 file's values start at a
// multiple of 64.
std::string aligned_header(std::string_view dict) {
  return std::string(dict) + std::string((64 - (dict.size() + 11) % 64) % 64, ' ') + "\n";
}

std::vector<BadFile> bad_files() {
  const std::string ok_dict = "{'descr': '<f4', 'fortran_order': False, 'shape': (2,), }";
  const std::string eight(8, '\0');
  return {
      {"empty", "", "not a .npy file"},
      {"nine_bytes", std::string("\x93NUMPY\x01\x00\x00", 9), "not a .npy file"},
      {"bad_magic", "\x93NUMPZ" + npy_bytes(1, header(ok_dict), eight).substr(6), "not a .npy file"},
      {"version_4", npy_bytes(4, header(ok_dict), eight), "unsupported .npy version"},
      {"version_0", npy_bytes(0, header(ok_dict), eight), "unsupported .npy version"},
      {"version_2_short", std::string("\x93NUMPY\x02\x00\x05\x00\x00", 11), "unsupported .npy version"},
      {"header_past_end", npy_bytes(1, header(ok_dict)).substr(0, 40), "truncated or non-text header"},
      {"header_not_utf8", npy_bytes(1, header("{'descr': '<f4', \xff 'fortran_order': False, 'shape': (2,), }"), eight),
       "truncated or non-text header"},
      {"header_surrogate", npy_bytes(1, header("{'descr': '<f4', \xed\xa0\x80 'fortran_order': False, 'shape': (2,), }"), eight),
       "truncated or non-text header"},
      {"no_descr", npy_bytes(1, header("{'fortran_order': False, 'shape': (2,), }"), eight), "header has no descr"},
      {"descr_unquoted", npy_bytes(1, header("{'descr': <f4, 'fortran_order': False, 'shape': (2,), }"), eight),
       "header has no descr"},
      {"descr_unclosed", npy_bytes(1, "{'descr': '<f4"), "header has no descr"},
      {"descr_at_end", npy_bytes(1, "{'descr':"), "header has no descr"},
      {"descr_int32", npy_bytes(1, header("{'descr': '<i4', 'fortran_order': False, 'shape': (2,), }"), eight),
       "unsupported dtype"},
      {"descr_big_endian", npy_bytes(1, header("{'descr': '>f4', 'fortran_order': False, 'shape': (2,), }"), eight),
       "unsupported dtype"},
      {"descr_empty", npy_bytes(1, header("{'descr': '', 'fortran_order': False, 'shape': (2,), }"), eight),
       "unsupported dtype"},
      {"fortran_true", npy_bytes(1, header("{'descr': '<f4', 'fortran_order': True, 'shape': (2,), }"), eight),
       "only C-order arrays are supported"},
      {"fortran_missing", npy_bytes(1, header("{'descr': '<f4', 'shape': (2,), }"), eight),
       "only C-order arrays are supported"},
      {"no_shape", npy_bytes(1, header("{'descr': '<f4', 'fortran_order': False, }"), eight), "header has no shape"},
      {"shape_list", npy_bytes(1, header("{'descr': '<f4', 'fortran_order': False, 'shape': [2], }"), eight),
       "header has no shape"},
      {"shape_unclosed", npy_bytes(1, "{'descr': '<f4', 'fortran_order': False, 'shape': (2,"), "header has no shape"},
      {"shape_negative", npy_bytes(1, header("{'descr': '<f4', 'fortran_order': False, 'shape': (-2,), }"), eight),
       "malformed shape"},
      {"shape_float", npy_bytes(1, header("{'descr': '<f4', 'fortran_order': False, 'shape': (2.0,), }"), eight),
       "malformed shape"},
      {"shape_too_big", npy_bytes(1, header("{'descr': '<f4', 'fortran_order': False, 'shape': (18446744073709551616,), }")),
       "malformed shape"},
      {"shape_inner_blank", npy_bytes(1, header("{'descr': '<f4', 'fortran_order': False, 'shape': (1 2,), }")),
       "malformed shape"},
      {"shape_overflow", npy_bytes(1, header("{'descr': '<f4', 'fortran_order': False, 'shape': (4611686018427387904,), }")),
       "shape overflows usize"},
      {"shape_overflow_product", npy_bytes(1, header("{'descr': '|i1', 'fortran_order': False, 'shape': (4294967296, 4294967296), }")),
       "shape overflows usize"},
      {"one_byte_extra", npy_bytes(1, header(ok_dict), eight + "x"), "data length does not match the shape"},
      {"one_byte_short", npy_bytes(1, header(ok_dict), eight.substr(1)), "data length does not match the shape"},
  };
}

class NpyOpenRejects : public ::testing::TestWithParam<BadFile> {};

TEST_P(NpyOpenRejects, WithThePathPrefixedMessage) {
  TempDir dir;
  const auto path = dir / "bad.npy";
  write_bytes(path, GetParam().bytes);
  auto a = NpyArray::open(path);
  ASSERT_FALSE(a);
  EXPECT_EQ(storage_message(a.error()), path.string() + ": " + GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Headers, NpyOpenRejects, ::testing::ValuesIn(bad_files()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NpyOpen, AcceptsKeysInAnyOrderWithExtraKeysAndWhitespace) {
  TempDir dir;
  std::string data(2 * 3 * 4, '\0');
  write_bytes(dir / "a.npy",
              npy_bytes(1, "{ 'shape' :(9,), 'extra': 1, 'shape':\t( 2 ,3 , ) ,'fortran_order':  False,'descr':'<f4'}\n", data));
  auto a = NpyArray::open(dir / "a.npy");
  // 'shape' : (with a blank before the colon) is not the key text; the second
  // occurrence is.
  ASSERT_TRUE(a) << a.error().text();
  EXPECT_EQ(a->shape(), (std::vector<std::uint64_t>{2, 3}));
  EXPECT_EQ(a->element_count(), 6u);
}

TEST(NpyOpen, ZeroRowsAndRankZero) {
  TempDir dir;
  write_bytes(dir / "z.npy", npy_bytes(1, header("{'descr': '<f4', 'fortran_order': False, 'shape': (0, 128), }")));
  auto z = NpyArray::open(dir / "z.npy");
  ASSERT_TRUE(z);
  EXPECT_EQ(z->shape(), (std::vector<std::uint64_t>{0, 128}));
  EXPECT_EQ(z->values<float>()->size(), 0u);

  float one = 2.5f;
  write_bytes(dir / "s.npy", npy_bytes(1, aligned_header("{'descr': '<f4', 'fortran_order': False, 'shape': (), }"),
                                       std::string_view(reinterpret_cast<const char*>(&one), 4)));
  auto s = NpyArray::open(dir / "s.npy");
  ASSERT_TRUE(s);
  EXPECT_TRUE(s->shape().empty());
  EXPECT_EQ(to_vector(*s->values<float>()), std::vector<float>{2.5f});
}

TEST(NpyOpen, LittleEndianInt8TextReadsAsInt8) {
  TempDir dir;
  write_bytes(dir / "c.npy", npy_bytes(1, header("{'descr': '<i1', 'fortran_order': False, 'shape': (3,), }"), "\x01\xff\x7f"));
  auto a = NpyArray::open(dir / "c.npy");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->dtype(), Dtype::Int8);
  EXPECT_EQ(to_vector(*a->values<std::int8_t>()), (std::vector<std::int8_t>{1, -1, 127}));
}

TEST(NpyOpen, ViewsCheckDtypeAndAlignment) {
  TempDir dir;
  // Data at offset 10 + 54 = 64: aligned.
  std::string dict = "{'descr': '<u8', 'fortran_order': False, 'shape': (1,), }";
  ASSERT_EQ(dict.size(), 57u);
  write_bytes(dir / "aligned.npy", npy_bytes(1, header(dict + std::string(60, ' ')), std::string(8, '\x01')));
  auto a = NpyArray::open(dir / "aligned.npy");
  ASSERT_TRUE(a);
  EXPECT_TRUE(a->values<std::uint64_t>());
  auto wrong = a->values<float>();
  ASSERT_FALSE(wrong);
  EXPECT_EQ(storage_message(wrong.error()), "array dtype or alignment does not match");
  // Data at offset 10 + 58 + 1 = 69: valid file, but no aligned uint64 view.
  write_bytes(dir / "odd.npy", npy_bytes(1, header(dict + " "), std::string(8, '\x01')));
  auto odd = NpyArray::open(dir / "odd.npy");
  ASSERT_TRUE(odd);
  EXPECT_EQ(odd->data_offset(), 69u);
  auto view = odd->values<std::uint64_t>();
  ASSERT_FALSE(view);
  EXPECT_EQ(storage_message(view.error()), "array dtype or alignment does not match");
}

TEST(NpyOpen, MissingFileIsAnIoError) {
  TempDir dir;
  auto a = NpyArray::open(dir / "absent.npy");
  ASSERT_FALSE(a);
  ASSERT_EQ(a.error().kind(), Error::Kind::Io);
  EXPECT_EQ(a.error().io()->kind(), IoErrorKind::NotFound);
}

TEST(NpyOpen, FifoAndDirectoryFailWithoutBlocking) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "fifo.npy").c_str(), 0600), 0);
  auto fifo = NpyArray::open(dir / "fifo.npy");
  ASSERT_FALSE(fifo);
  EXPECT_EQ(storage_message(fifo.error()), (dir / "fifo.npy").string() + ": not a regular file");
  std::filesystem::create_directory(dir / "d.npy");
  auto d = NpyArray::open(dir / "d.npy");
  ASSERT_FALSE(d);
  EXPECT_EQ(storage_message(d.error()), (dir / "d.npy").string() + ": not a regular file");
}

std::size_t open_descriptors() {
  std::size_t n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) (void)e, ++n;
  return n;
}

bool mapped(const std::filesystem::path& path) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line))
    if (line.find(path.string()) != std::string::npos) return true;
  return false;
}

TEST(NpyOpen, FailuresLeaveNoDescriptorOrMapping) {
  TempDir dir;
  const std::size_t before = open_descriptors();
  for (const auto& bad : bad_files()) {
    const auto path = dir / (std::string(bad.name) + ".npy");
    write_bytes(path, bad.bytes);
    ASSERT_FALSE(NpyArray::open(path));
    EXPECT_FALSE(mapped(path)) << bad.name;
  }
  EXPECT_EQ(open_descriptors(), before);
  // A good array keeps its mapping (but no descriptor) until the last copy goes.
  write_bytes(dir / "good.npy", npy_bytes(1, header("{'descr': '|i1', 'fortran_order': False, 'shape': (1,), }"), "\x05"));
  {
    auto a = NpyArray::open(dir / "good.npy");
    ASSERT_TRUE(a);
    NpyArray copy = *a;
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_TRUE(mapped(dir / "good.npy"));
  }
  EXPECT_FALSE(mapped(dir / "good.npy"));
}

TEST(HeaderValue, FindsTheFirstKeyTextAndTrimsWhitespace) {
  EXPECT_EQ(header_value("{'a': 1, 'a':2}", "a"), "1, 'a':2}");
  EXPECT_EQ(header_value("{'a':\n\t 'x'}", "a"), "'x'}");
  EXPECT_EQ(header_value("{'a':\xe3\x80\x80(1,)}", "a"), "(1,)}");  // ideographic space
  EXPECT_EQ(header_value("{'ab': 1}", "a"), std::nullopt);
  EXPECT_EQ(header_value("{'a' : 1}", "a"), std::nullopt);
  EXPECT_EQ(header_value("{'a':", "a"), "");
}

}  // namespace
}  // namespace quillmark
