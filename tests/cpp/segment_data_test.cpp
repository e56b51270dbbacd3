#include "storage/format/segment_data.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>

#include <nlohmann/json.hpp>

#include "temp_dir.h"

namespace quillmark {
namespace {

using testing::TempDir;

template <class T>
void write_npy(const std::filesystem::path& path, Dtype dtype, std::vector<std::uint64_t> shape,
               const std::vector<T>& values) {
  std::filesystem::remove(path);
  auto w = NpyWriter::create(path, dtype, shape);
  ASSERT_TRUE(w) << w.error().text();
  ASSERT_TRUE(w->write(std::span<const T>(values)));
  ASSERT_TRUE(std::move(*w).finish());
}

// A valid segment 7 with three documents of 2, 1 and 3 tokens, dimension 4.
struct Segment {
  TempDir dir;
  SegmentEntry entry{7, 3, 6, std::nullopt};
  static constexpr std::uint64_t kDim = 4;

  explicit Segment(Encoding encoding) {
    testing::write_bytes(dir / "segment-7.ids.json", R"(["a", "b\u00e9", "c"])");
    write_npy<std::uint64_t>(dir / "segment-7.offsets.npy", Dtype::Uint64, {4}, {0, 2, 3, 6});
    std::vector<float> vectors(6 * kDim);
    for (std::size_t i = 0; i < vectors.size(); ++i) vectors[i] = static_cast<float>(i);
    if (encoding == Encoding::Float32) {
      write_npy(dir / "segment-7.vectors.npy", Dtype::Float32, {6, kDim}, vectors);
    } else {
      write_npy(dir / "segment-7.codes.npy", Dtype::Int8, {6, kDim}, std::vector<std::int8_t>(6 * kDim, 3));
      write_npy(dir / "segment-7.scales.npy", Dtype::Float32, {6}, std::vector<float>(6, 0.5f));
    }
  }
  Result<std::shared_ptr<const SegmentData>> load(Encoding encoding = Encoding::Float32) const {
    return SegmentData::load(dir.path(), entry, encoding, kDim);
  }
};

std::string message(const Result<std::shared_ptr<const SegmentData>>& r) {
  EXPECT_FALSE(r.has_value());
  if (r) return "";
  EXPECT_EQ(r.error().kind(), Error::Kind::Storage) << r.error().debug();
  return r.error().text();
}

TEST(SegmentData, LoadsAValidFloat32Segment) {
  Segment s(Encoding::Float32);
  auto data = s.load();
  ASSERT_TRUE(data) << data.error().text();
  const auto& d = **data;
  EXPECT_EQ(d.ids(), (std::vector<SharedText>{"a", "b\xc3\xa9", "c"}));
  EXPECT_EQ(d.row("b\xc3\xa9"), 1u);
  EXPECT_EQ(d.row("c"), 2u);
  EXPECT_EQ(d.row("d"), std::nullopt);
  EXPECT_EQ(std::vector<std::uint64_t>(d.offsets().begin(), d.offsets().end()), (std::vector<std::uint64_t>{0, 2, 3, 6}));
  ASSERT_EQ(d.arrays().size(), 1u);
  EXPECT_EQ((*d.arrays()[0].values<float>())[23], 23.0f);
}

TEST(SegmentData, LoadsAValidInt8SegmentAndItsArraysInOrder) {
  Segment s(Encoding::Int8);
  auto data = s.load(Encoding::Int8);
  ASSERT_TRUE(data) << data.error().text();
  ASSERT_EQ((*data)->arrays().size(), 2u);
  EXPECT_EQ((*data)->arrays()[0].dtype(), Dtype::Int8);
  EXPECT_EQ((*data)->arrays()[1].shape(), (std::vector<std::uint64_t>{6}));
  // The same files do not make a float32 segment.
  auto wrong = s.load(Encoding::Float32);
  ASSERT_FALSE(wrong);
  EXPECT_EQ(wrong.error().kind(), Error::Kind::Io);
}

TEST(SegmentData, IdsFileFaults) {
  Segment s(Encoding::Float32);
  const auto ids = s.dir / "segment-7.ids.json";
  testing::write_bytes(ids, "[\"a\", 5, \"c\"]");
  EXPECT_EQ(message(s.load()), ids.string() + ": invalid type: integer `5`, expected a string at line 1 column 7");
  testing::write_bytes(ids, "[\"a\", \"b\"");
  EXPECT_EQ(message(s.load()).substr(0, ids.string().size() + 14), ids.string() + ": parse error:");
  testing::write_bytes(ids, "{\"a\": 1}");
  EXPECT_EQ(message(s.load()), ids.string() + ": invalid type: map, expected a sequence at line 1 column 1");
  testing::write_bytes(ids, "[\"a\", \"b\", \"a\"]");
  EXPECT_EQ(message(s.load()), "document ID \"a\" appears more than once in segment 7");
  testing::write_bytes(ids, "[\"a\", \"b\"]");
  EXPECT_EQ(message(s.load()), "segment 7 holds 2 documents, but the manifest says 3");
  std::filesystem::remove(ids);
  auto missing = s.load();
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().io()->kind(), IoErrorKind::NotFound);
}

TEST(SegmentData, OffsetsFaults) {
  const std::string invalid = "the offsets of segment 7 are invalid";
  struct Case {
    Dtype dtype;
    std::vector<std::uint64_t> shape;
    std::vector<std::uint64_t> values;
  };
  for (const Case& c : std::vector<Case>{
           {Dtype::Uint64, {4}, {0, 3, 3, 6}},     // a document without tokens
           {Dtype::Uint64, {4}, {1, 2, 3, 6}},     // not starting at 0
           {Dtype::Uint64, {4}, {0, 2, 3, 7}},     // not ending at tokens
           {Dtype::Uint64, {3}, {0, 3, 6}},        // too short
           {Dtype::Uint64, {5}, {0, 1, 2, 3, 6}},  // too long
           {Dtype::Uint64, {2, 2}, {0, 2, 3, 6}},  // two-dimensional
           {Dtype::Uint64, {4}, {0, 4, 3, 6}},     // descending
       }) {
    Segment s(Encoding::Float32);
    write_npy(s.dir / "segment-7.offsets.npy", c.dtype, c.shape, c.values);
    EXPECT_EQ(message(s.load()), invalid);
  }
  Segment s(Encoding::Float32);
  write_npy<float>(s.dir / "segment-7.offsets.npy", Dtype::Float32, {4}, {0, 2, 3, 6});
  EXPECT_EQ(message(s.load()), invalid);
  // Zero documents need the single offset 0 and zero tokens.
  Segment empty(Encoding::Float32);
  empty.entry = {7, 0, 0, std::nullopt};
  testing::write_bytes(empty.dir / "segment-7.ids.json", "[]");
  write_npy<std::uint64_t>(empty.dir / "segment-7.offsets.npy", Dtype::Uint64, {0}, {});
  EXPECT_EQ(message(empty.load()), invalid);
  write_npy<std::uint64_t>(empty.dir / "segment-7.offsets.npy", Dtype::Uint64, {1}, {0});
  write_npy<float>(empty.dir / "segment-7.vectors.npy", Dtype::Float32, {0, 4}, {});
  EXPECT_TRUE(empty.load());
}

TEST(SegmentData, ArrayShapeAndDtypeFaults) {
  {
    Segment s(Encoding::Float32);
    write_npy(s.dir / "segment-7.vectors.npy", Dtype::Float32, {6, 5}, std::vector<float>(30));
    EXPECT_EQ(message(s.load()), "array 'vectors' of segment 7 has the wrong shape or dtype");
  }
  {
    Segment s(Encoding::Float32);
    write_npy(s.dir / "segment-7.vectors.npy", Dtype::Float32, {24}, std::vector<float>(24));
    EXPECT_EQ(message(s.load()), "array 'vectors' of segment 7 has the wrong shape or dtype");
  }
  {
    Segment s(Encoding::Int8);
    write_npy(s.dir / "segment-7.codes.npy", Dtype::Uint64, {6, 4}, std::vector<std::uint64_t>(24));
    EXPECT_EQ(message(s.load(Encoding::Int8)), "array 'codes' of segment 7 has the wrong shape or dtype");
  }
  {
    Segment s(Encoding::Int8);
    write_npy(s.dir / "segment-7.scales.npy", Dtype::Float32, {6, 1}, std::vector<float>(6));
    EXPECT_EQ(message(s.load(Encoding::Int8)), "array 'scales' of segment 7 has the wrong shape or dtype");
  }
  {
    // Right dtype and shape, but values that cannot be viewed as floats.
    Segment s(Encoding::Int8);
    std::string dict = "{'descr': '<f4', 'fortran_order': False, 'shape': (6,), }";
    std::string file = std::string("\x93NUMPY\x01\x00", 8) + char(dict.size() + 2) + '\0' + dict + " \n" +
                       std::string(24, '\0');
    testing::write_bytes(s.dir / "segment-7.scales.npy", file);
    EXPECT_EQ(message(s.load(Encoding::Int8)), "array 'scales' of segment 7 has the wrong shape or dtype");
  }
}

TEST(SegmentData, Tombstones) {
  Segment s(Encoding::Float32);
  s.entry.documents = 5;
  s.entry.tombstones = 9;
  const auto path = s.dir / "segment-7.tombstones-9.npy";
  write_npy<std::uint64_t>(path, Dtype::Uint64, {3}, {0, 2, 4});
  auto rows = load_tombstones(s.dir.path(), s.entry);
  ASSERT_TRUE(rows);
  EXPECT_EQ(**rows, (std::vector<std::uint64_t>{0, 2, 4}));
  write_npy<std::uint64_t>(path, Dtype::Uint64, {0}, {});
  EXPECT_TRUE(load_tombstones(s.dir.path(), s.entry));
  const std::string bad = "the tombstones of segment 7 must be ascending rows inside it";
  for (std::vector<std::uint64_t> v : {std::vector<std::uint64_t>{2, 1}, {0, 5}, {1, 1}}) {
    write_npy<std::uint64_t>(path, Dtype::Uint64, {v.size()}, v);
    auto r = load_tombstones(s.dir.path(), s.entry);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().text(), bad);
  }
  write_npy<std::uint64_t>(path, Dtype::Uint64, {1, 2}, {0, 1});
  EXPECT_EQ(load_tombstones(s.dir.path(), s.entry).error().text(), bad);
  std::filesystem::remove(path);
  EXPECT_EQ(load_tombstones(s.dir.path(), s.entry).error().kind(), Error::Kind::Io);
}

// Every single-byte corruption of a segment's files either still loads or
// fails with one of the documented messages; nothing crashes or reads out of
// bounds (the suite runs under AddressSanitizer in `make sanitize`).
// The fingerprint names the very files a segment was loaded from: loading
// the same files again gives the same digest, while a file replaced by a
// copy renamed over it (another inode), or rewritten in place (the same
// inode, a later modification time), gives another.
TEST(SegmentData, FingerprintIsStableAcrossLoadsAndFollowsTheFiles) {
  Segment s(Encoding::Int8);
  auto fingerprint = [&] {
    auto data = s.load(Encoding::Int8);
    EXPECT_TRUE(data.has_value()) << data.error().debug();
    return data ? (*data)->fingerprint() : 0;
  };
  const std::uint64_t first = fingerprint();
  EXPECT_EQ(fingerprint(), first);
  std::set<std::uint64_t> seen{first};
  for (const char* name : {"segment-7.ids.json", "segment-7.offsets.npy", "segment-7.codes.npy",
                           "segment-7.scales.npy"}) {
    SCOPED_TRACE(name);
    const auto path = s.dir / name;
    const auto copy = s.dir / "copy";
    std::filesystem::copy_file(path, copy);
    std::filesystem::rename(copy, path);
    const std::uint64_t renamed = fingerprint();
    EXPECT_TRUE(seen.insert(renamed).second);
    EXPECT_EQ(fingerprint(), renamed);

    const auto modified = std::filesystem::last_write_time(path);
    testing::write_bytes(path, testing::read_bytes(path));
    // A later copy; set explicitly, as the clock may not have ticked since
    // the file was last written.
    std::filesystem::last_write_time(path, modified + std::chrono::seconds(1));
    EXPECT_TRUE(seen.insert(fingerprint()).second);
  }
}

TEST(SegmentData, ByteFlipsGiveDocumentedErrors) {
  Segment s(Encoding::Int8);
  s.entry.tombstones = 2;
  write_npy<std::uint64_t>(s.dir / "segment-7.tombstones-2.npy", Dtype::Uint64, {2}, {0, 2});
  const std::set<std::string> npy_reasons = {
      "not a .npy file", "unsupported .npy version", "truncated or non-text header", "header has no descr",
      "unsupported dtype", "only C-order arrays are supported", "header has no shape", "malformed shape",
      "shape overflows usize", "data length does not match the shape"};
  std::size_t loaded = 0, failed = 0;
  for (const char* name : {"segment-7.ids.json", "segment-7.offsets.npy", "segment-7.codes.npy",
                           "segment-7.scales.npy", "segment-7.tombstones-2.npy"}) {
    const auto path = s.dir / name;
    const std::string original = testing::read_bytes(path);
    for (std::size_t i = 0; i < original.size(); ++i) {
      for (unsigned char flip : {0x01, 0x80, 0xff}) {
        std::string corrupted = original;
        corrupted[i] = static_cast<char>(corrupted[i] ^ flip);
        testing::write_bytes(path, corrupted);
        auto data = s.load(Encoding::Int8);
        auto tomb = load_tombstones(s.dir.path(), s.entry);
        for (const Error* e : {data ? nullptr : &data.error(), tomb ? nullptr : &tomb.error()}) {
          if (e == nullptr) continue;
          ++failed;
          ASSERT_EQ(e->kind(), Error::Kind::Storage) << name << " " << i << " " << e->debug();
          const std::string text = e->text();
          const bool path_prefixed = text.starts_with(path.string() + ": ");
          const std::string reason = path_prefixed ? text.substr(path.string().size() + 2) : text;
          const bool known = npy_reasons.contains(reason) || (path_prefixed && std::string(name).ends_with(".json")) ||
                             reason.starts_with("document ID ") || reason.starts_with("segment 7 holds ") ||
                             reason == "the offsets of segment 7 are invalid" ||
                             reason == "array 'codes' of segment 7 has the wrong shape or dtype" ||
                             reason == "array 'scales' of segment 7 has the wrong shape or dtype" ||
                             reason == "the tombstones of segment 7 must be ascending rows inside it";
          ASSERT_TRUE(known) << name << " byte " << i << ": " << text;
        }
        if (data && tomb) ++loaded;
      }
    }
    testing::write_bytes(path, original);
  }
  EXPECT_GT(failed, 100u);
  EXPECT_GT(loaded, 100u);  // flips inside values and padding are harmless
}

}  // namespace
}  // namespace quillmark
