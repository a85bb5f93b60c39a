#include "fonts/utf8.h"

#include <gtest/gtest.h>

namespace kavri {
namespace {

TEST(Utf8Test, AcceptsWellFormedText) {
  EXPECT_TRUE(isValidUtf8(""));
  EXPECT_TRUE(isValidUtf8("Regular"));
  EXPECT_TRUE(isValidUtf8("IPAゴシック"));
  EXPECT_TRUE(isValidUtf8("\xf0\x9f\x98\x80"));  // U+1F600
  EXPECT_TRUE(isValidUtf8("\xf4\x8f\xbf\xbf"));  // U+10FFFF
}

TEST(Utf8Test, RejectsMalformedText) {
  EXPECT_FALSE(isValidUtf8("bad\xff.ttf"));
  EXPECT_FALSE(isValidUtf8("\xc0\xaf"));          // overlong '/'
  EXPECT_FALSE(isValidUtf8("\xed\xa0\x80"));      // surrogate
  EXPECT_FALSE(isValidUtf8("\xf4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(isValidUtf8("\xe3\x82"));          // cut short
  EXPECT_FALSE(isValidUtf8("\x80"));
}

TEST(Utf8Test, PrintableTextEscapesOnlyWhatIsUnsafe) {
  EXPECT_EQ(printableText("IPAゴシック"), "IPAゴシック");
  EXPECT_EQ(printableText("bad\xff.ttf"), "bad\\xff.ttf");
  EXPECT_EQ(printableText("two\nlines"), "two\\x0alines");
  EXPECT_EQ(printableText("\xe3\x82"), "\\xe3\\x82");
}

}  // namespace
}  // namespace kavri
