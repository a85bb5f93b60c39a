#ifndef KAVRI_FONTS_FONT_TRAITS_H_
#define KAVRI_FONTS_FONT_TRAITS_H_

#include <cstdint>

namespace kavri {

// The platform's normalised traits run from -1.0 to 1.0 (0 = regular weight,
// normal width). The scanner reads them as single-precision numbers and widens
// them to double for these calls. Pure; any thread.

// The CSS weight, 100..900 in steps of 100. NaN and anything between -0.4
// (exclusive) and 0.23f (exclusive) count as regular, 400.
int32_t CTWeightToCSSWeight(double weight);

// The CSS font-stretch step, 1..9 (5 = normal). NaN gives 9.
int32_t CTWidthToFontStretch(double width);

}  // namespace kavri

#endif  // KAVRI_FONTS_FONT_TRAITS_H_
