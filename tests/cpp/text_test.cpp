#include "base/text.h"

#include <gtest/gtest.h>

#include <unordered_set>

namespace quillmark {
namespace {

TEST(DebugForm, EscapesLikeAQuotedLiteral) {
  EXPECT_EQ(debug_form(""), "\"\"");
  EXPECT_EQ(debug_form("plain 'single' quotes"), "\"plain 'single' quotes\"");
  EXPECT_EQ(debug_form("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(debug_form("t\tr\rn\n"), "\"t\\tr\\rn\\n\"");
  EXPECT_EQ(debug_form(std::string("nul\0x", 5)), "\"nul\\0x\"");
  EXPECT_EQ(debug_form("\x01\x7f"), "\"\\u{1}\\u{7f}\"");
  EXPECT_EQ(debug_form("caf\xc3\xa9 \xf0\x9f\x98\x80"), "\"caf\xc3\xa9 \xf0\x9f\x98\x80\"");
  EXPECT_EQ(debug_form("\xc2\x85"), "\"\\u{85}\"");  // C1 control
}

TEST(SharedText, ValueSemanticsAndOrder) {
  SharedText a("doc-1"), b(std::string("doc-1")), c("doc-2"), empty;
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_LT(a, c);
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(empty, SharedText(""));
  // Byte-wise order: bytes above 0x7f sort after ASCII.
  EXPECT_LT(SharedText("z"), SharedText("\xc3\xa9"));
  std::unordered_set<SharedText> set = {a, b, c};
  EXPECT_EQ(set.size(), 2u);
  SharedText copy = a;
  EXPECT_EQ(copy.view().data(), a.view().data()) << "copies share the bytes";
}

}  // namespace
}  // namespace quillmark
