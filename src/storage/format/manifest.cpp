#include "storage/format/manifest.h"

#include <cmath>
#include <span>

#include <nlohmann/json.hpp>

#include "base/text.h"
#include "storage/format/json_reader.h"
#include "storage/format/representation_json.h"
#include "storage/io/file_descriptor.h"

namespace quillmark {

namespace {

constexpr std::string_view kManifestMembers[] = {"format",          "store_id",      "encoding",
                                                 "corpus",          "representation", "commit",
                                                 "next_segment_id", "committed_at",  "segments"};
constexpr std::string_view kSegmentMembers[] = {"id", "documents", "tokens", "tombstones"};
constexpr std::string_view kRepresentationMembers[] = {"encoder",    "encoder_revision", "dimension",
                                                       "normalized", "query_template",   "document_template"};

// Like QM_TRY for std::expected<T, std::string>.
#define QM_JSON_TRY(...)                                                                  \
  ({                                                                                      \
    auto&& qm_json_result_ = (__VA_ARGS__);                                               \
    if (!qm_json_result_) return std::unexpected(std::move(qm_json_result_).error());     \
    std::move(qm_json_result_).value();                                                   \
  })

constexpr double kTwoTo63 = 9223372036854775808.0;

// Reads typed members of one JSON object; every error names the member by
// its path from the manifest's root and ends with the position.
class ObjectReader {
 public:
  ObjectReader(std::string_view text, const JsonNode& node, std::string path)
      : text_(text), node_(node), path_(std::move(path)) {}

  // The object is an object and no member of `known` appears twice.
  std::expected<void, std::string> check(std::string_view expected_what,
                                         std::span<const std::string_view> known) const {
    if (node_.type != JsonNode::Type::Object)
      return std::unexpected("invalid type: " + node_.describe() + ", expected " + std::string(expected_what) +
                             at(node_));
    for (std::size_t i = 0; i < node_.members.size(); ++i) {
      const auto& name = node_.members[i].name;
      const auto& value = node_.members[i].value;
      bool is_known = false;
      for (auto k : known) is_known = is_known || k == name;
      if (!is_known) continue;
      for (std::size_t j = 0; j < i; ++j)
        if (node_.members[j].name == name) return std::unexpected("duplicate field `" + field(name) + "`" + at(value));
    }
    return {};
  }

  std::expected<const JsonNode*, std::string> required(std::string_view name) const {
    const JsonNode* value = node_.find(name);
    if (value == nullptr) return std::unexpected("missing field `" + field(name) + "`" + at(node_));
    return value;
  }

  std::expected<std::string, std::string> string(std::string_view name) const {
    const JsonNode* v = QM_JSON_TRY(required(name));
    if (v->type != JsonNode::Type::String) return std::unexpected(wrong(name, *v, "a string"));
    return v->string;
  }

  std::expected<std::uint64_t, std::string> u64(std::string_view name) const {
    const JsonNode* v = QM_JSON_TRY(required(name));
    if (v->type != JsonNode::Type::Unsigned) return std::unexpected(wrong(name, *v, "an unsigned 64-bit integer"));
    return v->unsigned_value;
  }

  std::expected<std::optional<std::uint64_t>, std::string> optional_u64(std::string_view name) const {
    const JsonNode* v = node_.find(name);
    if (v == nullptr || v->type == JsonNode::Type::Null) return std::optional<std::uint64_t>();
    if (v->type != JsonNode::Type::Unsigned)
      return std::unexpected(wrong(name, *v, "an unsigned 64-bit integer or null"));
    return std::optional<std::uint64_t>(v->unsigned_value);
  }

  std::expected<double, std::string> number(std::string_view name) const {
    const JsonNode* v = QM_JSON_TRY(required(name));
    switch (v->type) {
      case JsonNode::Type::Float: return v->number;
      case JsonNode::Type::Unsigned: return static_cast<double>(v->unsigned_value);
      case JsonNode::Type::Integer: return static_cast<double>(v->integer);
      default: return std::unexpected(wrong(name, *v, "a number"));
    }
  }

  std::expected<const JsonNode*, std::string> array(std::string_view name) const {
    const JsonNode* v = QM_JSON_TRY(required(name));
    if (v->type != JsonNode::Type::Array) return std::unexpected(wrong(name, *v, "a sequence"));
    return v;
  }

  std::string at(const JsonNode& node) const { return json_position(text_, node.end); }
  std::string field(std::string_view name) const { return path_ + std::string(name); }

 private:
  std::string wrong(std::string_view name, const JsonNode& v, std::string_view expected_what) const {
    return "invalid type for field `" + field(name) + "`: " + v.describe() + ", expected " +
           std::string(expected_what) + at(v);
  }

  std::string_view text_;
  const JsonNode& node_;
  std::string path_;
};

std::expected<Representation, std::string> read_representation(std::string_view text, const JsonNode& node) {
  ObjectReader reader(text, node, "representation.");
  QM_JSON_TRY(reader.check("struct RepresentationFields", kRepresentationMembers));
  auto made = representation_from_json(to_nlohmann(node));
  if (made) return std::move(*made);
  // Point at the member the message names, else at the whole object.
  const JsonNode* where = &node;
  for (const auto& member : node.members)
    if (made.error().find("`" + member.name + "`") != std::string::npos) {
      where = &member.value;
      break;
    }
  return std::unexpected(made.error() + json_position(text, where->end));
}

std::expected<SegmentEntry, std::string> read_segment(std::string_view text, const JsonNode& node, std::size_t index) {
  ObjectReader reader(text, node, "segments[" + std::to_string(index) + "].");
  QM_JSON_TRY(reader.check("struct SegmentEntry", kSegmentMembers));
  SegmentEntry entry;
  entry.id = QM_JSON_TRY(reader.u64("id"));
  entry.documents = QM_JSON_TRY(reader.u64("documents"));
  entry.tokens = QM_JSON_TRY(reader.u64("tokens"));
  entry.tombstones = QM_JSON_TRY(reader.optional_u64("tombstones"));
  return entry;
}

std::expected<Manifest, std::string> read_manifest_json(std::string_view text) {
  JsonNode root = QM_JSON_TRY(parse_json(text));
  ObjectReader reader(text, root, "");
  QM_JSON_TRY(reader.check("struct Manifest", kManifestMembers));
  std::string format = QM_JSON_TRY(reader.string("format"));
  std::string store_id = QM_JSON_TRY(reader.string("store_id"));
  std::string encoding = QM_JSON_TRY(reader.string("encoding"));
  std::string corpus = QM_JSON_TRY(reader.string("corpus"));
  const JsonNode* representation_node = QM_JSON_TRY(reader.required("representation"));
  Representation representation = QM_JSON_TRY(read_representation(text, *representation_node));
  std::uint64_t commit = QM_JSON_TRY(reader.u64("commit"));
  std::uint64_t next_segment_id = QM_JSON_TRY(reader.u64("next_segment_id"));
  double committed_at = QM_JSON_TRY(reader.number("committed_at"));
  const JsonNode* segments_node = QM_JSON_TRY(reader.array("segments"));
  std::vector<SegmentEntry> segments;
  segments.reserve(segments_node->items.size());
  for (std::size_t i = 0; i < segments_node->items.size(); ++i)
    segments.push_back(QM_JSON_TRY(read_segment(text, segments_node->items[i], i)));
  return Manifest{std::move(format), std::move(store_id), std::move(encoding), std::move(corpus),
                  std::move(representation), commit, next_segment_id, committed_at, std::move(segments)};
}

bool valid_time(double seconds) { return std::isfinite(seconds) && seconds >= 0 && seconds < kTwoTo63; }

}  // namespace

Result<Encoding> Encoding::parse(std::string_view name) {
  if (name == "float32") return Encoding(Float32);
  if (name == "int8") return Encoding(Int8);
  return std::unexpected(
      Error::invalid_input("unknown encoding " + debug_form(name) + "; expected \"float32\" or \"int8\""));
}

std::string_view Encoding::name() const { return value_ == Float32 ? "float32" : "int8"; }

std::vector<ArraySpec> Encoding::arrays(Encoding encoding, std::uint64_t dimension) {
  if (encoding == Float32) return {{"vectors", Dtype::Float32, dimension}};
  return {{"codes", Dtype::Int8, dimension}, {"scales", Dtype::Float32, std::nullopt}};
}

std::string segment_file_name(std::uint64_t id, std::string_view name) {
  return "segment-" + std::to_string(id) + "." + std::string(name);
}

std::string tombstones_file_name(std::uint64_t id, std::uint64_t commit) {
  return segment_file_name(id, "tombstones-" + std::to_string(commit) + ".npy");
}

std::string sources_file_name(std::uint64_t id) { return segment_file_name(id, "sources.npy"); }

std::vector<std::string> segment_file_names(Encoding encoding, std::uint64_t id) {
  std::vector<std::string> names;
  // Names do not depend on the dimension.
  for (const ArraySpec& array : Encoding::arrays(encoding, 1))
    names.push_back(segment_file_name(id, std::string(array.name) + ".npy"));
  names.push_back(segment_file_name(id, "offsets.npy"));
  names.push_back(segment_file_name(id, "ids.json"));
  names.push_back(sources_file_name(id));
  return names;
}

std::filesystem::path segment_file(const std::filesystem::path& directory, std::uint64_t id, std::string_view name) {
  return directory / segment_file_name(id, name);
}

std::filesystem::path tombstones_file(const std::filesystem::path& directory, std::uint64_t id, std::uint64_t commit) {
  return directory / tombstones_file_name(id, commit);
}

Result<Manifest> Manifest::read(const std::filesystem::path& directory) {
  std::string text = QM_TRY(read_file(directory / kManifestFileName));
  return parse(text, directory);
}

Result<Manifest> Manifest::read(const Directory& directory) {
  std::string text = QM_TRY(directory.read(std::string(kManifestFileName)));
  return parse(text, directory.path());
}

Result<Manifest> Manifest::parse(std::string_view text, const std::filesystem::path& directory) {
  auto parsed = read_manifest_json(text);
  if (!parsed)
    return std::unexpected(Error::storage("invalid " + std::string(kManifestFileName) + " in " + directory.string() +
                                          ": " + parsed.error()));
  Manifest m = std::move(*parsed);
  auto fail = [](std::string message) { return std::unexpected(Error::storage(std::move(message))); };
  if (m.format != kManifestFormat) return fail("unsupported vector-store format " + debug_form(m.format));
  for (const auto& s : m.segments)
    if (s.id >= m.next_segment_id) return fail("segment IDs must be below next_segment_id");
  if (!Encoding::parse(m.encoding)) return fail("unsupported vector-store encoding " + debug_form(m.encoding));
  if (!valid_time(m.committed_at)) return fail("vector-store committed_at must be a non-negative time");
  if (m.corpus.empty()) return fail("a vector store's corpus must not be empty");
  if (m.store_id.empty()) return fail("a vector store's store_id must not be empty");
  for (std::size_t i = 1; i < m.segments.size(); ++i)
    if (m.segments[i].id <= m.segments[i - 1].id) return fail("vector-store segment IDs must ascend");
  for (const auto& s : m.segments)
    if (s.tombstones && *s.tombstones > m.commit) return fail("a vector-store tombstone file is newer than its manifest");
  return m;
}

Result<TimeValue> Manifest::committed_at_time() const { return time_from_seconds(committed_at); }

Result<TimeValue> time_from_seconds(double committed_at) {
  if (!valid_time(committed_at))
    return std::unexpected(Error::storage("vector-store committed_at must be a non-negative time"));
  // committed_at = mantissa * 2^exponent exactly; the nanoseconds are
  // mantissa * 10^9 * 2^exponent, rounded to nearest with halves up, in
  // 128-bit integers so no step rounds.
  int exponent = 0;
  const double fraction = std::frexp(committed_at, &exponent);
  const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
  exponent -= 53;
  unsigned __int128 nanos = static_cast<unsigned __int128>(mantissa) * 1000000000u;  // < 2^83
  if (exponent >= 0) {
    nanos <<= exponent;  // committed_at < 2^63 keeps this below 2^93
  } else if (exponent <= -84) {
    nanos = 0;  // below half a nanosecond
  } else {
    const int shift = -exponent;
    const unsigned __int128 rest = nanos & ((static_cast<unsigned __int128>(1) << shift) - 1);
    nanos >>= shift;
    if (rest >= (static_cast<unsigned __int128>(1) << (shift - 1))) ++nanos;
  }
  return TimeValue{static_cast<std::uint64_t>(nanos / 1000000000u), static_cast<std::uint32_t>(nanos % 1000000000u)};
}

std::string Manifest::to_json() const {
  QM_INVARIANT(std::isfinite(committed_at), "a manifest's committed_at is finite");
  nlohmann::ordered_json out = nlohmann::ordered_json::object();
  out["format"] = format;
  out["store_id"] = store_id;
  out["encoding"] = encoding;
  out["corpus"] = corpus;
  representation_to_json(representation, out["representation"]);
  out["commit"] = commit;
  out["next_segment_id"] = next_segment_id;
  out["committed_at"] = committed_at;
  nlohmann::ordered_json segments_json = nlohmann::ordered_json::array();
  for (const auto& s : segments) {
    nlohmann::ordered_json e = nlohmann::ordered_json::object();
    e["id"] = s.id;
    e["documents"] = s.documents;
    e["tokens"] = s.tokens;
    e["tombstones"] = s.tombstones ? nlohmann::ordered_json(*s.tombstones) : nlohmann::ordered_json(nullptr);
    segments_json.push_back(std::move(e));
  }
  out["segments"] = std::move(segments_json);
  try {
    return out.dump(2) + "\n";
  } catch (const nlohmann::json::type_error&) {
    invariant_failed("a manifest's texts are valid UTF-8");
  }
}

}  // namespace quillmark
