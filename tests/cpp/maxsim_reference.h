#pragma once
// MaxSim in float64, straight from its definition: the reference the
// kernel's float32 scores are checked against on every path.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace quillmark::testing {

// Per document, the float64 score and the sum of the magnitudes of its
// per-token maxima (the scale that float32 rounding is relative to).
struct MaxSimReference {
  std::vector<double> score, scale;
};
inline MaxSimReference maxsim_reference(const std::vector<float>& q, const std::vector<float>& d,
                                        const std::vector<std::size_t>& lengths, std::size_t dim) {
  MaxSimReference out;
  const std::size_t tokens = q.size() / dim;
  std::size_t row = 0;
  for (std::size_t len : lengths) {
    double score = 0, scale = 0;
    for (std::size_t j = 0; j < tokens; ++j) {
      double best = -INFINITY;
      for (std::size_t r = row; r < row + len; ++r) {
        double dot = 0;
        for (std::size_t k = 0; k < dim; ++k) dot += double(q[j * dim + k]) * d[r * dim + k];
        best = std::max(best, dot);
      }
      score += best;
      scale += std::fabs(best);
    }
    out.score.push_back(score);
    out.scale.push_back(scale);
    row += len;
  }
  return out;
}

}  // namespace quillmark::testing
