#pragma once
// A store builder for tests that need what the writer's API does not offer:
// chosen segment IDs and commit numbers, rows deleted in a segment that
// newer segments replace, segments dropped or their files erased at will, a
// manifest published as given. It knows no file layout: segments are written
// by the core's own segment-writing code (stage_segment, write_encoded_rows),
// tombstones by write_tombstones, manifests by write_manifest, each
// published the way a commit publishes them. The independent reading of the
// format is tests/python/store_builder.py; tests that need files the core
// cannot write make them explicitly, naming what they break.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "no_flush_file_system.h"
#include "storage/format/manifest.h"
#include "storage/format/npy.h"
#include "storage/format/segment_data.h"
#include "storage/publication.h"
#include "storage/writer.h"
#include "temp_dir.h"

namespace quillmark::testing {

namespace fs = std::filesystem;

// Writes one .npy array of `shape` holding `values` at `path`, which must not
// exist: for tests that hand-craft or corrupt a single file of a store.
template <class T>
void write_array(const fs::path& path, std::span<const T> values, std::vector<std::uint64_t> shape) {
  auto writer = NpyWriter::create(path, DtypeOf<T>::value, shape);
  ASSERT_TRUE(writer.has_value()) << writer.error().text();
  ASSERT_TRUE(writer->write(values).has_value());
  ASSERT_TRUE(std::move(*writer).finish().has_value());
}
template <class T>
void write_array(const fs::path& path, const std::vector<T>& values, std::vector<std::uint64_t> shape) {
  write_array<T>(path, std::span<const T>(values), std::move(shape));
}

// Builds a store commit by commit through the core's publication path
// (without flushes, which these tests do not check). The directory is made
// when a segment or manifest is first written.
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

  // Writes one new segment holding `docs` (id, row-major vectors, at least
  // one vector each, IDs distinct) under the next segment ID; returns that
  // ID. Not committed until publish().
  std::uint64_t append(const std::vector<std::pair<std::string, std::vector<float>>>& docs) {
    const std::uint64_t id = manifest_.next_segment_id++;
    std::vector<SharedText> ids;
    std::vector<std::uint64_t> lengths;
    std::vector<float> vectors;
    for (const auto& [doc, values] : docs) {
      ids.emplace_back(doc);
      lengths.push_back(values.size() / dimension());
      vectors.insert(vectors.end(), values.begin(), values.end());
    }
    const SegmentEntry entry{id, docs.size(), vectors.size() / dimension(), std::nullopt};
    const Encoding encoding = Encoding::parse(manifest_.encoding).value();
    const std::size_t dim = dimension();
    auto staged = stage_segment(file_system_, directory(), entry, encoding, dim, ids, lengths,
                                [&](std::span<NpyWriter> arrays) {
                                  return write_encoded_rows(arrays, encoding, dim, vectors);
                                });
    if (!staged) throw std::runtime_error("segment not written: " + staged.error().debug());
    segments_.push_back({entry, {}, false});
    return id;
  }

  void remove(std::uint64_t segment, std::vector<std::uint64_t> rows) {
    Segment& s = find(segment);
    s.deleted.insert(s.deleted.end(), rows.begin(), rows.end());
    std::sort(s.deleted.begin(), s.deleted.end());
    s.pending = true;
  }

  void drop(std::uint64_t segment) { std::erase_if(segments_, [&](const Segment& s) { return s.entry.id == segment; }); }

  // Deletes every file of a segment from the directory, as clean-up does.
  void erase_files(std::uint64_t segment) {
    for (const auto& f : fs::directory_iterator(path_))
      if (f.path().filename().string().starts_with("segment-" + std::to_string(segment) + "."))
        fs::remove(f.path());
  }

  // Commits as the writer does: the pending tombstone files under the new
  // commit number, linked in from a staging directory, then the manifest.
  void publish() {
    ++manifest_.commit;
    manifest_.committed_at += 1.25;
    manifest_.segments.clear();
    auto files = ImmutableFiles::create(file_system_, directory());
    if (!files) throw std::runtime_error("no staging directory: " + files.error().debug());
    for (Segment& s : segments_) {
      if (s.pending) {
        auto written = write_tombstones(file_system_, files->staging_directory(), s.entry.id, manifest_.commit,
                                        s.deleted);
        if (!written) throw std::runtime_error("tombstones not written: " + written.error().debug());
        s.entry.tombstones = manifest_.commit;
        s.pending = false;
      }
      manifest_.segments.push_back(s.entry);
    }
    if (auto installed = files->install(); !installed)
      throw std::runtime_error("tombstones not linked: " + installed.error().debug());
    files->retain();
    write_manifest(manifest_);
  }

  // Replaces manifest.json by `manifest` as given, through write_manifest.
  void write_manifest(const Manifest& manifest) {
    bool published = false;
    auto written = quillmark::write_manifest(file_system_, directory(), manifest, published);
    if (!written) throw std::runtime_error("manifest not written: " + written.error().debug());
  }

 private:
  Segment& find(std::uint64_t id) {
    for (Segment& s : segments_)
      if (s.entry.id == id) return s;
    throw std::runtime_error("no such segment");
  }

  const Directory& directory() {
    if (!directory_) {
      fs::create_directories(path_);
      auto opened = Directory::open(path_);
      if (!opened) throw std::runtime_error("store directory not opened: " + opened.error().debug());
      directory_.emplace(std::move(*opened));
    }
    return *directory_;
  }

  fs::path path_;
  Manifest manifest_;
  std::vector<Segment> segments_;
  NoFlushFileSystem file_system_;
  std::optional<Directory> directory_;
};

}  // namespace quillmark::testing
