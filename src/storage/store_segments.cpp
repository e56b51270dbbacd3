// StoreView read by segment: what an index kept outside the store needs to
// follow it segment by segment (segment IDs, rows, pooled vectors) and to
// check that a row it found is still where its document is present.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>

#include "kernel/lane_sum.h"
#include "runtime/threads.h"
#include "storage/format/int8.h"
#include "storage/store.h"

namespace quillmark {

namespace {

// Input values (tokens times dimension) one pooling task reads at least: a
// few hundred typical documents, so claiming a task costs nothing next to
// it, yet a segment of a few thousand documents still spreads over a pool.
constexpr std::uint64_t kPoolTaskValues = std::uint64_t{1} << 20;

Error row_out_of_range(std::int64_t row, const SegmentEntry& entry) {
  return Error::invalid_input("row " + std::to_string(row) + " is out of range for segment " +
                              std::to_string(entry.id) + " of " + std::to_string(entry.documents) + " rows");
}

// The first document of every pooling task, then `documents`.
std::vector<std::uint64_t> pool_tasks(std::span<const std::uint64_t> offsets, std::uint64_t dimension) {
  const std::uint64_t documents = offsets.size() - 1;
  std::vector<std::uint64_t> starts{0};
  std::uint64_t first = 0;
  for (std::uint64_t d = 0; d < documents; ++d) {
    if ((offsets[d + 1] - offsets[first]) * dimension >= kPoolTaskValues && d + 1 < documents) {
      starts.push_back(d + 1);
      first = d + 1;
    }
  }
  starts.push_back(documents);
  return starts;
}

// Rows of a document summed at a time (int8: decoded at a time into a
// thread's buffer): 16 KiB at dimension 128, which stays in the first-level
// cache while lane_sum_f64 reads it once per block of lanes, and bounds the
// memory of a document of any length.
constexpr std::uint64_t kRunRows = 32;

// Writes the pooled vector of one document from its summed token vectors.
void finish_pooled(std::span<double> sum, std::uint64_t tokens, float* out) {
  const double count = static_cast<double>(tokens);
  double squares = 0.0;
  for (double& v : sum) {
    v /= count;
    squares += v * v;
  }
  const double norm = std::max(std::sqrt(squares), 1e-12);
  for (std::size_t j = 0; j < sum.size(); ++j) out[j] = static_cast<float>(sum[j] / norm);
}

}  // namespace

std::optional<std::size_t> StoreView::segment_index(std::uint64_t segment_id) const {
  // Manifest order is ascending segment ID.
  const auto it = std::lower_bound(segments_.begin(), segments_.end(), segment_id,
                                   [](const LiveSegment& s, std::uint64_t id) { return s.entry.id < id; });
  if (it == segments_.end() || it->entry.id != segment_id) return std::nullopt;
  return static_cast<std::size_t>(it - segments_.begin());
}

Result<std::size_t> StoreView::find_segment(std::uint64_t segment_id) const {
  if (auto index = segment_index(segment_id)) return *index;
  return std::unexpected(Error::invalid_input("segment " + std::to_string(segment_id) + " is not in this view"));
}

Result<std::vector<SharedText>> StoreView::segment_document_ids(
    std::size_t index, std::optional<std::span<const std::int64_t>> rows) const {
  QM_INVARIANT(index < segments_.size(), "a segment index names a segment of the view");
  const LiveSegment& segment = segments_[index];
  const std::vector<SharedText>& ids = segment.data->ids();
  if (!rows) return ids;
  std::vector<SharedText> out;
  out.reserve(rows->size());
  for (const std::int64_t row : *rows) {
    if (row < 0 || static_cast<std::uint64_t>(row) >= ids.size())
      return std::unexpected(row_out_of_range(row, segment.entry));
    out.push_back(ids[static_cast<std::size_t>(row)]);
  }
  return out;
}

bool StoreView::shows(std::size_t index, std::uint64_t row) const {
  const LiveSegment& segment = segments_[index];
  if (segment.deleted(row)) return false;
  const std::string_view id = segment.data->ids()[row].view();
  const IdHash hash(id);
  for (std::size_t newer = index + 1; newer < segments_.size(); ++newer) {
    const SegmentData& data = *segments_[newer].data;
    if (data.may_hold(hash) && data.row(id, hash)) return false;
  }
  return true;
}

Result<void> StoreView::present(std::span<const std::int64_t> segment_ids, std::span<const std::int64_t> rows,
                                std::span<bool> out) const {
  if (segment_ids.size() != rows.size())
    return std::unexpected(Error::invalid_input("segment_ids and rows differ in length (" +
                                                std::to_string(segment_ids.size()) + " and " +
                                                std::to_string(rows.size()) + ")"));
  QM_INVARIANT(out.size() == rows.size(), "one answer per requested row");
  // Requests tend to come in runs of one segment: its index is kept.
  std::int64_t known_id = -1;
  std::optional<std::size_t> known;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (segment_ids[i] != known_id) {
      known_id = segment_ids[i];
      known = known_id < 0 ? std::nullopt : segment_index(static_cast<std::uint64_t>(known_id));
    }
    if (!known) {
      out[i] = false;
      continue;
    }
    const SegmentEntry& entry = segments_[*known].entry;
    if (rows[i] < 0 || static_cast<std::uint64_t>(rows[i]) >= entry.documents)
      return std::unexpected(row_out_of_range(rows[i], entry));
    out[i] = shows(*known, static_cast<std::uint64_t>(rows[i]));
  }
  return {};
}

Result<void> StoreView::pool_into(std::size_t index, std::span<float> out, std::optional<std::size_t> threads) const {
  QM_INVARIANT(index < segments_.size(), "a segment index names a segment of the view");
  const LiveSegment& segment = segments_[index];
  const std::size_t dimension = static_cast<std::size_t>(representation().dimension());
  const std::span<const std::uint64_t> offsets = segment.data->offsets();
  QM_INVARIANT(out.size() == segment.entry.documents * dimension, "the pooled output holds a row per document");
  const bool int8 = encoding_ == Encoding::Int8;
  const bool unit_rows = representation().normalized();
  const float* vectors = int8 ? nullptr : segment.values<float>(0).data();
  const std::int8_t* codes = int8 ? segment.values<std::int8_t>(0).data() : nullptr;
  const float* scales = int8 ? segment.values<float>(1).data() : nullptr;

  const std::vector<std::uint64_t> starts = pool_tasks(offsets, dimension);
  std::atomic<bool> bad_scale{false};
  // Each task writes the rows of its own documents only. The sums run over
  // a document's rows in row order, in runs of at most kRunRows rows
  // (lane_sum_f64 adds runs as it adds rows).
  auto pool_documents = [&](std::uint64_t begin, std::uint64_t end) {
    std::vector<double> sum(dimension);
    std::vector<float> decoded(int8 ? kRunRows * dimension : 0);
    for (std::uint64_t d = begin; d < end; ++d) {
      std::fill(sum.begin(), sum.end(), 0.0);
      for (std::uint64_t first = offsets[d]; first < offsets[d + 1]; first += kRunRows) {
        const std::uint64_t rows = std::min(kRunRows, offsets[d + 1] - first);
        if (!int8) {
          lane_sum_f64(vectors + first * dimension, rows, dimension, sum.data());
        } else {
          for (std::uint64_t r = 0; r < rows; ++r) {
            const float scale = scales[first + r];
            if (!(std::isfinite(scale) && scale > 0)) {
              bad_scale.store(true, std::memory_order_relaxed);
              return;
            }
            int8_decode_row({codes + (first + r) * dimension, dimension}, scale, unit_rows,
                            std::span(decoded).subspan(r * dimension, dimension));
          }
          lane_sum_f64(decoded.data(), rows, dimension, sum.data());
        }
      }
      finish_pooled(sum, offsets[d + 1] - offsets[d], out.data() + d * dimension);
    }
  };
  QM_TRY(install(threads, [&]() -> Result<void> {
    parallel_for_each_index(starts.size() - 1, [&](std::size_t t) { pool_documents(starts[t], starts[t + 1]); });
    return {};
  }));
  if (bad_scale.load()) return std::unexpected(Error::storage("int8 scales must be finite and positive"));
  return {};
}

}  // namespace quillmark
