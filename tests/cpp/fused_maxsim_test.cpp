#include "kernel/fused_maxsim.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <string>

#include "kernel/kernel.h"
#include "maxsim_reference.h"

namespace quillmark {
namespace {

// QUILLMARK_TEST_KERNEL_PATH=blas|fused_avx2|fused_avx512 forces that path
// for the whole run, so that every kernel test runs on each path (CMake adds
// such runs of the kernel tests). An unknown name fails the run; a path this
// processor cannot run skips it rather than passing on another path.
std::optional<KernelPath> run_path() {
  const char* name = std::getenv("QUILLMARK_TEST_KERNEL_PATH");
  const std::string path = name ? name : "";
  if (path == "blas") return KernelPath::Blas;
  if (path == "fused_avx2") return KernelPath::FusedAvx2;
  if (path == "fused_avx512") return KernelPath::FusedAvx512;
  return std::nullopt;
}

class ForcedKernelPath : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* name = std::getenv("QUILLMARK_TEST_KERNEL_PATH");
    if (name == nullptr || *name == '\0') return;
    ASSERT_TRUE(run_path().has_value()) << "unknown kernel path " << name;
    if (!force_kernel_path(run_path())) GTEST_SKIP() << "this processor cannot run " << name;
  }
  void TearDown() override { force_kernel_path(std::nullopt); }
};
[[maybe_unused]] const auto* const kForced = ::testing::AddGlobalTestEnvironment(new ForcedKernelPath);

// Forces `path` for its scope, then restores the run's path.
class ScopedPath {
 public:
  explicit ScopedPath(KernelPath path) : ok_(force_kernel_path(path)) {}
  ~ScopedPath() { force_kernel_path(run_path()); }
  ScopedPath(const ScopedPath&) = delete;
  ScopedPath& operator=(const ScopedPath&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_;
};

std::vector<KernelPath> fused_paths() {
  std::vector<KernelPath> out;
  for (KernelPath p : {KernelPath::FusedAvx2, KernelPath::FusedAvx512})
    if (kernel_path_supported(p)) out.push_back(p);
  return out;
}

// Rows of `dim` normal values scaled to unit length.
std::vector<float> unit_rows(std::size_t rows, std::size_t dim, std::mt19937& rng) {
  std::normal_distribution<float> normal;
  std::vector<float> v(rows * dim);
  for (std::size_t r = 0; r < rows; ++r) {
    double norm = 0;
    for (std::size_t k = 0; k < dim; ++k) norm += double(v[r * dim + k] = normal(rng)) * v[r * dim + k];
    for (std::size_t k = 0; k < dim; ++k) v[r * dim + k] = static_cast<float>(v[r * dim + k] / std::sqrt(norm));
  }
  return v;
}

std::vector<std::uint32_t> bits(const std::vector<float>& v) {
  std::vector<std::uint32_t> out(v.size());
  std::memcpy(out.data(), v.data(), v.size() * sizeof(float));
  return out;
}

struct Shape {
  std::size_t dim;
  std::size_t tokens;
  std::vector<std::size_t> lengths;
};

// Random unit rows over odd and even dimensions, query widths on both sides
// of every register and tile width, and lengths from 1 to 4,097 (documents
// that start and end anywhere in a tile): every fused path and the BLAS path
// within float32 rounding of the float64 reference (relative 1e-5 of the
// scale of the maxima); the fused paths give the same bits as each other,
// and the same bits for every thread count and batch bound.
TEST(FusedMaxSim, MatchesFloat64ReferenceOverRandomShapes) {
  std::mt19937 rng(7);
  const std::vector<Shape> shapes = {
      {1, 1, {1}},
      {3, 5, {1, 2, 3, 4, 5, 6, 7, 13}},
      {17, 8, {4097, 1, 6}},
      {128, 32, {128, 1, 300, 5, 7, 12, 13, 64}},
      {129, 33, {1, 11, 6, 6, 25}},
      {64, 16, {2, 2, 2, 2, 2, 2, 2, 2, 100}},
      {31, 47, {9, 1, 1, 1, 40}},
      {8, 100, {50, 3}},
  };
  for (const Shape& shape : shapes) {
    const std::size_t rows = std::accumulate(shape.lengths.begin(), shape.lengths.end(), std::size_t{0});
    const auto q = unit_rows(shape.tokens, shape.dim, rng);
    const auto d = unit_rows(rows, shape.dim, rng);
    const testing::MaxSimReference want = testing::maxsim_reference(q, d, shape.lengths, shape.dim);
    std::vector<std::vector<float>> fused;
    for (KernelPath path : std::vector<KernelPath>{KernelPath::Blas, KernelPath::FusedAvx2, KernelPath::FusedAvx512}) {
      ScopedPath forced(path);
      if (!forced.ok()) continue;
      const auto got = maxsim_scores(q, d, shape.lengths, shape.dim, std::nullopt, std::size_t{1}).value();
      ASSERT_EQ(got.size(), shape.lengths.size());
      for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_NEAR(got[i], want.score[i], 1e-5 * std::max(1.0, want.scale[i]))
            << "path " << static_cast<int>(path) << ", dimension " << shape.dim << ", document " << i;
      if (path == KernelPath::Blas) continue;
      for (std::optional<std::size_t> bound : {std::optional<std::size_t>{1}, std::optional<std::size_t>{7},
                                               std::optional<std::size_t>{4096}})
        for (std::size_t threads : {1u, 2u, 3u})
          EXPECT_EQ(bits(maxsim_scores(q, d, shape.lengths, shape.dim, bound, threads).value()), bits(got))
              << "dimension " << shape.dim << ", threads " << threads;
      fused.push_back(got);
    }
    for (const auto& other : fused) EXPECT_EQ(bits(other), bits(fused.front())) << "dimension " << shape.dim;
  }
}

// Small integers make every product and sum exact, so the BLAS and fused
// paths must agree bit for bit, with NaN (from a NaN component, or an
// infinity times zero) never winning, a document of only NaN rows scoring
// negative infinity, and infinities winning where they are larger.
TEST(FusedMaxSim, SameBitsAsBlasOnExactProductsWithNaNAndInfinities) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> small(-3, 3);
  for (std::size_t dim : {1u, 2u, 5u, 9u}) {
    for (std::size_t tokens : {1u, 7u, 16u, 17u, 40u}) {
      const std::vector<std::size_t> lengths = {1, 3, 6, 7, 2, 13, 1, 1, 20};
      const std::size_t rows = std::accumulate(lengths.begin(), lengths.end(), std::size_t{0});
      std::vector<float> q(tokens * dim), d(rows * dim);
      for (float& x : q) x = static_cast<float>(small(rng));
      for (float& x : d) x = static_cast<float>(small(rng));
      d[0] = nan;                        // document 0: its only row is NaN for every token
      d[1 * dim] = nan;                  // document 1: its first row NaN
      d[4 * dim + dim - 1] = inf;        // document 2: +inf (or NaN where the token has a zero there)
      d[11 * dim] = -inf;                // document 3: -inf (or NaN)
      std::vector<float> blas, fused;
      {
        ScopedPath forced(KernelPath::Blas);
        blas = maxsim_scores(q, d, lengths, dim, std::nullopt, std::nullopt).value();
      }
      EXPECT_EQ(blas[0], -inf);
      for (KernelPath path : fused_paths()) {
        ScopedPath forced(path);
        EXPECT_EQ(bits(maxsim_scores(q, d, lengths, dim, std::size_t{5}, std::size_t{2}).value()), bits(blas))
            << "dimension " << dim << ", tokens " << tokens;
      }
    }
  }
}

// Documents whose rows lie apart, in another order than their scores', give
// the bits of the same rows packed together (what a store's rows read in
// place and its gathered rows must agree on), in tiles that straddle
// documents of every length from 1 on.
TEST(FusedMaxSim, RowsInPlaceScoreAsPackedRows) {
  std::mt19937 rng(3);
  const std::size_t dim = 19;
  const std::vector<std::size_t> lengths = {1, 2, 1, 13, 6, 7, 1, 30, 5, 12, 1, 1, 1, 40};
  std::vector<std::size_t> offsets = {0};
  for (std::size_t len : lengths) offsets.push_back(offsets.back() + len);
  const auto d = unit_rows(offsets.back(), dim, rng);
  for (KernelPath path : fused_paths()) {
    for (std::size_t tokens : {3u, 16u, 33u}) {
      const auto q = unit_rows(tokens, dim, rng);
      const PackedQuery packed = pack_query(path, q, tokens, dim);
      std::vector<float> together(lengths.size()), apart(lengths.size());
      fused_score_documents(packed, d.data(), offsets, 0, lengths.size(), together.data());
      // Each document copied to its own place, last document first.
      std::vector<std::vector<float>> copies(lengths.size());
      std::vector<const float*> doc_rows(lengths.size());
      for (std::size_t i = lengths.size(); i-- > 0;) {
        copies[i].assign(d.begin() + offsets[i] * dim, d.begin() + offsets[i + 1] * dim);
        doc_rows[i] = copies[i].data();
      }
      fused_score_document_rows(packed, doc_rows, offsets, apart.data());
      EXPECT_EQ(bits(apart), bits(together)) << "tokens " << tokens;
      // A run of documents from the middle, with offsets not from 0.
      std::vector<float> middle(4);
      fused_score_document_rows(packed, std::span<const float* const>(doc_rows).subspan(3, 4),
                                std::span<const std::size_t>(offsets).subspan(3, 5), middle.data());
      EXPECT_EQ(bits(middle), bits(std::vector<float>(together.begin() + 3, together.begin() + 7)));
    }
  }
}

// The choice by shape, and the forcing hook's refusals.
TEST(FusedMaxSim, PathChoiceAndForcing) {
  ScopedPath restore(KernelPath::Blas);
  force_kernel_path(std::nullopt);
  const bool any_fused = !fused_paths().empty();
  EXPECT_EQ(kernel_path(32, 128) != KernelPath::Blas, any_fused && fused_shape_preferred(32, 128));
  EXPECT_EQ(kernel_path(1 << 20, 128), KernelPath::Blas);
  // Unforced, the choice is the AVX2 routine: AVX-512 runs only when forced.
  EXPECT_NE(kernel_path(32, 128), KernelPath::FusedAvx512);
  // The preferred shapes are closed downwards: a smaller query or dimension
  // than a preferred shape's is preferred too, and the kernel follows them.
  for (std::size_t tokens = 1; tokens <= 1024; tokens *= 2)
    for (std::size_t dim = 1; dim <= 4096; dim *= 2) {
      const bool preferred = fused_shape_preferred(tokens, dim);
      if (preferred) {
        EXPECT_TRUE(fused_shape_preferred(tokens / 2 + 1, dim)) << tokens << " x " << dim;
        EXPECT_TRUE(fused_shape_preferred(tokens, dim / 2 + 1)) << tokens << " x " << dim;
      }
      EXPECT_EQ(kernel_path(tokens, dim) != KernelPath::Blas, any_fused && preferred) << tokens << " x " << dim;
    }
  EXPECT_TRUE(kernel_path_supported(KernelPath::Blas));
  for (KernelPath path : {KernelPath::FusedAvx2, KernelPath::FusedAvx512}) {
    EXPECT_EQ(force_kernel_path(path), kernel_path_supported(path));
    if (kernel_path_supported(path)) {
      EXPECT_EQ(kernel_path(1 << 20, 4096), path);
    }
  }
}

// A query packed for the AVX2 path: tiles of 16 tokens, then one of 8,
// dimension-major, zero beyond the last token.
TEST(FusedMaxSim, PackedQueryLayout) {
  if (!kernel_path_supported(KernelPath::FusedAvx2)) GTEST_SKIP() << "no AVX2";
  const std::size_t tokens = 19, dim = 3;
  std::vector<float> q(tokens * dim);
  std::iota(q.begin(), q.end(), 1.0f);
  const PackedQuery packed = pack_query(KernelPath::FusedAvx2, q, tokens, dim);
  ASSERT_EQ(packed.padded_rows, 24u);
  ASSERT_EQ(packed.values.size(), 24u * dim);
  for (std::size_t j = 0; j < 24; ++j)
    for (std::size_t k = 0; k < dim; ++k) {
      const std::size_t column = j < 16 ? 0 : 16, width = j < 16 ? 16 : 8;
      const float want = j < tokens ? q[j * dim + k] : 0.0f;
      EXPECT_EQ(packed.values[column * dim + k * width + (j - column)], want) << j << ", " << k;
    }
}

}  // namespace
}  // namespace quillmark
