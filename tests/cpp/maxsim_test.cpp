#include "search/maxsim.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "search/query.h"
#include "search/token_batch.h"
#include "storage/format/int8.h"
#include "storage/format/manifest.h"
#include "storage/format/npy.h"
#include "storage/store.h"
#include "temp_dir.h"
#include "test_store.h"

namespace quillmark {
namespace {

namespace fs = std::filesystem;
using Scores = std::vector<std::optional<float>>;
using Docs = std::map<std::string, std::vector<float>>;  // id -> row-major token rows
using Batches = std::vector<std::vector<std::string>>;

constexpr std::size_t kDim = 2;
constexpr std::string_view kFeature = "multi_vector";

Representation rep(std::uint64_t dimension = kDim, const char* encoder = "enc") {
  return Representation::make(encoder, "r1", dimension, false).value();
}

Query query_of(std::vector<float> values, std::size_t dimension = kDim, Representation feature_rep = rep()) {
  auto value = std::make_shared<const TokenMatrixValue>(TokenMatrix::make(std::move(values), dimension).value());
  Query::Features features;
  features.emplace(SharedText(kFeature), Feature::value(std::move(feature_rep), std::move(value)));
  return Query::make("q", std::move(features));
}

ResourceBudget budget(std::size_t tokens, std::size_t documents, std::optional<std::size_t> threads = {}) {
  return ResourceBudget::make(tokens, documents, threads).value();
}

std::vector<Candidate> candidates(std::initializer_list<std::pair<const char*, const char*>> keys) {
  std::vector<Candidate> out;
  for (const auto& [corpus, id] : keys) out.push_back(Candidate{DocumentKey(corpus, id), 0.0f, out.size(), ""});
  return out;
}

// `tokens` distinct rows of `dimension` values, derived from `seed`.
std::vector<float> rows(std::size_t tokens, float seed, std::size_t dimension = kDim) {
  std::vector<float> v(tokens * dimension);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = std::sin(seed * 7.1f + 0.37f * static_cast<float>(i));
  return v;
}

// The definition, in double: for each query row, the largest dot product
// with any document row, summed.
double naive_maxsim(std::span<const float> query, std::span<const float> doc, std::size_t dimension) {
  double total = 0;
  for (std::size_t q = 0; q < query.size(); q += dimension) {
    double best = -INFINITY;
    for (std::size_t d = 0; d < doc.size(); d += dimension) {
      double dot = 0;
      for (std::size_t k = 0; k < dimension; ++k) dot += double(query[q + k]) * double(doc[d + k]);
      best = std::max(best, dot);
    }
    total += best;
  }
  return total;
}

enum class Fault { None, ViewFails, LengthsFail, ExtraLength, FetchFails, FetchReversed, FetchWrongDimension };

// A source of in-memory documents that counts its views, length requests and
// fetches, and misbehaves as told.
class FakeSource : public MultiVectorSource {
 public:
  FakeSource(std::string corpus, Docs docs, TimeValue as_of = {100, 0}, Fault fault = Fault::None,
             Representation representation = rep(), std::string semantics = std::string(kFloat32ExactFullMaxsim))
      : corpus_(std::move(corpus)),
        docs_(std::move(docs)),
        as_of_(as_of),
        fault_(fault),
        representation_(std::move(representation)),
        semantics_(std::move(semantics)) {}

  std::string_view corpus() const override { return corpus_; }
  const Representation& representation() const override { return representation_; }
  std::string_view score_semantics() const override { return semantics_; }
  Result<std::shared_ptr<const VectorView>> view() const override {
    ++views;
    if (fault_ == Fault::ViewFails) return std::unexpected(Error::storage("view of " + corpus_ + " failed"));
    return std::make_shared<const View>(this);
  }

  Batches fetched() const {
    std::lock_guard lock(mutex_);
    return fetches_;
  }

  mutable std::atomic<int> views{0};
  mutable std::atomic<int> length_requests{0};

 private:
  class View : public VectorView {
   public:
    explicit View(const FakeSource* source) : s_(source) {}
    TimeValue as_of() const override { return s_->as_of_; }
    Result<std::vector<std::optional<std::size_t>>> document_lengths(
        std::span<const SharedText> ids) const override {
      ++s_->length_requests;
      if (s_->fault_ == Fault::LengthsFail) return std::unexpected(Error::storage("lengths failed"));
      std::vector<std::optional<std::size_t>> out;
      for (const auto& id : ids) {
        auto it = s_->docs_.find(id.str());
        out.push_back(it == s_->docs_.end() ? std::nullopt : std::optional(it->second.size() / kDim));
      }
      if (s_->fault_ == Fault::ExtraLength) out.push_back(1);
      return out;
    }
    Result<PackedDocuments> fetch(std::span<const SharedText> ids, std::optional<std::size_t>) const override {
      std::vector<std::string> names;
      for (const auto& id : ids) names.push_back(id.str());
      {
        std::lock_guard lock(s_->mutex_);
        s_->fetches_.push_back(names);
      }
      if (s_->fault_ == Fault::FetchFails) return std::unexpected(Error::storage("fetch failed"));
      if (s_->fault_ == Fault::FetchReversed) std::reverse(names.begin(), names.end());
      std::vector<float> values;
      std::vector<std::size_t> lengths;
      for (const auto& name : names) {
        const auto& doc = s_->docs_.at(name);
        values.insert(values.end(), doc.begin(), doc.end());
        lengths.push_back(doc.size() / kDim);
      }
      if (s_->fault_ == Fault::FetchWrongDimension) {
        for (auto& length : lengths) length *= kDim;
        return PackedDocuments::make(std::move(values), std::move(lengths), 1);
      }
      return PackedDocuments::make(std::move(values), std::move(lengths), kDim);
    }

   private:
    const FakeSource* s_;
  };

  std::string corpus_;
  Docs docs_;
  TimeValue as_of_;
  Fault fault_;
  Representation representation_;
  std::string semantics_;
  mutable std::mutex mutex_;
  mutable Batches fetches_;  // guarded by mutex_
};

using SourceList = std::vector<std::shared_ptr<const MultiVectorSource>>;

std::shared_ptr<const MaxSimReranker> make_ok(const SourceList& sources) {
  auto reranker = MaxSimReranker::make(sources, std::string(kFeature));
  if (!reranker) ADD_FAILURE() << reranker.error().debug();
  return reranker.value();
}

void expect_error(const Result<Scored>& result, Error::Kind kind, const std::string& text) {
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), kind) << result.error().debug();
  EXPECT_EQ(result.error().text(), text);
}

// ---- construction ----

struct MakeCase {
  const char* name;
  std::function<SourceList()> sources;
  Error::Kind kind;
  std::string text;
};

std::shared_ptr<FakeSource> fake(const char* corpus, Representation r = rep(),
                                 std::string semantics = std::string(kFloat32ExactFullMaxsim)) {
  return std::make_shared<FakeSource>(corpus, Docs{}, TimeValue{1, 0}, Fault::None, std::move(r),
                                      std::move(semantics));
}

class MaxSimRerankerMake : public ::testing::TestWithParam<MakeCase> {};

TEST_P(MaxSimRerankerMake, RejectsWithTheFirstFailingCheck) {
  auto result = MaxSimReranker::make(GetParam().sources(), "f");
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), GetParam().kind);
  EXPECT_EQ(result.error().text(), GetParam().text);
}

const std::string kInt8Label(kInt8ReconstructedApproximateFullMaxsim);

INSTANTIATE_TEST_SUITE_P(
    Cases, MaxSimRerankerMake,
    ::testing::Values(
        MakeCase{"NoSource", [] { return SourceList{}; }, Error::Kind::InvalidInput,
                 "a MaxSim reranker needs at least one source"},
        MakeCase{"OtherRepresentation", [] { return SourceList{fake("a"), fake("b\"", rep(3, "other"))}; },
                 Error::Kind::IncompatibleIndex,
                 "the source of corpus \"b\\\"\" carries another representation: representations differ "
                 "(encoder: \"other\" != \"enc\"; dimension: 3 != 2)"},
        MakeCase{"OtherLabel", [] { return SourceList{fake("f32"), fake("i8", rep(), kInt8Label)}; },
                 Error::Kind::IncompatibleIndex,
                 "the source of corpus \"i8\" scores as \"int8-reconstructed-approximate-full-maxsim\", not "
                 "\"float32-exact-full-maxsim\""},
        MakeCase{"DuplicateCorpus", [] { return SourceList{fake("a"), fake("b"), fake("a")}; },
                 Error::Kind::InvalidInput, "more than one source for corpus \"a\""},
        // Source by source: the label of the second source fails before the
        // duplicate third, and the representation before the label.
        MakeCase{"LabelBeforeLaterDuplicate",
                 [] { return SourceList{fake("a"), fake("b", rep(), "x"), fake("a")}; },
                 Error::Kind::IncompatibleIndex,
                 "the source of corpus \"b\" scores as \"x\", not \"float32-exact-full-maxsim\""},
        MakeCase{"RepresentationBeforeLabelAndDuplicate",
                 [] { return SourceList{fake("a"), fake("a", rep(2, "other"), "x")}; },
                 Error::Kind::IncompatibleIndex,
                 "the source of corpus \"a\" carries another representation: representations differ "
                 "(encoder: \"other\" != \"enc\")"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MaxSimReranker, HoldsSourcesByCorpusAndRequiresItsFeature) {
  auto c = fake("c"), a = fake("a"), b = fake("b");
  auto reranker = make_ok({c, a, b});
  std::vector<std::string> corpora;
  for (const auto& [corpus, source] : reranker->sources()) corpora.push_back(corpus);
  EXPECT_EQ(corpora, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(reranker->sources().at("a"), a);
  EXPECT_EQ(reranker->feature(), kFeature);
  EXPECT_EQ(reranker->representation(), rep());
  EXPECT_EQ(reranker->score_semantics(), kFloat32ExactFullMaxsim);
  EXPECT_EQ(reranker->requirements(), (Requirements{{std::string(kFeature), rep()}}));
  EXPECT_EQ(reranker->name(), "MaxSimReranker");
}

// ---- batching ----

TEST(TokenBatches, SortsByTokensThenIdAndCutsAtTheBudget) {
  const std::vector<SharedText> ids{"a", "b", "c", "d", "e"};
  const std::vector<std::size_t> lengths{4, 2, 4, 9, 1};
  auto names = [](const std::vector<TokenBatch>& batches) {
    Batches out;
    for (const auto& batch : batches) {
      out.emplace_back();
      for (std::size_t i = 0; i < batch.ids.size(); ++i)
        out.back().push_back(batch.ids[i].str() + ":" + std::to_string(batch.lengths[i]));
    }
    return out;
  };
  EXPECT_EQ(names(token_batches(ids, lengths, 7)), (Batches{{"e:1", "b:2", "a:4"}, {"c:4"}, {"d:9"}}));
  EXPECT_EQ(names(token_batches(ids, lengths, 20)), (Batches{{"e:1", "b:2", "a:4", "c:4", "d:9"}}));
  EXPECT_EQ(names(token_batches(ids, lengths, 1)), (Batches{{"e:1"}, {"b:2"}, {"a:4"}, {"c:4"}, {"d:9"}}));
  EXPECT_EQ(names(token_batches(ids, lengths, SIZE_MAX)).size(), 1u);
  EXPECT_TRUE(token_batches({}, {}, 5).empty());
}

struct BatchCase {
  const char* name;
  std::map<std::string, std::size_t> tokens;  // the documents the source holds
  std::vector<const char*> requested;         // candidate ids, in order
  std::size_t max_batch_tokens;
  std::size_t max_documents;
  Batches fetches;
};

class MaxSimRerankerBatches : public ::testing::TestWithParam<BatchCase> {};

// Fetches follow the chunks and batches exactly; every distinct held document
// is fetched once and its candidates all get the reference score.
TEST_P(MaxSimRerankerBatches, FetchesEachDocumentOnceInBudgetedBatches) {
  const BatchCase& c = GetParam();
  Docs docs;
  float seed = 1;
  for (const auto& [id, tokens] : c.tokens) docs[id] = rows(tokens, seed++);
  auto source = std::make_shared<FakeSource>("docs", docs);
  auto reranker = make_ok({source});
  std::vector<Candidate> list;
  for (const char* id : c.requested) list.push_back(Candidate{DocumentKey("docs", id), 0, list.size(), ""});
  const std::vector<float> q = rows(3, 0.5f);

  auto scored = reranker->rerank(query_of(q), list, budget(c.max_batch_tokens, c.max_documents));
  ASSERT_TRUE(scored.has_value()) << scored.error().debug();
  EXPECT_EQ(source->fetched(), c.fetches);
  EXPECT_EQ(source->views, 1);
  EXPECT_EQ(source->length_requests, 1);
  ASSERT_EQ(scored->scores.size(), list.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    auto doc = docs.find(c.requested[i]);
    if (doc == docs.end()) {
      EXPECT_FALSE(scored->scores[i].has_value()) << c.requested[i];
      continue;
    }
    ASSERT_TRUE(scored->scores[i].has_value()) << c.requested[i];
    EXPECT_NEAR(*scored->scores[i], naive_maxsim(q, doc->second, kDim), 1e-5) << c.requested[i];
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MaxSimRerankerBatches,
    ::testing::Values(
        BatchCase{"ChunkThenBatchWithin6Tokens", {{"x", 5}, {"y", 1}, {"z", 3}}, {"z", "x", "y"}, 6, 2,
                  {{"y", "x"}, {"z"}}},
        BatchCase{"ChunkThenBatchWithin5Tokens", {{"x", 5}, {"y", 1}, {"z", 3}}, {"z", "x", "y"}, 5, 2,
                  {{"y"}, {"x"}, {"z"}}},
        BatchCase{"LongDocumentAlone", {{"big", 300}, {"s1", 40}, {"s2", 50}}, {"big", "s2", "s1"}, 100, 256,
                  {{"s1", "s2"}, {"big"}}},
        BatchCase{"DuplicatesOnceUnheldUnscored", {{"a", 3}, {"b", 2}}, {"a", "gone", "b", "a", "gone"}, 100, 256,
                  {{"b", "a"}}},
        BatchCase{"NothingHeldNothingFetched", {{"a", 3}}, {"x", "y"}, 100, 256, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- views, as_of, failures ----

TEST(MaxSimReranker, TakesOneViewPerSourceAndReportsTheEarliest) {
  auto a = std::make_shared<FakeSource>("a", Docs{{"1", rows(2, 1)}}, TimeValue{200, 5});
  auto b = std::make_shared<FakeSource>("b", Docs{{"1", rows(2, 2)}}, TimeValue{200, 4});
  auto c = std::make_shared<FakeSource>("c", Docs{}, TimeValue{300, 0});
  auto reranker = make_ok({c, a, b});

  // Candidates of a only: b's older view still sets as_of.
  auto scored = reranker->rerank(query_of(rows(1, 3)), candidates({{"a", "1"}}), ResourceBudget());
  ASSERT_TRUE(scored.has_value()) << scored.error().debug();
  EXPECT_EQ(scored->as_of, (TimeValue{200, 4}));
  EXPECT_EQ(scored->scores.size(), 1u);
  EXPECT_EQ(b->length_requests, 0);

  // No candidates: views are still taken, and the query (which lacks the
  // feature) is never looked at.
  auto empty = reranker->rerank(Query::make("no features"), {}, ResourceBudget());
  ASSERT_TRUE(empty.has_value()) << empty.error().debug();
  EXPECT_TRUE(empty->scores.empty());
  EXPECT_EQ(empty->as_of, (TimeValue{200, 4}));
  for (const auto& source : {a, b, c}) EXPECT_EQ(source->views, 2);
  EXPECT_EQ(a->length_requests, 1);
}

class NotAMatrix : public FeatureValue {
 public:
  std::shared_ptr<const TokenMatrix> token_matrix() const override { return nullptr; }
};

struct FaultCase {
  const char* name;
  Fault fault_of_b = Fault::None;  // the fault of corpus b's source (candidates are in a and b)
  std::function<Query()> query = [] { return query_of(rows(2, 9)); };
  std::vector<std::pair<const char*, const char*>> extra = {};  // candidates appended to a/1, b/1
  std::size_t max_batch_tokens = 64;
  Error::Kind kind = Error::Kind::InvalidInput;
  std::string text;
  int views = 1;  // views taken of each source
};

class MaxSimRerankerFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(MaxSimRerankerFaults, FailWholeWithTheExactError) {
  const FaultCase& c = GetParam();
  auto a = std::make_shared<FakeSource>("a", Docs{{"1", rows(2, 1)}});
  auto b = std::make_shared<FakeSource>("b", Docs{{"1", rows(2, 2)}, {"2", rows(3, 3)}}, TimeValue{1, 0},
                                        c.fault_of_b);
  auto reranker = make_ok({a, b});
  std::vector<Candidate> list = candidates({{"a", "1"}, {"b", "1"}, {"b", "2"}});
  for (const auto& [corpus, id] : c.extra) list.push_back(Candidate{DocumentKey(corpus, id), 0, list.size(), ""});

  expect_error(reranker->rerank(c.query(), list, budget(c.max_batch_tokens, 256)), c.kind, c.text);
  EXPECT_EQ(a->views, c.views);
  EXPECT_EQ(b->views, c.views);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MaxSimRerankerFaults,
    ::testing::Values(
        FaultCase{.name = "UnknownCorpusBeforeAnyView",
                  .extra = {{"zz\n", "1"}},
                  .kind = Error::Kind::IncompatibleIndex,
                  .text = "the reranker has no source for corpus \"zz\\n\"",
                  .views = 0},
        FaultCase{.name = "ViewFails", .fault_of_b = Fault::ViewFails, .kind = Error::Kind::Storage,
                  .text = "view of b failed"},
        FaultCase{.name = "LengthsFail", .fault_of_b = Fault::LengthsFail, .kind = Error::Kind::Storage,
                  .text = "lengths failed"},
        FaultCase{.name = "WrongLengthCount", .fault_of_b = Fault::ExtraLength,
                  .text = "source returned a different number of document lengths than requested"},
        FaultCase{.name = "FetchFails", .fault_of_b = Fault::FetchFails, .kind = Error::Kind::Storage,
                  .text = "fetch failed"},
        FaultCase{.name = "FetchedInAnotherOrder", .fault_of_b = Fault::FetchReversed,
                  .text = "source fetched vectors that disagree with its declared lengths or dimension"},
        FaultCase{.name = "FetchedAnotherDimension", .fault_of_b = Fault::FetchWrongDimension,
                  .text = "source fetched vectors that disagree with its declared lengths or dimension"},
        FaultCase{.name = "QueryWithoutFeature",
                  .query = [] { return Query::make("plain"); },
                  .kind = Error::Kind::IncompatibleQuery,
                  .text = "query has no 'multi_vector' feature; available: []"},
        FaultCase{.name = "FeatureOfAnotherRepresentation",
                  .query = [] { return query_of(rows(1, 1), kDim, rep(kDim, "other")); },
                  .kind = Error::Kind::IncompatibleQuery,
                  .text = "representations differ (encoder: \"enc\" != \"other\")"},
        FaultCase{.name = "FeatureNotAMatrix",
                  .query =
                      [] {
                        Query::Features features;
                        features.emplace(SharedText(kFeature),
                                         Feature::value(rep(), std::make_shared<const NotAMatrix>()));
                        return Query::make("q", std::move(features));
                      },
                  .kind = Error::Kind::IncompatibleQuery,
                  .text = "query feature 'multi_vector' must be a [tokens, dimension] matrix"},
        FaultCase{.name = "MatrixOfAnotherDimension",
                  .query = [] { return query_of(rows(1, 1, 3), 3); },
                  .kind = Error::Kind::IncompatibleQuery,
                  .text = "query feature 'multi_vector' has dimension 3, but the representation declares 2"},
        FaultCase{.name = "KernelRejectsTheBudget",
                  .max_batch_tokens = std::size_t{INT_MAX} + 1,
                  .text = "max_batch_tokens exceeds the 32-bit BLAS interface"}),
    [](const auto& info) { return std::string(info.param.name); });

// A failing view fails every rerank, whichever corpora the candidates are in.
TEST(MaxSimReranker, FailingViewFailsRerankOfOtherCorpora) {
  auto a = std::make_shared<FakeSource>("a", Docs{{"1", rows(2, 1)}});
  auto b = std::make_shared<FakeSource>("b", Docs{}, TimeValue{1, 0}, Fault::ViewFails);
  auto reranker = make_ok({a, b});
  expect_error(reranker->rerank(query_of(rows(1, 1)), candidates({{"a", "1"}}), ResourceBudget()),
               Error::Kind::Storage, "view of b failed");
  expect_error(reranker->rerank(query_of(rows(1, 1)), {}, ResourceBudget()), Error::Kind::Storage,
               "view of b failed");
  EXPECT_EQ(a->length_requests, 0);
}

// ---- real stores ----

// Writes a one-segment store file by file, as the format defines it.
void write_store(const fs::path& path, const std::string& corpus, const std::string& encoding, const Docs& docs,
                 std::size_t dimension, double committed_at) {
  fs::create_directories(path);
  std::vector<std::uint64_t> offsets{0};
  std::vector<float> values;
  std::string ids = "[";
  for (const auto& [id, doc] : docs) {
    ids += (ids.size() > 1 ? ",\"" : "\"") + id + "\"";
    values.insert(values.end(), doc.begin(), doc.end());
    offsets.push_back(values.size() / dimension);
  }
  testing::write_bytes(segment_file(path, 0, "ids.json"), ids + "]");
  auto write = [](const fs::path& file, auto values, std::vector<std::uint64_t> shape) {
    using T = typename decltype(values)::value_type;
    auto writer = NpyWriter::create(file, DtypeOf<T>::value, shape);
    ASSERT_TRUE(writer.has_value()) << writer.error().text();
    ASSERT_TRUE(writer->write(std::span<const T>(values)).has_value());
    ASSERT_TRUE(std::move(*writer).finish().has_value());
  };
  const std::uint64_t tokens = offsets.back();
  write(segment_file(path, 0, "offsets.npy"), offsets, {offsets.size()});
  if (encoding == "float32") {
    write(segment_file(path, 0, "vectors.npy"), values, {tokens, dimension});
  } else {
    std::vector<std::int8_t> codes(values.size());
    std::vector<float> scales(tokens);
    int8_encode(values, dimension, codes, scales);
    write(segment_file(path, 0, "codes.npy"), codes, {tokens, dimension});
    write(segment_file(path, 0, "scales.npy"), scales, {tokens});
  }
  Manifest manifest{std::string(kManifestFormat), "0123456789abcdef0123456789abcdef", encoding, corpus,
                    rep(dimension),               1, 1, committed_at, {SegmentEntry{0, docs.size(), tokens, std::nullopt}}};
  testing::write_bytes(path / "manifest.json", manifest.to_json());
}

// The vectors a store of `encoding` gives back for `doc`.
std::vector<float> stored(const std::vector<float>& doc, const std::string& encoding, std::size_t dimension) {
  if (encoding == "float32") return doc;
  std::vector<std::int8_t> codes(doc.size());
  std::vector<float> scales(doc.size() / dimension), out(doc.size());
  int8_encode(doc, dimension, codes, scales);
  int8_decode(codes, scales, dimension, false, out);
  return out;
}

// "d" followed by i (appended: g++ 12 warns falsely on "d" + std::string).
std::string doc_name(int i) {
  std::string name = "d";
  name += std::to_string(i);
  return name;
}

// Two stores of random documents (corpora "alpha" and "beta") and a mixed
// candidate list with duplicates and documents neither store holds.
struct StoreFixture {
  static constexpr std::size_t kStoreDim = 16;
  testing::TempDir dir;
  std::map<std::string, Docs> docs;
  std::shared_ptr<const MaxSimReranker> reranker;
  std::vector<Candidate> list;
  std::vector<float> q;

  explicit StoreFixture(const std::string& encoding) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> value(-1, 1);
    std::uniform_int_distribution<std::size_t> tokens(1, 200);  // several kernel batches per corpus
    auto random_rows = [&](std::size_t n) {
      std::vector<float> v(n * kStoreDim);
      for (auto& x : v) x = value(rng);
      return v;
    };
    SourceList sources;
    for (const char* corpus : {"beta", "alpha"}) {
      for (int i = 0; i < 60; ++i) docs[corpus][doc_name(i)] = random_rows(tokens(rng));
      write_store(dir / corpus, corpus, encoding, docs[corpus], kStoreDim, corpus[0] == 'a' ? 10.5 : 20.25);
      sources.push_back(VectorStore::open(dir / corpus).value());
    }
    reranker = make_ok(sources);
    std::uniform_int_distribution<int> pick(0, 69);  // 60..69 are not stored
    for (int i = 0; i < 150; ++i) {
      const char* corpus = i % 3 ? "alpha" : "beta";
      list.push_back(Candidate{DocumentKey(corpus, doc_name(pick(rng))), 0, list.size(), ""});
    }
    q = random_rows(5);
  }

  Scores rerank(const ResourceBudget& b) const {
    auto scored = reranker->rerank(query_of(q, kStoreDim, rep(kStoreDim)), list, b);
    if (!scored) ADD_FAILURE() << scored.error().debug();
    EXPECT_EQ(scored->as_of, (TimeValue{10, 500'000'000}));
    return scored->scores;
  }
};

class MaxSimRerankerStores : public ::testing::TestWithParam<std::string> {};

TEST_P(MaxSimRerankerStores, ScoresEqualTheDefinitionOverTheStoredVectors) {
  const std::string encoding = GetParam();
  StoreFixture f(encoding);
  const Scores unset = f.rerank(ResourceBudget());
  for (std::size_t i = 0; i < f.list.size(); ++i) {
    const Docs& docs = f.docs.at(f.list[i].key.corpus().str());
    auto doc = docs.find(f.list[i].key.document_id().str());
    if (doc == docs.end()) {
      EXPECT_FALSE(unset[i].has_value()) << i;
      continue;
    }
    ASSERT_TRUE(unset[i].has_value()) << i;
    const double expected = naive_maxsim(f.q, stored(doc->second, encoding, f.kStoreDim), f.kStoreDim);
    EXPECT_NEAR(*unset[i], expected, 1e-4 * (1 + std::abs(expected))) << i;
  }
  // The pool does not change a score, nor does cutting the work finer.
  EXPECT_EQ(f.rerank(budget(ResourceBudget::kDefaultMaxBatchTokens, 256, 2)), unset);
  EXPECT_EQ(f.rerank(budget(ResourceBudget::kDefaultMaxBatchTokens, 256, 1)), unset);
  const Scores small = f.rerank(budget(50, 3));
  EXPECT_EQ(f.rerank(budget(50, 3, 2)), small);
  for (std::size_t i = 0; i < small.size(); ++i) {
    ASSERT_EQ(small[i].has_value(), unset[i].has_value());
    if (small[i]) {
      EXPECT_NEAR(*small[i], *unset[i], 1e-5 * (1 + std::abs(*unset[i])));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Encodings, MaxSimRerankerStores, ::testing::Values("float32", "int8"),
                         [](const auto& info) { return info.param; });

// One reranker shared by several threads, some asking for pools of their own.
TEST(MaxSimRerankerConcurrency, ThreadsShareOneRerankerAndAgree) {
  StoreFixture f("int8");
  const Scores expected = f.rerank(budget(200, 16));
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 8; ++i) {
        std::optional<std::size_t> pool;
        if ((t + i) % 3 == 1) pool = 2;
        if (f.rerank(budget(200, 16, pool)) != expected) ++mismatches;
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches, 0);
}

// ---- native stores: gathered and scored on the workers vs. fetched ----

// A store behind plain VectorViews: the reranker then fetches every batch
// whole and hands it to the kernel, as for any source but a native store.
class FetchingSource : public MultiVectorSource {
 public:
  explicit FetchingSource(std::shared_ptr<const VectorStore> store) : store_(std::move(store)) {}
  std::string_view corpus() const override { return store_->corpus(); }
  const Representation& representation() const override { return store_->representation(); }
  std::string_view score_semantics() const override { return store_->score_semantics(); }
  Result<std::shared_ptr<const VectorView>> view() const override {
    std::shared_ptr<const StoreView> view = QM_TRY(store_->store_view());
    return std::make_shared<const Forward>(std::move(view));
  }

 private:
  class Forward : public VectorView {
   public:
    explicit Forward(std::shared_ptr<const StoreView> view) : view_(std::move(view)) {}
    TimeValue as_of() const override { return view_->as_of(); }
    Result<std::vector<std::optional<std::size_t>>> document_lengths(
        std::span<const SharedText> ids) const override {
      return view_->document_lengths(ids);
    }
    Result<PackedDocuments> fetch(std::span<const SharedText> ids, std::optional<std::size_t> threads) const override {
      return view_->fetch(ids, threads);
    }

   private:
    std::shared_ptr<const StoreView> view_;
  };
  std::shared_ptr<const VectorStore> store_;
};

// Two corpora, each of two segments where the second replaces and deletes
// documents of the first; documents long enough for several 4096-row kernel
// batches per corpus. `live` holds what each view holds, as it decodes it.
// At this dimension and query length the BLAS computes products of up to
// about 170 rows another way than larger ones (their last bits differ), so
// a kernel batch cut elsewhere than a fetched batch's would show.
struct SegmentedStores {
  static constexpr std::size_t kDim = 32;
  testing::TempDir dir;
  std::map<std::string, Docs> live;
  SourceList native, fetching;
  std::vector<Candidate> list;
  std::vector<float> q;

  SegmentedStores(const std::string& encoding, bool normalized) {
    std::mt19937 rng(5);
    std::normal_distribution<float> normal;
    std::uniform_int_distribution<std::size_t> tokens(1, 400);
    for (const char* corpus : {"beta", "alpha"}) {
      fs::create_directories(dir / corpus);
      testing::TestStore store(dir / corpus, encoding, kDim, normalized, corpus);
      Docs& docs = live[corpus];
      auto segment = [&](int first, int last) {
        std::vector<std::pair<std::string, std::vector<float>>> rows;
        for (int i = first; i < last; ++i) {
          std::vector<float> v(tokens(rng) * kDim);
          for (float& x : v) x = normal(rng);
          rows.emplace_back(doc_name(i), v);
          docs[doc_name(i)] = decoded(v, encoding, normalized);
        }
        return store.append(rows);
      };
      const std::uint64_t old = segment(0, 50);
      const std::uint64_t fresh = segment(40, 80);  // replaces d40..d49
      store.remove(old, {3, 45});                    // d3 deleted; row 45 is hidden by the new d45 anyway
      store.remove(fresh, {2});                      // d42 deleted
      store.publish();
      docs.erase("d3");
      docs.erase("d42");
      auto opened = VectorStore::open(dir / corpus).value();
      native.push_back(opened);
      fetching.push_back(std::make_shared<const FetchingSource>(opened));
    }
    std::uniform_int_distribution<int> pick(0, 89);  // 80..89 are in neither store
    for (int i = 0; i < 160; ++i)
      list.push_back(Candidate{DocumentKey(i % 3 ? "alpha" : "beta", doc_name(pick(rng))), 0, list.size(), ""});
    q = std::vector<float>(7 * kDim);
    for (float& x : q) x = normal(rng);
  }

  static std::vector<float> decoded(const std::vector<float>& v, const std::string& encoding, bool normalized) {
    if (encoding == "float32") return v;
    std::vector<std::int8_t> codes(v.size());
    std::vector<float> scales(v.size() / kDim), out(v.size());
    int8_encode(v, kDim, codes, scales);
    int8_decode(codes, scales, kDim, normalized, out);
    return out;
  }

  Result<Scored> rerank(const SourceList& sources, const ResourceBudget& b) const {
    auto reranker = make_ok(sources);
    auto representation = sources.front()->representation();
    return reranker->rerank(query_of(q, kDim, representation), list, b);
  }
};

struct GatherCase {
  const char* encoding;
  bool normalized;
};

void PrintTo(const GatherCase& c, std::ostream* os) { *os << c.encoding << (c.normalized ? " unit rows" : ""); }

class MaxSimRerankerGather : public ::testing::TestWithParam<GatherCase> {};

// Same batches, same kernel batches: the scores of the fused path are those
// of fetching each batch and scoring it, bit for bit, for every budget and
// thread count; and they are MaxSim over what the views hold.
TEST_P(MaxSimRerankerGather, ScoresEqualFetchingEachBatchForEveryThreadCount) {
  const auto [encoding, normalized] = GetParam();
  SegmentedStores s(encoding, normalized);
  Scores reference;
  for (std::size_t tokens : {std::size_t{ResourceBudget::kDefaultMaxBatchTokens}, std::size_t{150},
                             std::size_t{5000}}) {
    for (std::size_t documents : {std::size_t{256}, std::size_t{7}}) {
      for (std::optional<std::size_t> threads :
           {std::optional<std::size_t>{}, std::optional<std::size_t>{1}, std::optional<std::size_t>{2},
            std::optional<std::size_t>{3}}) {
        SCOPED_TRACE(std::to_string(tokens) + " tokens, " + std::to_string(documents) + " documents, threads " +
                     (threads ? std::to_string(*threads) : "unset"));
        const ResourceBudget b = budget(tokens, documents, threads);
        auto fused = s.rerank(s.native, b);
        auto fetched = s.rerank(s.fetching, b);
        ASSERT_TRUE(fused.has_value()) << fused.error().debug();
        ASSERT_TRUE(fetched.has_value()) << fetched.error().debug();
        EXPECT_EQ(fused->scores, fetched->scores);
        EXPECT_EQ(fused->as_of, fetched->as_of);
        if (reference.empty()) reference = fused->scores;
      }
    }
  }
  for (std::size_t i = 0; i < s.list.size(); ++i) {
    const Docs& docs = s.live.at(s.list[i].key.corpus().str());
    auto doc = docs.find(s.list[i].key.document_id().str());
    ASSERT_EQ(reference[i].has_value(), doc != docs.end()) << i;
    if (!reference[i]) continue;
    const double expected = naive_maxsim(s.q, doc->second, s.kDim);
    EXPECT_NEAR(*reference[i], expected, 1e-4 * (1 + std::abs(expected))) << i;
  }
}

// A bad int8 scale in one document fails every rerank that scores it with the
// fetch's error, whatever the batches and threads; the kernel's own errors
// are those of the fetching path too.
TEST_P(MaxSimRerankerGather, FailsAsFetchingEachBatchWould) {
  const auto [encoding, normalized] = GetParam();
  SegmentedStores s(encoding, normalized);
  const ResourceBudget absurd = budget(std::size_t{1} << 32, 256);
  for (const SourceList* sources : {&s.native, &s.fetching}) {
    auto failed = s.rerank(*sources, absurd);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().text(), "max_batch_tokens exceeds the 32-bit BLAS interface");
  }
  if (encoding != std::string("int8")) return;
  // d60 is row 20 of alpha's second segment; its first token's scale becomes 0.
  const fs::path scales = segment_file(s.dir / "alpha", 1, "scales.npy");
  auto array = NpyArray::open(scales).value();
  std::vector<float> values(array.values<float>()->begin(), array.values<float>()->end());
  std::vector<std::uint64_t> offsets;
  {
    auto o = NpyArray::open(segment_file(s.dir / "alpha", 1, "offsets.npy")).value();
    offsets.assign(o.values<std::uint64_t>()->begin(), o.values<std::uint64_t>()->end());
  }
  values[offsets[20]] = 0.0f;
  fs::remove(scales);
  testing::write_array<float>(scales, values, {values.size()});
  SourceList native{VectorStore::open(s.dir / "alpha").value()};
  SourceList fetching{std::make_shared<const FetchingSource>(VectorStore::open(s.dir / "alpha").value())};
  s.list = {Candidate{DocumentKey("alpha", "d1"), 0, 0, ""}, Candidate{DocumentKey("alpha", "d60"), 0, 1, ""}};
  for (std::optional<std::size_t> threads : {std::optional<std::size_t>{}, std::optional<std::size_t>{2}}) {
    for (const SourceList* sources : {&native, &fetching}) {
      auto failed = s.rerank(*sources, budget(1, 1, threads));
      ASSERT_FALSE(failed.has_value());
      EXPECT_EQ(failed.error().kind(), Error::Kind::Storage);
      EXPECT_EQ(failed.error().text(), "int8 scales must be finite and positive");
    }
  }
  s.list.pop_back();
  EXPECT_TRUE(s.rerank(native, ResourceBudget()).has_value());
}

// The reranker's fused path rests on the store's views offering their rows
// (and on views that only forward fetches offering none): the located rows
// give the same token counts as document_lengths and gather to the same
// vectors as fetch, absent documents included.
TEST_P(MaxSimRerankerGather, StoreViewsOfferRowsThatMatchTheirFetch) {
  const auto [encoding, normalized] = GetParam();
  SegmentedStores s(encoding, normalized);
  std::vector<SharedText> ids;
  for (int i : {0, 3, 42, 45, 79, 85}) ids.push_back(SharedText(doc_name(i)));  // d3, d42 deleted; d85 never
  for (std::size_t i = 0; i < s.native.size(); ++i) {
    const auto view = s.native[i]->view().value();
    EXPECT_EQ(s.fetching[i]->view().value()->row_gatherer(), nullptr);
    const RowGatherer* gatherer = view->row_gatherer();
    ASSERT_NE(gatherer, nullptr);
    EXPECT_EQ(gatherer->row_dimension(), SegmentedStores::kDim);

    const std::vector<std::optional<RowRange>> ranges = gatherer->locate_rows(ids);
    const std::vector<std::optional<std::size_t>> lengths = view->document_lengths(ids).value();
    ASSERT_EQ(ranges.size(), ids.size());
    std::vector<SharedText> held;
    std::vector<RowRange> held_ranges;
    std::size_t rows = 0;
    for (std::size_t d = 0; d < ids.size(); ++d) {
      SCOPED_TRACE(ids[d].view());
      ASSERT_EQ(ranges[d].has_value(), lengths[d].has_value());
      if (!ranges[d]) continue;
      EXPECT_EQ(ranges[d]->rows(), *lengths[d]);
      held.push_back(ids[d]);
      held_ranges.push_back(*ranges[d]);
      rows += ranges[d]->rows();
    }
    EXPECT_EQ(held.size(), 3u);
    ASSERT_TRUE(gatherer->check_rows(held_ranges).has_value());
    std::vector<float> gathered(rows * SegmentedStores::kDim);
    gatherer->gather_rows(held_ranges, gathered);
    const PackedDocuments fetched = view->fetch(held, std::nullopt).value();
    EXPECT_TRUE(std::equal(gathered.begin(), gathered.end(), fetched.vectors().begin(), fetched.vectors().end()));
  }
}

INSTANTIATE_TEST_SUITE_P(Stores, MaxSimRerankerGather,
                         ::testing::Values(GatherCase{"float32", false}, GatherCase{"int8", false},
                                           GatherCase{"int8", true}),
                         [](const ::testing::TestParamInfo<GatherCase>& info) {
                           return std::string(info.param.encoding) + (info.param.normalized ? "UnitRows" : "");
                         });

}  // namespace
}  // namespace quillmark
