// .npy files checked against NumPy itself: files we write must be what
// np.save writes and load with np.load; files NumPy writes must open here.

#include <gtest/gtest.h>

#include <cmath>

#include "storage/format/npy.h"
#include "temp_dir.h"

namespace quillmark {
namespace {

using testing::TempDir;

// Element i (flat, C order) of every test array; the Python side uses the
// same formulas.
float f32_value(std::size_t i) { return static_cast<float>(i) * 0.25f - 7.0f; }
std::int8_t i8_value(std::size_t i) { return static_cast<std::int8_t>(static_cast<int>(i % 255) - 127); }
std::uint64_t u8_value(std::size_t i) { return i * 1000003ull + (i % 3 == 0 ? (1ull << 63) : 0); }

constexpr const char* kPythonHelpers = R"PY(
import sys, io, os
import numpy as np

def expected(dtype, shape):
    n = int(np.prod(shape, dtype=np.int64)) if len(shape) else 1
    i = np.arange(n, dtype=np.uint64)
    if dtype == 'f4':
        a = (i.astype(np.float32) * np.float32(0.25) - np.float32(7)).astype('<f4')
    elif dtype == 'i1':
        a = ((i % 255).astype(np.int64) - 127).astype('|i1')
    else:
        a = (i * np.uint64(1000003) + np.where(i % 3 == 0, np.uint64(1 << 63), np.uint64(0))).astype('<u8')
    return a.reshape(shape)
)PY";

struct Case {
  const char* name;
  Dtype dtype;
  std::vector<std::uint64_t> shape;
};

std::vector<Case> cases() {
  return {
      {"f4_3x128", Dtype::Float32, {3, 128}},
      {"u8_4", Dtype::Uint64, {4}},
      {"f4_scalar", Dtype::Float32, {}},
      {"i1_0x128", Dtype::Int8, {0, 128}},
      {"i1_5x7", Dtype::Int8, {5, 7}},
      {"f4_1000x3", Dtype::Float32, {1000, 3}},
      {"f4_2x3x4", Dtype::Float32, {2, 3, 4}},
      {"u8_70000", Dtype::Uint64, {70000}},
      // Headers long enough that NumPy's extra growth padding moves its data
      // offset to the next multiple of 64: compared by loading only.
      {"f4_rank18", Dtype::Float32, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 3}},
      {"i1_long_dims", Dtype::Int8, {1, 1000000000000000, 0}},
  };
}

std::string dtype_name(Dtype d) { return d == Dtype::Float32 ? "f4" : d == Dtype::Int8 ? "i1" : "u8"; }

std::string shape_tuple(const std::vector<std::uint64_t>& shape) {
  std::string s = "(";
  for (auto d : shape) s += std::to_string(d) + ",";
  return s + ")";
}

std::uint64_t count(const std::vector<std::uint64_t>& shape) {
  std::uint64_t n = 1;
  for (auto d : shape) n *= d;
  return n;
}

template <class T, class F>
void write_case(NpyWriter& w, std::uint64_t n, F value) {
  // Several runs, so values cross write calls.
  std::vector<T> run;
  for (std::uint64_t i = 0; i < n; ++i) {
    run.push_back(value(i));
    if (run.size() == 997) {
      ASSERT_TRUE(w.write(std::span<const T>(run)));
      run.clear();
    }
  }
  ASSERT_TRUE(w.write(std::span<const T>(run)));
}

std::string run_python(const TempDir& dir, const std::string& body) {
  const auto script = dir / "check.py";
  testing::write_bytes(script, std::string(kPythonHelpers) + body);
  auto r = testing::run_command(testing::test_python() + " " + script.string() + " " + dir.path().string());
  EXPECT_EQ(r.status, 0) << r.output;
  return r.output;
}

TEST(NpyNumpy, OurFilesAreWhatNumpySavesAndLoad) {
  TempDir dir;
  std::string checks;
  for (const auto& c : cases()) {
    auto w = NpyWriter::create(dir / (std::string(c.name) + ".npy"), c.dtype, c.shape);
    ASSERT_TRUE(w) << w.error().text();
    const std::uint64_t n = count(c.shape);
    if (c.dtype == Dtype::Float32) write_case<float>(*w, n, f32_value);
    if (c.dtype == Dtype::Int8) write_case<std::int8_t>(*w, n, i8_value);
    if (c.dtype == Dtype::Uint64) write_case<std::uint64_t>(*w, n, u8_value);
    ASSERT_TRUE(std::move(*w).finish());
    checks += "check('" + std::string(c.name) + "', '" + dtype_name(c.dtype) + "', " + shape_tuple(c.shape) + ")\n";
  }
  const std::string body = R"PY(
d = sys.argv[1]
same = 0
def check(name, dtype, shape):
    global same
    path = os.path.join(d, name + '.npy')
    ours = open(path, 'rb').read()
    want = expected(dtype, shape)
    got = np.load(path, allow_pickle=False)
    assert got.dtype == want.dtype and got.shape == want.shape, (name, got.dtype, got.shape)
    assert np.array_equal(got, want), name
    buf = io.BytesIO()
    np.save(buf, want)
    theirs = buf.getvalue()
    hlen = int.from_bytes(theirs[8:10], 'little')
    if 10 + hlen == len(ours) - want.nbytes:
        assert ours == theirs, (name, ours[:200], theirs[:200])
        same += 1
    else:
        # NumPy added its growth padding past the next 64-byte boundary; the
        # dictionary text and the values still agree.
        assert theirs[10:].lstrip().startswith(ours[10:ours.index(b'}') + 1]), name
        assert ours[-want.nbytes:] == theirs[-want.nbytes:] if want.nbytes else True
        print(name, 'padded')
    print(name, 'ok')
)PY" + checks + "print('identical', same)\n";
  std::string out = run_python(dir, body);
  EXPECT_NE(out.find("identical 9"), std::string::npos) << out;
  EXPECT_NE(out.find("f4_rank18 padded"), std::string::npos) << out;
}

TEST(NpyNumpy, FilesNumpyWritesOpenHere) {
  TempDir dir;
  run_python(dir, R"PY(
d = sys.argv[1]
from numpy.lib import format as fmt
def save(name, arr, version=None):
    with open(os.path.join(d, name + '.npy'), 'wb') as f:
        if version is None:
            np.save(f, arr)
        else:
            fmt.write_array(f, arr, version=version)
save('f4_v1', expected('f4', (3, 128)))
save('f4_v2', expected('f4', (5, 16)), (2, 0))
save('u8_v3', expected('u8', (33,)), (3, 0))
save('i1_v1', expected('i1', (4, 9)))
save('i1_v2', expected('i1', (0, 9)), (2, 0))
save('f4_scalar', expected('f4', ()))
save('fortran', np.asfortranarray(expected('f4', (3, 4))))
save('big_endian', expected('f4', (3,)).astype('>f4'))
save('int32', np.arange(3, dtype='<i4'))
# A version 1.0 header aligned to 16 bytes, as older NumPy wrote them.
hdr = fmt.header_data_from_array_1_0(expected('f4', (2, 3)))
text = repr({k: hdr[k] for k in sorted(hdr)}).encode('latin1')
pad = 16 - (10 + len(text) + 1) % 16
with open(os.path.join(d, 'f4_align16.npy'), 'wb') as f:
    f.write(b'\x93NUMPY\x01\x00' + (len(text) + pad + 1).to_bytes(2, 'little') + text + b' ' * pad + b'\n')
    f.write(expected('f4', (2, 3)).tobytes())
)PY");
  struct Good {
    const char* name;
    Dtype dtype;
    std::vector<std::uint64_t> shape;
  };
  for (const Good& g : std::vector<Good>{{"f4_v1", Dtype::Float32, {3, 128}},
                                         {"f4_v2", Dtype::Float32, {5, 16}},
                                         {"u8_v3", Dtype::Uint64, {33}},
                                         {"i1_v1", Dtype::Int8, {4, 9}},
                                         {"i1_v2", Dtype::Int8, {0, 9}},
                                         {"f4_scalar", Dtype::Float32, {}},
                                         {"f4_align16", Dtype::Float32, {2, 3}}}) {
    SCOPED_TRACE(g.name);
    auto a = NpyArray::open(dir / (std::string(g.name) + ".npy"));
    ASSERT_TRUE(a) << a.error().text();
    EXPECT_EQ(a->dtype(), g.dtype);
    EXPECT_EQ(a->shape(), g.shape);
    const std::uint64_t n = count(g.shape);
    ASSERT_EQ(a->element_count(), n);
    for (std::uint64_t i = 0; i < n; ++i) {
      if (g.dtype == Dtype::Float32) {
        // The 16-byte-aligned file may place floats off a 4-byte boundary.
        auto v = a->values<float>();
        if (!v) {
          EXPECT_STREQ(g.name, "f4_align16");
          break;
        }
        ASSERT_EQ((*v)[i], f32_value(i)) << i;
      } else if (g.dtype == Dtype::Int8) {
        ASSERT_EQ((*a->values<std::int8_t>())[i], i8_value(i)) << i;
      } else {
        ASSERT_EQ((*a->values<std::uint64_t>())[i], u8_value(i)) << i;
      }
    }
  }
  const std::string root = dir.path().string() + "/";
  EXPECT_EQ(NpyArray::open(dir / "fortran.npy").error().text(), root + "fortran.npy: only C-order arrays are supported");
  EXPECT_EQ(NpyArray::open(dir / "big_endian.npy").error().text(), root + "big_endian.npy: unsupported dtype");
  EXPECT_EQ(NpyArray::open(dir / "int32.npy").error().text(), root + "int32.npy: unsupported dtype");
}

}  // namespace
}  // namespace quillmark
