#include "storage/format/manifest.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>

#include <nlohmann/json.hpp>

#include "base/text.h"
#include "temp_dir.h"

namespace quillmark {
namespace {

using testing::TempDir;
using nlohmann::ordered_json;

ordered_json valid_json() {
  return ordered_json::parse(R"({
  "format": "quillmark-vectors-2",
  "store_id": "0123456789abcdef0123456789abcdef",
  "encoding": "float32",
  "corpus": "docs",
  "representation": {"encoder": "enc", "encoder_revision": "r1", "dimension": 4, "normalized": true,
                     "query_template": "q: {}", "document_template": ""},
  "commit": 3,
  "next_segment_id": 5,
  "committed_at": 1700000000.25,
  "segments": [
    {"id": 1, "documents": 2, "tokens": 7, "tombstones": null},
    {"id": 4, "documents": 1, "tokens": 3, "tombstones": 3}
  ]
})");
}

Result<Manifest> parse(const ordered_json& j) { return Manifest::parse(j.dump(2), "/stores/a"); }

std::string storage_message(const Result<Manifest>& r) {
  EXPECT_FALSE(r.has_value());
  if (r) return "";
  EXPECT_EQ(r.error().kind(), Error::Kind::Storage) << r.error().debug();
  return r.error().text();
}

TEST(ManifestRead, ValidManifestHasEveryField) {
  auto m = parse(valid_json());
  ASSERT_TRUE(m) << m.error().text();
  EXPECT_EQ(m->format, "quillmark-vectors-2");
  EXPECT_EQ(m->store_id, "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(m->encoding, "float32");
  EXPECT_EQ(m->corpus, "docs");
  auto rep = Representation::make("enc", "r1", 4, true);
  EXPECT_EQ(m->representation, std::move(*rep).with_templates("q: {}", ""));
  EXPECT_EQ(m->commit, 3u);
  EXPECT_EQ(m->next_segment_id, 5u);
  EXPECT_EQ(m->committed_at, 1700000000.25);
  EXPECT_EQ(m->segments, (std::vector<SegmentEntry>{{1, 2, 7, std::nullopt}, {4, 1, 3, 3}}));
}

TEST(ManifestRead, ReadsTheFileOfTheDirectoryAndReportsItsAbsence) {
  TempDir dir;
  auto missing = Manifest::read(dir.path());
  ASSERT_FALSE(missing);
  ASSERT_EQ(missing.error().kind(), Error::Kind::Io);
  EXPECT_EQ(missing.error().io()->kind(), IoErrorKind::NotFound);
  testing::write_bytes(dir / "manifest.json", valid_json().dump());
  auto m = Manifest::read(dir.path());
  ASSERT_TRUE(m);
  EXPECT_EQ(*m, *parse(valid_json()));
}

TEST(ManifestRead, EmptyStoreAndOptionalMembers) {
  auto j = valid_json();
  j["segments"] = ordered_json::array();
  j["next_segment_id"] = 0;
  j["committed_at"] = 0.0;
  j["future_field"] = {{"anything", 1}};
  j["representation"].erase("query_template");
  j["representation"].erase("document_template");
  auto m = parse(j);
  ASSERT_TRUE(m) << m.error().text();
  EXPECT_TRUE(m->segments.empty());
  EXPECT_EQ(m->representation, *Representation::make("enc", "r1", 4, true));

  auto k = valid_json();
  k["segments"][0].erase("tombstones");
  auto n = parse(k);
  ASSERT_TRUE(n);
  EXPECT_EQ(n->segments[0].tombstones, std::nullopt);
  EXPECT_EQ(*n, *parse(valid_json()));
}

struct CheckCase {
  const char* name;
  std::function<void(ordered_json&)> edit;
  const char* message;
};

void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }


std::vector<CheckCase> check_cases() {
  return {
      {"format_v1", [](auto& j) { j["format"] = "quillmark-vectors-1"; },
       "unsupported vector-store format \"quillmark-vectors-1\""},
      {"segment_id_not_below_next", [](auto& j) { j["next_segment_id"] = 4; },
       "segment IDs must be below next_segment_id"},
      {"below_next_checked_before_order",
       [](auto& j) {
         j["segments"] = ordered_json::parse(R"([{"id": 5, "documents": 1, "tokens": 1}, {"id": 2, "documents": 1, "tokens": 1}])");
         j["next_segment_id"] = 5;
       },
       "segment IDs must be below next_segment_id"},
      {"encoding", [](auto& j) { j["encoding"] = "float16"; }, "unsupported vector-store encoding \"float16\""},
      {"encoding_before_corpus",
       [](auto& j) {
         j["encoding"] = "float16";
         j["corpus"] = "";
       },
       "unsupported vector-store encoding \"float16\""},
      {"committed_at_negative", [](auto& j) { j["committed_at"] = -1.0; },
       "vector-store committed_at must be a non-negative time"},
      {"committed_at_negative_integer", [](auto& j) { j["committed_at"] = -1; },
       "vector-store committed_at must be a non-negative time"},
      {"committed_at_too_large", [](auto& j) { j["committed_at"] = 9223372036854775808.0; },
       "vector-store committed_at must be a non-negative time"},
      {"corpus", [](auto& j) { j["corpus"] = ""; }, "a vector store's corpus must not be empty"},
      {"store_id", [](auto& j) { j["store_id"] = ""; }, "a vector store's store_id must not be empty"},
      {"ids_equal",
       [](auto& j) {
         j["segments"] = ordered_json::parse(R"([{"id": 1, "documents": 1, "tokens": 1}, {"id": 1, "documents": 1, "tokens": 1}])");
         j["next_segment_id"] = 2;
       },
       "vector-store segment IDs must ascend"},
      {"tombstones_newer", [](auto& j) { j["segments"][1]["tombstones"] = 4; },
       "a vector-store tombstone file is newer than its manifest"},
  };
}

class ManifestChecks : public ::testing::TestWithParam<CheckCase> {};

TEST_P(ManifestChecks, FirstFailureReported) {
  auto j = valid_json();
  GetParam().edit(j);
  EXPECT_EQ(storage_message(parse(j)), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Manifest, ManifestChecks, ::testing::ValuesIn(check_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// JSON failures: the directory, the field, and the position of the fault.
struct JsonCase {
  const char* name;
  std::string text;
  const char* message;  // after "invalid manifest.json in /stores/a: "
};

void PrintTo(const JsonCase& c, std::ostream* os) { *os << c.name; }


std::string with(std::string text, const std::string& from, const std::string& to) {
  auto at = text.find(from);
  if (at == std::string::npos) throw std::logic_error("no " + from);
  return text.replace(at, from.size(), to);
}

std::vector<JsonCase> json_cases() {
  const std::string v = valid_json().dump(2);
  // In dump(2) form: line 1 "{", line 2 "format", line 3 "store_id", ...
  return {
      {"missing_store_id", with(v, "  \"store_id\": \"0123456789abcdef0123456789abcdef\",\n", ""),
       "missing field `store_id` at line 30 column 1"},
      {"format_number", with(v, "\"quillmark-vectors-2\"", "2"),
       "invalid type for field `format`: integer `2`, expected a string at line 2 column 13"},
      {"commit_negative", with(v, "\"commit\": 3", "\"commit\": -3"),
       "invalid type for field `commit`: integer `-3`, expected an unsigned 64-bit integer at line 14 column 14"},
      {"commit_too_big", with(v, "\"commit\": 3", "\"commit\": 18446744073709551616"),
       "invalid type for field `commit`: floating point `1.8446744073709552e+19`, expected an unsigned 64-bit "
       "integer at line 14 column 32"},
      {"commit_fraction", with(v, "\"commit\": 3", "\"commit\": 3.5"),
       "invalid type for field `commit`: floating point `3.5`, expected an unsigned 64-bit integer at line 14 column 15"},
      {"committed_at_string", with(v, "1700000000.25", "\"now\""),
       "invalid type for field `committed_at`: string \"now\", expected a number at line 16 column 23"},
      {"segment_id_string", with(v, "\"id\": 4", "\"id\": \"4\""),
       "invalid type for field `segments[1].id`: string \"4\", expected an unsigned 64-bit integer at line 25 column 15"},
      {"segment_missing_tokens", with(v, "\"tokens\": 7,\n", ""),
       "missing field `segments[0].tokens` at line 22 column 5"},
      {"tombstones_string", with(v, "\"tombstones\": 3", "\"tombstones\": \"3\""),
       "invalid type for field `segments[1].tombstones`: string \"3\", expected an unsigned 64-bit integer or null "
       "at line 28 column 23"},
      {"segments_object", with(with(v, "\"segments\": [", "\"segments\": {\"a\": ["), "]\n}", "]}\n}"),
       "invalid type for field `segments`: map, expected a sequence at line 30 column 4"},
      {"duplicate_format", with(v, "\"format\": \"quillmark-vectors-2\",", "\"format\": \"quillmark-vectors-2\", \"format\": \"x\","),
       "duplicate field `format` at line 2 column 48"},
      {"representation_dimension_zero", with(v, "\"dimension\": 4", "\"dimension\": 0"),
       "representation dimension must be positive at line 13 column 3"},
      {"representation_missing_encoder", with(v, "\"encoder\": \"enc\",", ""),
       "missing field `encoder` at line 13 column 3"},
      {"representation_dimension_string", with(v, "\"dimension\": 4", "\"dimension\": \"4\""),
       "invalid type for field `dimension`: string, expected a non-negative integer at line 9 column 20"},
      {"representation_duplicate", with(v, "\"encoder\": \"enc\",", "\"encoder\": \"enc\", \"encoder\": \"enc\","),
       "duplicate field `representation.encoder` at line 7 column 38"},
      {"representation_array", with(with(v, "\"representation\": {", "\"representation\": [{"), "},\n  \"commit\"", "}],\n  \"commit\""),
       "invalid type: sequence, expected struct RepresentationFields at line 13 column 4"},
      {"not_an_object", "[1, 2]", "invalid type: sequence, expected struct Manifest at line 1 column 6"},
      {"syntax_error", with(v, "\"commit\": 3", "\"commit\": tru"),
       "parse error: syntax error while parsing value - invalid literal; last read: '\"commit\": tru,' at line 14 column 16"},
      {"truncated", v.substr(0, 40),
       "parse error: syntax error while parsing object key - invalid string: missing closing quote; last read: "
       "'\"'; expected string literal at line 3 column 3"},
      {"empty", "",
       "parse error: syntax error while parsing value - unexpected end of input; expected '[', '{', or a literal at line 1 column 1"},
      {"trailing", v + "\n x",
       "parse error: syntax error while parsing value - invalid literal; last read: "
       "'3<U+000A>    }<U+000A>  ]<U+000A>}<U+000A> x'; expected end of input at line 32 column 2"},
      {"number_overflow", with(v, "1700000000.25", "1e400"), "number overflow parsing '1e400' at line 16 column 23"},
  };
}

class ManifestJsonErrors : public ::testing::TestWithParam<JsonCase> {};

TEST_P(ManifestJsonErrors, NameTheFieldAndEndWithLineAndColumn) {
  EXPECT_EQ(storage_message(Manifest::parse(GetParam().text, "/stores/a")),
            std::string("invalid manifest.json in /stores/a: ") + GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Manifest, ManifestJsonErrors, ::testing::ValuesIn(json_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ManifestWrite, ExactTextWithNullTombstonesAndFinalNewline) {
  auto m = parse(valid_json());
  ASSERT_TRUE(m);
  EXPECT_EQ(m->to_json(), R"({
  "format": "quillmark-vectors-2",
  "store_id": "0123456789abcdef0123456789abcdef",
  "encoding": "float32",
  "corpus": "docs",
  "representation": {
    "encoder": "enc",
    "encoder_revision": "r1",
    "dimension": 4,
    "normalized": true,
    "query_template": "q: {}",
    "document_template": ""
  },
  "commit": 3,
  "next_segment_id": 5,
  "committed_at": 1700000000.25,
  "segments": [
    {
      "id": 1,
      "documents": 2,
      "tokens": 7,
      "tombstones": null
    },
    {
      "id": 4,
      "documents": 1,
      "tokens": 3,
      "tombstones": 3
    }
  ]
}
)");
}

TEST(ManifestWrite, RoundTripsExactlyIncludingDoubles) {
  std::mt19937_64 rng(7);
  auto base = *parse(valid_json());
  std::vector<double> times = {0.0, 1.0, 0.1, 1e-300, 5e-324, 1700000000.123456789, 4503599627370495.5,
                               9223372036854774784.0};
  std::uniform_real_distribution<double> any(0, 4e9);
  for (int i = 0; i < 200; ++i) times.push_back(any(rng));
  for (double t : times) {
    Manifest m = base;
    m.committed_at = t;
    m.corpus = "c\"\\\n\xc3\xa9";
    m.segments.push_back({6, ~0ull, ~0ull - 1, ~0ull});
    m.next_segment_id = 7;
    m.commit = ~0ull;
    auto back = Manifest::parse(m.to_json(), "/s");
    ASSERT_TRUE(back) << back.error().text();
    EXPECT_EQ(*back, m);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(back->committed_at), std::bit_cast<std::uint64_t>(t)) << t;
  }
}

TEST(ManifestEquality, ComparesEveryField) {
  const Manifest a = *parse(valid_json());
  std::vector<std::function<void(Manifest&)>> edits = {
      [](Manifest& m) { m.format += "x"; },
      [](Manifest& m) { m.store_id += "x"; },
      [](Manifest& m) { m.encoding = "int8"; },
      [](Manifest& m) { m.corpus += "x"; },
      [](Manifest& m) { m.representation = *Representation::make("enc", "r2", 4, true); },
      [](Manifest& m) { ++m.commit; },
      [](Manifest& m) { ++m.next_segment_id; },
      [](Manifest& m) { m.committed_at += 1e-6; },
      [](Manifest& m) { m.segments.pop_back(); },
      [](Manifest& m) { m.segments[0].tombstones = 1; },
      [](Manifest& m) { ++m.segments[1].documents; },
      [](Manifest& m) { ++m.segments[1].tokens; },
      [](Manifest& m) { ++m.segments[1].id; },
  };
  for (std::size_t i = 0; i < edits.size(); ++i) {
    Manifest b = a;
    EXPECT_EQ(a, b);
    edits[i](b);
    EXPECT_NE(a, b) << i;
  }
}

TEST(ManifestTime, RoundsToTheNearestNanosecond) {
  auto at = [](double seconds) {
    Manifest m = *parse(valid_json());
    m.committed_at = seconds;
    return m.committed_at_time();
  };
  EXPECT_EQ(*at(0.0), (TimeValue{0, 0}));
  EXPECT_EQ(*at(1700000000.25), (TimeValue{1700000000, 250000000}));
  // 1/1024 s is exactly 976562.5 ns: the half rounds up.
  EXPECT_EQ(*at(1.0 / 1024), (TimeValue{0, 976563}));
  // The double nearest 0.1 is 0.1000000000000000055...: 100000000 ns.
  EXPECT_EQ(*at(0.1), (TimeValue{0, 100000000}));
  EXPECT_EQ(*at(1.9999999994), (TimeValue{1, 999999999}));
  EXPECT_EQ(*at(1.9999999996), (TimeValue{2, 0}));
  EXPECT_EQ(*at(4e-10), (TimeValue{0, 0}));
  EXPECT_EQ(*at(5e-10), (TimeValue{0, 1}));
  EXPECT_EQ(*at(9223372036854774784.0), (TimeValue{9223372036854774784ull, 0}));
  for (double bad : std::vector<double>{-1.0, -1e-300, NAN, INFINITY, 9223372036854775808.0}) {
    auto r = at(bad);
    ASSERT_FALSE(r) << bad;
    EXPECT_EQ(r.error().text(), "vector-store committed_at must be a non-negative time");
  }
  // Against long double arithmetic, which is exact enough below 2^20 s.
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> any(0, 1e6);
  for (int i = 0; i < 1000; ++i) {
    double s = any(rng);
    TimeValue t = *at(s);
    long double exact = static_cast<long double>(s);
    long double back = static_cast<long double>(t.seconds) + static_cast<long double>(t.nanoseconds) / 1e9L;
    EXPECT_LE(std::fabs(static_cast<double>(back - exact)), 0.5e-9 + 1e-12) << s;
  }
}

TEST(Encoding, ParseNamesAndArrays) {
  EXPECT_EQ(*Encoding::parse("float32"), Encoding::Float32);
  EXPECT_EQ(*Encoding::parse("int8"), Encoding::Int8);
  for (const char* bad : {"float16", "Int8", "", "int8 "}) {
    auto r = Encoding::parse(bad);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), Error::Kind::InvalidInput);
    EXPECT_EQ(r.error().text(), "unknown encoding " + debug_form(bad) + "; expected \"float32\" or \"int8\"");
  }
  EXPECT_EQ(Encoding(Encoding::Int8).name(), "int8");
  EXPECT_EQ(Encoding(Encoding::Float32).name(), "float32");
  EXPECT_EQ(Encoding::arrays(Encoding::Float32, 96), (std::vector<ArraySpec>{{"vectors", Dtype::Float32, 96}}));
  auto int8 = Encoding::arrays(Encoding::Int8, 96);
  EXPECT_EQ(int8, (std::vector<ArraySpec>{{"codes", Dtype::Int8, 96}, {"scales", Dtype::Float32, std::nullopt}}));
  EXPECT_EQ(int8[0].shape(10), (std::vector<std::uint64_t>{10, 96}));
  EXPECT_EQ(int8[1].shape(10), (std::vector<std::uint64_t>{10}));
}

TEST(FileNames, SegmentAndTombstoneFiles) {
  EXPECT_EQ(segment_file("/s", 7, "vectors.npy"), std::filesystem::path("/s/segment-7.vectors.npy"));
  EXPECT_EQ(segment_file("rel", 0, "ids.json"), std::filesystem::path("rel/segment-0.ids.json"));
  EXPECT_EQ(tombstones_file("/s", 12, 30), std::filesystem::path("/s/segment-12.tombstones-30.npy"));
}

}  // namespace
}  // namespace quillmark

namespace quillmark {
namespace {

// Every single-byte corruption of a manifest reads or fails with one of the
// documented storage messages.
TEST(ManifestRead, ByteFlipsGiveDocumentedErrors) {
  const std::string original = valid_json().dump(2) + "\n";
  const std::vector<std::string> prefixes = {"invalid manifest.json in /stores/a: ",
                                             "unsupported vector-store format \"",
                                             "segment IDs must be below next_segment_id",
                                             "unsupported vector-store encoding \"",
                                             "vector-store committed_at must be a non-negative time",
                                             "a vector store's corpus must not be empty",
                                             "a vector store's store_id must not be empty",
                                             "vector-store segment IDs must ascend",
                                             "a vector-store tombstone file is newer than its manifest"};
  std::size_t ok = 0, failed = 0;
  for (std::size_t i = 0; i < original.size(); ++i) {
    for (unsigned char flip : {0x01, 0x02, 0x20, 0x80, 0xff}) {
      std::string text = original;
      text[i] = static_cast<char>(text[i] ^ flip);
      auto m = Manifest::parse(text, "/stores/a");
      if (m) {
        ++ok;
        continue;
      }
      ++failed;
      ASSERT_EQ(m.error().kind(), Error::Kind::Storage);
      const std::string msg = m.error().text();
      bool known = false;
      for (const auto& p : prefixes) known = known || msg.starts_with(p);
      ASSERT_TRUE(known) << i << ": " << msg;
      if (msg.starts_with(prefixes[0])) {
        ASSERT_NE(msg.find(" at line "), std::string::npos) << msg;
      }
    }
  }
  EXPECT_GT(ok, 10u);
  EXPECT_GT(failed, 1000u);
}

}  // namespace
}  // namespace quillmark
