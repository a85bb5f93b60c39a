#include "updater/version_compare.h"

#include <gtest/gtest.h>

namespace kavri {
namespace {

struct Case {
  const char* older;
  const char* newer;
};

TEST(VersionCompare, OrdersTableOfCases) {
  const Case cases[] = {
      {"1", "2"},
      {"1.0", "1.1"},
      {"1.9", "1.10"},
      {"1.0", "1.0.1"},
      {"1.0b1", "1.0"},
      {"1.0a1", "1.0b1"},
      {"1.0b1", "1.0b2"},
      {"1.0b9", "1.0b10"},
      {"1.0rc1", "1.0"},
      {"1.0.0b1", "1.0"},
      {"1.0b1", "1.0.1"},
      {"1.0", "1.0.0.1"},
      {"0.9.9", "1"},
      {"99", "100"},
      {"1.2.3", "1.2.10"},
      {"2.0 beta", "2.0.1"},
      {"123456789012345678901234567890", "123456789012345678901234567891"},
      {"", "1"},
  };
  for (const Case& c : cases) {
    EXPECT_LT(compareVersions(c.older, c.newer), 0) << c.older << " < " << c.newer;
    EXPECT_GT(compareVersions(c.newer, c.older), 0) << c.newer << " > " << c.older;
  }
}

TEST(VersionCompare, TrailingZerosAndLeadingZerosAreTheSameVersion) {
  const Case same[] = {
      {"1.0", "1.0.0"}, {"1", "1.0"}, {"1.0", "1.0.0.0"}, {"1.01", "1.1"},
      {"1.0b1", "1.0b1"}, {"007", "7"}, {"", ""}, {"1.0", "1.0."},
  };
  for (const Case& c : same) {
    EXPECT_EQ(compareVersions(c.older, c.newer), 0) << c.older << " == " << c.newer;
    EXPECT_EQ(compareVersions(c.newer, c.older), 0) << c.newer << " == " << c.older;
  }
}

TEST(VersionCompare, OrderStaysConsistentForOddInput) {
  // Found by fuzzing: equal versions must compare alike with a third.
  const char* a = "0..000";
  const char* b = "000000";
  const char* c = "0.0..!4";
  ASSERT_EQ(compareVersions(a, b), 0);
  EXPECT_EQ(compareVersions(a, c), compareVersions(b, c));
  EXPECT_EQ(compareVersions("1..1", "1.1"), 0);
}

TEST(VersionCompare, OddInputNeverCrashes) {
  EXPECT_GT(compareVersions("1..1", "1.a"), 0);
  EXPECT_NE(compareVersions("\xff\xfe", "1"), 0);
  EXPECT_EQ(compareVersions(std::string(10000, '9'), std::string(10000, '9')), 0);
}

}  // namespace
}  // namespace kavri
