#pragma once
// A store builder for tests, independent of the store writer: it writes
// stores file by file the way the format defines them.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "storage/format/int8.h"
#include "storage/format/manifest.h"
#include "storage/format/npy.h"
#include "temp_dir.h"

namespace quillmark::testing {

namespace fs = std::filesystem;

// Writes stores file by file the way the format defines them: .npy arrays
// through NpyWriter, ids as a JSON array, the manifest through to_json and a
// rename. Independent of the store writer.
class TestStore {
 public:
  struct Segment {
    SegmentEntry entry;
    std::vector<std::uint64_t> deleted;
    bool pending = false;  // deletions not yet written
  };

  TestStore(fs::path path, std::string encoding = "float32", std::uint64_t dimension = 4, bool normalized = false,
            std::string corpus = "docs", std::string store_id = "0123456789abcdef0123456789abcdef")
      : path_(std::move(path)),
        manifest_{std::string(kManifestFormat),
                  std::move(store_id),
                  std::move(encoding),
                  std::move(corpus),
                  Representation::make("enc", "r1", dimension, normalized).value(),
                  0,
                  0,
                  1'700'000'000.5,
                  {}} {}

  std::uint64_t dimension() const { return manifest_.representation.dimension(); }
  const Manifest& manifest() const { return manifest_; }
  Manifest& manifest() { return manifest_; }

  // Writes one new segment holding `docs` (id, row-major vectors); returns
  // its ID. Not committed until publish().
  std::uint64_t append(const std::vector<std::pair<std::string, std::vector<float>>>& docs) {
    const std::uint64_t id = manifest_.next_segment_id++;
    std::vector<std::uint64_t> offsets{0};
    std::vector<float> vectors;
    std::string ids = "[";
    for (const auto& [doc, values] : docs) {
      ids += (ids.size() > 1 ? ",\"" : "\"") + doc + "\"";
      vectors.insert(vectors.end(), values.begin(), values.end());
      offsets.push_back(vectors.size() / dimension());
    }
    write_bytes(segment_file(path_, id, "ids.json"), ids + "]");
    const std::uint64_t tokens = offsets.back();
    write_array<std::uint64_t>(segment_file(path_, id, "offsets.npy"), offsets, {offsets.size()});
    if (manifest_.encoding == "float32") {
      write_array<float>(segment_file(path_, id, "vectors.npy"), vectors, {tokens, dimension()});
    } else {
      std::vector<std::int8_t> codes(vectors.size());
      std::vector<float> scales(tokens);
      int8_encode(vectors, dimension(), codes, scales);
      write_array<std::int8_t>(segment_file(path_, id, "codes.npy"), codes, {tokens, dimension()});
      write_array<float>(segment_file(path_, id, "scales.npy"), scales, {tokens});
    }
    segments_.push_back({SegmentEntry{id, docs.size(), tokens, std::nullopt}, {}, false});
    return id;
  }

  void remove(std::uint64_t segment, std::vector<std::uint64_t> rows) {
    Segment& s = find(segment);
    s.deleted.insert(s.deleted.end(), rows.begin(), rows.end());
    std::sort(s.deleted.begin(), s.deleted.end());
    s.pending = true;
  }

  void drop(std::uint64_t segment) { std::erase_if(segments_, [&](const Segment& s) { return s.entry.id == segment; }); }

  // Deletes every file of a segment from the directory.
  void erase_files(std::uint64_t segment) {
    for (const auto& f : fs::directory_iterator(path_))
      if (f.path().filename().string().starts_with("segment-" + std::to_string(segment) + "."))
        fs::remove(f.path());
  }

  // Writes pending tombstone files, then replaces manifest.json by rename.
  void publish() {
    ++manifest_.commit;
    manifest_.committed_at += 1.25;
    manifest_.segments.clear();
    for (Segment& s : segments_) {
      if (s.pending) {
        write_array<std::uint64_t>(tombstones_file(path_, s.entry.id, manifest_.commit), s.deleted,
                                   {s.deleted.size()});
        s.entry.tombstones = manifest_.commit;
        s.pending = false;
      }
      manifest_.segments.push_back(s.entry);
    }
    write_manifest(manifest_);
  }

  void write_manifest(const Manifest& manifest) {
    const fs::path tmp = path_ / ("manifest.json." + std::to_string(++temporaries_));
    write_bytes(tmp, manifest.to_json());
    fs::rename(tmp, path_ / "manifest.json");
  }

  template <class T>
  static void write_array(const fs::path& path, std::span<const T> values, std::vector<std::uint64_t> shape) {
    auto writer = NpyWriter::create(path, DtypeOf<T>::value, shape);
    ASSERT_TRUE(writer.has_value()) << writer.error().text();
    ASSERT_TRUE(writer->write(values).has_value());
    ASSERT_TRUE(std::move(*writer).finish().has_value());
  }
  template <class T>
  static void write_array(const fs::path& path, const std::vector<T>& values, std::vector<std::uint64_t> shape) {
    write_array<T>(path, std::span<const T>(values), std::move(shape));
  }

 private:
  Segment& find(std::uint64_t id) {
    for (Segment& s : segments_)
      if (s.entry.id == id) return s;
    throw std::runtime_error("no such segment");
  }

  fs::path path_;
  Manifest manifest_;
  std::vector<Segment> segments_;
  int temporaries_ = 0;
};

}  // namespace quillmark::testing
