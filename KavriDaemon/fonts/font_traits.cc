#include "fonts/font_traits.h"

namespace kavri {
namespace {

// The upper thresholds are single-precision constants; written as double
// literals they would sit a hair lower and a face declared at a float anchor
// (0.62f) would land one class low.
constexpr double kWeight900 = static_cast<double>(0.62f);
constexpr double kWeight800 = static_cast<double>(0.56f);
constexpr double kWeight700 = static_cast<double>(0.4f);
constexpr double kWeight600 = static_cast<double>(0.3f);
constexpr double kWeight500 = static_cast<double>(0.23f);
constexpr double kWeight100 = -0.8;
constexpr double kWeight200 = -0.6;
constexpr double kWeight300 = -0.4;

}  // namespace

int32_t CTWeightToCSSWeight(double weight) {
  if (weight >= kWeight900) return 900;
  if (weight >= kWeight800) return 800;
  if (weight >= kWeight700) return 700;
  if (weight >= kWeight600) return 600;
  if (weight >= kWeight500) return 500;
  if (weight <= kWeight100) return 100;
  if (weight <= kWeight200) return 200;
  if (weight <= kWeight300) return 300;
  return 400;
}

int32_t CTWidthToFontStretch(double width) {
  double step = (width + 1.0) * 0.5 * 9.0;
  for (int32_t k = 1; k <= 8; ++k) {
    if (step < k) return k;
  }
  return 9;
}

}  // namespace kavri
