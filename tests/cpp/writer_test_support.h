#pragma once
// Shared helpers of the writer tests: documents, what a reader sees of a
// store, and what a store directory holds beyond its manifest.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/text.h"
#include "storage/format/manifest.h"
#include "storage/segment_sources.h"
#include "storage/store.h"
#include "storage/writer.h"

namespace quillmark::testing {

// A batch of documents as append takes them.
struct Batch {
  std::vector<SharedText> ids;
  std::vector<float> values;
  std::vector<std::uint64_t> lengths;
};

// Documents named prefix0, prefix1, ... with 1 + (i % 3) tokens of
// `dimension` distinct values each; unit rows when `unit`.
inline Batch make_batch(const std::string& prefix, std::size_t count, std::size_t dimension, float seed,
                        bool unit = false) {
  Batch batch;
  for (std::size_t i = 0; i < count; ++i) {
    std::string id = prefix;
    id += std::to_string(i);
    batch.ids.emplace_back(id);
    const std::size_t tokens = 1 + i % 3;
    batch.lengths.push_back(tokens);
    for (std::size_t t = 0; t < tokens; ++t) {
      std::vector<float> row(dimension);
      for (std::size_t j = 0; j < dimension; ++j)
        row[j] = std::sin(seed + 0.37f * static_cast<float>(i * 31 + t * 7 + j)) + 0.05f;
      if (unit) {
        float n = 0;
        for (float v : row) n += v * v;
        for (float& v : row) v /= std::sqrt(n);
      }
      batch.values.insert(batch.values.end(), row.begin(), row.end());
    }
  }
  return batch;
}

inline Result<void> append(VectorStoreWriter& writer, const Batch& batch,
                           std::optional<std::size_t> threads = std::nullopt) {
  return writer.append(batch.ids, batch.values, writer.dimension(), batch.lengths, threads);
}

// Per segment ID, the (source segment, source row) of each row of its
// sources file; nothing for a segment without one. Fingerprints are left
// out: they differ between two runs of the same operations.
using SourcesBySegment =
    std::map<std::uint64_t, std::optional<std::vector<std::pair<std::uint64_t, std::uint64_t>>>>;

// What a reader sees of a commit: the present ids (sorted), their lengths
// and their fetched vectors, in that order; and the sources files of its
// segments.
struct Snapshot {
  std::uint64_t commit = 0;
  std::vector<std::string> ids;
  std::vector<std::size_t> lengths;
  std::vector<float> values;
  SourcesBySegment sources;

  bool same_documents(const Snapshot& other) const {
    return ids == other.ids && lengths == other.lengths && values == other.values;
  }
};

inline Result<Snapshot> snapshot(const std::filesystem::path& path) {
  auto store = QM_TRY(VectorStore::open(path));
  auto view = QM_TRY(store->store_view());
  Snapshot out;
  out.commit = view->commit();
  const std::vector<SharedText> ids = view->document_ids();
  for (const auto& id : ids) out.ids.push_back(id.str());
  PackedDocuments packed = QM_TRY(view->fetch(ids, std::nullopt));
  out.lengths.assign(packed.lengths().begin(), packed.lengths().end());
  out.values = packed.vectors();
  const Directory directory = QM_TRY(Directory::open(path));
  for (const LiveSegment& segment : view->segments()) {
    auto rows = QM_TRY(load_segment_sources(directory, segment.entry));
    auto& pairs = out.sources[segment.entry.id];
    if (!rows) continue;
    pairs.emplace();
    for (const SegmentSource& row : *rows) pairs->emplace_back(row.segment, row.row);
  }
  return out;
}

// Entries of the store directory that the manifest in force does not
// reference and that the writer made: staging directories, temporary
// manifests, segment files.
inline std::vector<std::string> leftovers(const std::filesystem::path& path) {
  auto manifest = Manifest::read(path);
  if (!manifest) {
    ADD_FAILURE() << manifest.error().text();
    return {};
  }
  std::vector<std::string> referenced{"manifest.json"};
  const Encoding encoding = manifest->encoding == "int8" ? Encoding::Int8 : Encoding::Float32;
  for (const auto& s : manifest->segments) {
    for (const auto& a : Encoding::arrays(encoding, 1)) {
      std::string name(a.name);
      referenced.push_back(segment_file("", s.id, name + ".npy").string());
    }
    referenced.push_back(segment_file("", s.id, "offsets.npy").string());
    referenced.push_back(segment_file("", s.id, "ids.json").string());
    referenced.push_back(segment_file("", s.id, "sources.npy").string());
    if (s.tombstones) referenced.push_back(tombstones_file("", s.id, *s.tombstones).string());
  }
  std::vector<std::string> out;
  for (const auto& entry : std::filesystem::directory_iterator(path)) {
    const std::string name = entry.path().filename().string();
    if (std::find(referenced.begin(), referenced.end(), name) == referenced.end()) out.push_back(name);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The stored bytes of `row` of a segment, every array of its encoding.
inline std::vector<std::byte> row_bytes(const SegmentData& data, std::uint64_t row) {
  std::vector<std::byte> out;
  const std::uint64_t first = data.offsets()[row], last = data.offsets()[row + 1];
  for (const NpyArray& array : data.arrays()) {
    const std::size_t row_items = array.shape().size() == 2 ? array.shape()[1] : 1;
    std::span<const std::byte> bytes;
    switch (array.dtype()) {
      case Dtype::Float32: bytes = std::as_bytes(array.values<float>().value()); break;
      case Dtype::Int8: bytes = std::as_bytes(array.values<std::int8_t>().value()); break;
      case Dtype::Uint64: ADD_FAILURE() << "a vector array of uint64"; break;
    }
    const std::size_t item = dtype_item_size(array.dtype()) * row_items;
    out.insert(out.end(), bytes.begin() + first * item, bytes.begin() + last * item);
  }
  return out;
}

// Checks the sources file of every segment of the store at `path` against
// `earlier`, a view of the same store before the segments were copied: a
// row whose source segment `earlier` holds must carry that segment's
// fingerprint, name a row present there, and hold its id and bytes; any
// other source must
// lie below the copy. Returns the rows checked against `earlier`.
inline std::size_t check_sources(const std::filesystem::path& path, const StoreView& earlier) {
  auto store = VectorStore::open(path);
  if (!store) {
    ADD_FAILURE() << store.error().text();
    return 0;
  }
  const Directory directory = Directory::open(path).value();
  std::size_t checked = 0;
  for (const LiveSegment& copy : (*store)->current_view()->segments()) {
    auto sources = load_segment_sources(directory, copy.entry);
    if (!sources) {
      ADD_FAILURE() << sources.error().text();
      continue;
    }
    if (!*sources) continue;
    for (std::uint64_t r = 0; r < copy.entry.documents; ++r) {
      const SegmentSource& source = (**sources)[r];
      EXPECT_LT(source.segment, copy.entry.id);
      for (const LiveSegment& from : earlier.segments()) {
        if (from.entry.id != source.segment) continue;
        EXPECT_EQ(source.fingerprint, from.data->fingerprint());
        EXPECT_LT(source.row, from.entry.documents);
        if (source.row >= from.entry.documents) break;
        EXPECT_FALSE(from.deleted(source.row)) << "only present rows are copied";
        EXPECT_EQ(from.data->ids()[source.row], copy.data->ids()[r]);
        EXPECT_EQ(row_bytes(*from.data, source.row), row_bytes(*copy.data, r));
        ++checked;
      }
    }
  }
  return checked;
}

// The store a merge test starts from: a0..a11 (level 1), then ten
// one-document segments (level 0), the first holding a1 again, so deleting
// a1 there leaves its deciding occurrence in a merged segment and the older
// one, outside, to be marked deleted.
inline void merge_base(VectorStoreWriter& w) {
  EXPECT_TRUE(append(w, make_batch("a", 12, 4, 1)).has_value());
  Batch again = make_batch("a", 2, 4, 5);
  again.ids.erase(again.ids.begin());
  again.values.erase(again.values.begin(), again.values.begin() + 4);
  again.lengths.erase(again.lengths.begin());
  EXPECT_TRUE(append(w, again).has_value());
  for (char c = 'a'; c < 'a' + 9; ++c) EXPECT_TRUE(append(w, make_batch(std::string("s") + c, 1, 4, 6)).has_value());
}

inline Representation test_representation(std::uint64_t dimension = 4, bool normalized = false) {
  return Representation::make("enc", "r1", dimension, normalized).value();
}

}  // namespace quillmark::testing
