#pragma once
// The on-disk description of a vector store: file names, the encodings and
// their arrays, and manifest.json, the record of one commit.
//
// A store directory holds manifest.json and, per segment ID, the files
//   segment-ID.ids.json        JSON array of the document IDs, in row order
//   segment-ID.offsets.npy     uint64 [documents + 1], token offsets
//   segment-ID.vectors.npy     float32 [tokens, dimension]   (float32 stores)
//   segment-ID.codes.npy       int8 [tokens, dimension]      (int8 stores)
//   segment-ID.scales.npy      float32 [tokens]              (int8 stores)
//   segment-ID.tombstones-N.npy  uint64 deleted rows, written by commit N
//   segment-ID.sources.npy     uint64 [documents, 3], where each row was
//                              copied from (segments made by compact and
//                              merge only; segment_sources.h)
// Segment files never change once a manifest names them; manifest.json is
// replaced whole by rename.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/representation.h"
#include "base/time_value.h"
#include "storage/format/npy.h"

namespace quillmark {

inline constexpr std::string_view kManifestFormat = "quillmark-vectors-2";
inline constexpr std::string_view kManifestFileName = "manifest.json";

// One array of a segment: its name (the file is segment-ID.NAME.npy), its
// element type, and its shape for `tokens` rows.
struct ArraySpec {
  std::string_view name;
  Dtype dtype;
  std::optional<std::uint64_t> second_axis;  // the dimension, for two-dimensional arrays

  std::vector<std::uint64_t> shape(std::uint64_t tokens) const {
    if (second_axis) return {tokens, *second_axis};
    return {tokens};
  }
  friend bool operator==(const ArraySpec&, const ArraySpec&) = default;
};

// How a store keeps its vectors: float32 as given, or int8 codes with one
// float32 scale per row.
class Encoding {
 public:
  enum Value : std::uint8_t { Float32, Int8 };
  constexpr Encoding(Value value) : value_(value) {}  // NOLINT(google-explicit-constructor)
  constexpr operator Value() const { return value_; }  // NOLINT(google-explicit-constructor)

  // Accepts exactly "float32" or "int8"; any other text fails with
  // InvalidInput: unknown encoding "TEXT"; expected "float32" or "int8".
  static Result<Encoding> parse(std::string_view name);
  // "float32" or "int8".
  std::string_view name() const;
  // The segment arrays of an encoding, in file-writing order:
  // float32: vectors [tokens, dimension]; int8: codes [tokens, dimension],
  // then scales [tokens].
  static std::vector<ArraySpec> arrays(Encoding encoding, std::uint64_t dimension);

 private:
  Value value_;
};

// "segment-ID.NAME", a file name in the store directory.
std::string segment_file_name(std::uint64_t id, std::string_view name);
// "segment-ID.tombstones-N.npy".
std::string tombstones_file_name(std::uint64_t id, std::uint64_t commit);
// "segment-ID.sources.npy".
std::string sources_file_name(std::uint64_t id);
// The names of the files written with segment `id` of a store of
// `encoding`: its arrays, offsets, ids and sources file (the last exists
// for copied segments only). Tombstone files come later and are not among
// them.
std::vector<std::string> segment_file_names(Encoding encoding, std::uint64_t id);
// directory/segment-ID.NAME
std::filesystem::path segment_file(const std::filesystem::path& directory, std::uint64_t id, std::string_view name);
// directory/segment-ID.tombstones-N.npy
std::filesystem::path tombstones_file(const std::filesystem::path& directory, std::uint64_t id, std::uint64_t commit);

// One live segment of a commit.
struct SegmentEntry {
  std::uint64_t id = 0;
  std::uint64_t documents = 0;  // rows, deleted ones included
  std::uint64_t tokens = 0;     // token vectors
  std::optional<std::uint64_t> tombstones;  // commit of the current tombstone file

  friend bool operator==(const SegmentEntry&, const SegmentEntry&) = default;
};

// Seconds since the Unix epoch as a time value rounded to the nearest
// nanosecond (halves up); Storage "vector-store committed_at must be a
// non-negative time" when negative, not finite, or 2^63 seconds or more.
Result<TimeValue> time_from_seconds(double seconds);

// The record of one commit, as stored in manifest.json.
//
// Invariants of a manifest returned by read/parse:
//  1. format is kManifestFormat; store_id and corpus are not empty;
//  2. encoding is "float32" or "int8";
//  3. committed_at is finite, >= 0 and below 2^63;
//  4. segment IDs strictly ascend and are below next_segment_id;
//  5. no segment's tombstones exceed commit.
struct Manifest {
  std::string format;
  std::string store_id;
  std::string encoding;
  std::string corpus;
  Representation representation;
  std::uint64_t commit = 0;
  std::uint64_t next_segment_id = 0;
  double committed_at = 0;  // seconds since the Unix epoch
  std::vector<SegmentEntry> segments;

  // Reads directory/manifest.json. Returns the I/O error of reading it, or a
  // Storage error for the first failed check (see parse).
  static Result<Manifest> read(const std::filesystem::path& directory);
  // Reads manifest.json of the open `directory` (not following a link).
  static Result<Manifest> read(const Directory& directory);
  // Parses and checks the text of a manifest of the store at `directory`
  // (used in messages). A JSON failure is Storage "invalid manifest.json in
  // DIRECTORY: MESSAGE at line L column C"; then the checks of the
  // invariants above, in the order format, segment IDs below
  // next_segment_id, encoding, committed_at, corpus, store_id, ascending
  // segment IDs, tombstones, each with its own Storage message.
  static Result<Manifest> parse(std::string_view text, const std::filesystem::path& directory);

  // committed_at as a time value rounded to the nearest nanosecond (halves
  // up). Returns Storage "vector-store committed_at must be a non-negative
  // time" when it is negative, not finite, or 2^63 seconds or more.
  Result<TimeValue> committed_at_time() const;

  // The JSON text: two-space indentation, members in field order, a null for
  // an absent tombstone commit, doubles in a form that reads back exactly,
  // and a final newline. REQUIRES: texts are valid UTF-8 and committed_at is
  // finite.
  std::string to_json() const;

  friend bool operator==(const Manifest&, const Manifest&) = default;
};

}  // namespace quillmark
