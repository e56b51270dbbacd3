#pragma once
// Shared helpers of the writer tests: documents, what a reader sees of a
// store, and what a store directory holds beyond its manifest.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "storage/manifest.h"
#include "storage/store.h"
#include "storage/writer.h"
#include "text.h"

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

// What a reader sees of a commit: the present ids (sorted), their lengths
// and their fetched vectors, in that order.
struct Snapshot {
  std::uint64_t commit = 0;
  std::vector<std::string> ids;
  std::vector<std::size_t> lengths;
  std::vector<float> values;

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

inline Representation test_representation(std::uint64_t dimension = 4, bool normalized = false) {
  return Representation::make("enc", "r1", dimension, normalized).value();
}

}  // namespace quillmark::testing
