#include "base/representation.h"
#include "storage/format/representation_json.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace quillmark {
namespace {

Representation rep(std::string encoder = "enc", std::uint64_t dim = 128, bool normalized = true) {
  return Representation::make(std::move(encoder), "r1", dim, normalized).value();
}

TEST(Representation, MakeChecksInOrder) {
  auto both_empty = Representation::make("", "", 0, false);
  ASSERT_FALSE(both_empty);
  EXPECT_EQ(both_empty.error().kind(), Error::Kind::InvalidInput);
  EXPECT_EQ(both_empty.error().text(), "representation encoder must not be empty");
  EXPECT_EQ(Representation::make("e", "", 0, false).error().text(),
            "representation encoder_revision must not be empty");
  EXPECT_EQ(Representation::make("e", "r", 0, false).error().text(), "representation dimension must be positive");
}

TEST(Representation, CompatibilityMessageListsEveryDifference) {
  EXPECT_TRUE(rep().assert_compatible(rep()));
  auto dim = rep("enc", 128).assert_compatible(rep("enc", 96));
  ASSERT_FALSE(dim);
  EXPECT_EQ(dim.error().kind(), Error::Kind::IncompatibleQuery);
  EXPECT_EQ(dim.error().text(), "representations differ (dimension: 128 != 96)");
  auto two = rep("a", 8, true).assert_compatible(rep("b\"\n", 8, false));
  EXPECT_EQ(two.error().text(), "representations differ (encoder: \"a\" != \"b\\\"\\n\"; normalized: true != false)");
  // Templates alone make two representations different.
  auto templated = rep().with_templates("q: {}", "");
  EXPECT_NE(templated, rep());
  EXPECT_EQ(rep().assert_compatible(templated).error().text(),
            "representations differ (query_template: \"\" != \"q: {}\")");
}

TEST(Representation, JsonRoundTripAndDefaults) {
  nlohmann::ordered_json out;
  auto original = rep().with_templates("q", "d");
  representation_to_json(original, out);
  EXPECT_EQ(out.dump(),
            R"({"encoder":"enc","encoder_revision":"r1","dimension":128,"normalized":true,"query_template":"q","document_template":"d"})");
  EXPECT_EQ(representation_from_json(nlohmann::json::parse(out.dump())).value(), original);
  auto no_templates = nlohmann::json::parse(R"({"encoder":"enc","encoder_revision":"r1","dimension":128,"normalized":true,"extra":1})");
  EXPECT_EQ(representation_from_json(no_templates).value(), rep());
}

TEST(Representation, JsonErrorsNameTheField) {
  auto parse = [](const char* text) { return representation_from_json(nlohmann::json::parse(text)); };
  EXPECT_EQ(parse(R"({"encoder":"e","encoder_revision":"r","dimension":0,"normalized":true})").error(),
            "representation dimension must be positive");
  EXPECT_NE(parse(R"({"encoder_revision":"r","dimension":1,"normalized":true})").error().find("encoder"),
            std::string::npos);
  EXPECT_NE(parse(R"({"encoder":"e","encoder_revision":"r","dimension":-1,"normalized":true})").error().find("dimension"),
            std::string::npos);
  EXPECT_NE(parse(R"({"encoder":"e","encoder_revision":"r","dimension":1,"normalized":1})").error().find("normalized"),
            std::string::npos);
  EXPECT_NE(parse(R"({"encoder":"e","encoder_revision":"r","dimension":1,"normalized":true,"query_template":null})")
                .error()
                .find("query_template"),
            std::string::npos);
}

}  // namespace
}  // namespace quillmark
