#include "base/utf8.h"

#include <gtest/gtest.h>

namespace kavri {
namespace {

TEST(Utf8Test, AcceptsWellFormedText) {
  for (const char* text : {"", "CHECK FOR UPDATES", "Noto Sans 日本語", "Ωmega", "\xF0\x9F\x98\x80",
                           "\xF4\x8F\xBF\xBF", "\xED\x9F\xBF", "\xEE\x80\x80"})
    EXPECT_TRUE(isValidUtf8(text)) << text;
}

TEST(Utf8Test, RejectsMalformedText) {
  for (const char* text : {
           "\xFF", "\x80", "CHECK FOR UPDATES\xC3",  // stray or truncated bytes
           "\xC0\xAF", "\xE0\x80\xAF", "\xF0\x80\x80\xAF",  // overlong forms
           "\xED\xA0\x80", "\xED\xBF\xBF",                  // surrogates
           "\xF4\x90\x80\x80", "\xF5\x80\x80\x80",          // beyond U+10FFFF
           "\xE6\x97", "\xE6\x97\x41"})
    EXPECT_FALSE(isValidUtf8(text)) << testing::PrintToString(text);
}

}  // namespace
}  // namespace kavri
