#include "fonts/printable_text.h"

#include <gtest/gtest.h>

namespace kavri {
namespace {

TEST(PrintableTextTest, EscapesOnlyWhatIsUnsafe) {
  EXPECT_EQ(printableText("IPAゴシック"), "IPAゴシック");
  EXPECT_EQ(printableText("bad\xff.ttf"), "bad\\xff.ttf");
  EXPECT_EQ(printableText("two\nlines"), "two\\x0alines");
  EXPECT_EQ(printableText("\xe3\x82"), "\\xe3\\x82");
}

}  // namespace
}  // namespace kavri
