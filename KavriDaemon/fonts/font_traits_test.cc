#include "fonts/font_traits.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kavri {
namespace {

// The scanner hands over single-precision traits widened to double.
double widened(float f) { return static_cast<double>(f); }

TEST(FontTraitsTest, WeightTableOfWidenedInputs) {
  struct Case {
    float weight;
    int32_t css;
  } cases[] = {{-1.0f, 100}, {-0.8f, 100},  {-0.6f, 200}, {-0.4f, 300}, {-0.39f, 400},
               {0.0f, 400},  {0.229f, 400}, {0.23f, 500}, {0.3f, 600},  {0.4f, 700},
               {0.56f, 800}, {0.62f, 900},  {2.0f, 900},  {-2.0f, 100}};
  for (const Case& c : cases) {
    EXPECT_EQ(CTWeightToCSSWeight(widened(c.weight)), c.css) << c.weight;
  }
}

TEST(FontTraitsTest, WeightThresholdsAreSinglePrecision) {
  // A double 0.62 sits below the widened 0.62f and gives one class less.
  EXPECT_EQ(CTWeightToCSSWeight(0.62), 800);
  EXPECT_EQ(CTWeightToCSSWeight(0.6200000047683716), 900);
  EXPECT_EQ(CTWeightToCSSWeight(0.56), 700);
  EXPECT_EQ(CTWeightToCSSWeight(0.23), 400);
  // The lower thresholds are doubles: -0.4 exactly is still 300.
  EXPECT_EQ(CTWeightToCSSWeight(-0.4), 300);
  EXPECT_EQ(CTWeightToCSSWeight(std::nextafter(-0.4, 0.0)), 400);
  EXPECT_EQ(CTWeightToCSSWeight(std::numeric_limits<double>::quiet_NaN()), 400);
}

TEST(FontTraitsTest, WidthTableOfWidenedInputs) {
  struct Case {
    float width;
    int32_t stretch;
  } cases[] = {{-1.0f, 1}, {-0.8f, 1}, {-0.6f, 2}, {-0.4f, 3}, {-0.2f, 4}, {0.0f, 5}, {0.23f, 6},
               {0.4f, 7},  {0.6f, 8},  {0.62f, 8}, {0.8f, 9},  {1.0f, 9},  {1.5f, 9}, {-1.5f, 1}};
  for (const Case& c : cases) {
    EXPECT_EQ(CTWidthToFontStretch(widened(c.width)), c.stretch) << c.width;
  }
}

TEST(FontTraitsTest, WidthStepEdgesAndNaN) {
  // s = (w + 1) * 4.5: s just below 1 is step 1, s == 1 is step 2.
  EXPECT_EQ(CTWidthToFontStretch(1.0 / 4.5 - 1.0 - 1e-12), 1);
  EXPECT_EQ(CTWidthToFontStretch(-7.0 / 9.0 + 1e-12), 2);
  EXPECT_EQ(CTWidthToFontStretch(std::numeric_limits<double>::quiet_NaN()), 9);
}

}  // namespace
}  // namespace kavri
