#include "platform/fontconfig/installed_face.h"

#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <optional>

#include "base/utf8.h"

namespace kavri {
namespace {

bool sameLetters(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// The anchors the weight converter maps back to each class. They must be
// single-precision: a double 0.62 would come back as 800, not 900.
constexpr float kWeightAnchors[9] = {-0.8f, -0.6f, -0.4f, 0.0f, 0.23f, 0.3f, 0.4f, 0.56f, 0.62f};

// Nearest of 1..9 to `x`, an exact half going toward `middle`.
int roundTowardMiddle(double x, int middle) {
  double low = std::floor(x);
  double fraction = x - low;
  int result;
  if (fraction < 0.5) {
    result = static_cast<int>(low);
  } else if (fraction > 0.5) {
    result = static_cast<int>(low) + 1;
  } else {
    result = low >= middle ? static_cast<int>(low) : static_cast<int>(low) + 1;
  }
  return std::clamp(result, 1, 9);
}

float weightTrait(std::optional<double> fcWeight) {
  if (!fcWeight || std::isnan(*fcWeight)) return 0.0f;
  double openType = std::clamp(FcWeightToOpenTypeDouble(*fcWeight), 100.0, 900.0);
  return kWeightAnchors[roundTowardMiddle(openType / 100.0, 4) - 1];
}

float widthTrait(std::optional<double> fcWidth) {
  if (!fcWidth || std::isnan(*fcWidth)) return 0.0f;
  static constexpr double kClassWidths[9] = {50, 63, 75, 87, 100, 113, 125, 150, 200};
  double w = std::clamp(*fcWidth, kClassWidths[0], kClassWidths[8]);
  double position = 9;
  for (int i = 0; i < 8; ++i) {
    if (w <= kClassWidths[i + 1]) {
      position = i + 1 + (w - kClassWidths[i]) / (kClassWidths[i + 1] - kClassWidths[i]);
      break;
    }
  }
  int widthClass = roundTowardMiddle(position, 5);
  return static_cast<float>((widthClass - 5) * 2.0 / 9.0);
}

// Only upright or not matters to the catalogue; a leaning face gets a
// nominal slant of 5 degrees on the platform's scale (1.0 = 30 degrees).
constexpr float kLeaningSlant = 1.0f / 6.0f;

float slantTrait(std::optional<int> fcSlant) {
  return fcSlant && *fcSlant != FC_SLANT_ROMAN ? kLeaningSlant : 0.0f;
}

std::optional<FontFormat> formatOf(const char* fontFormat, bool scalable) {
  if (!fontFormat) return std::nullopt;
  if (!scalable) return FontFormat::kBitmap;
  std::string_view format = fontFormat;
  if (format == "CFF") return FontFormat::kOpenTypePostScript;
  if (format == "TrueType") return FontFormat::kOpenTypeTrueType;
  if (format == "Type 1" || format == "CID Type 1") return FontFormat::kPostScript;
  return FontFormat::kUnrecognized;
}

}  // namespace

std::vector<std::string> preferredLanguages() {
  std::vector<std::string> raw;
  const char* language = getenv("LANGUAGE");
  if (language && *language) {
    std::string list = language;
    size_t start = 0;
    while (start <= list.size()) {
      size_t colon = list.find(':', start);
      if (colon == std::string::npos) colon = list.size();
      if (colon > start) raw.push_back(list.substr(start, colon - start));
      start = colon + 1;
    }
  } else {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
      const char* value = getenv(name);
      if (value && *value) {
        raw.push_back(value);
        break;
      }
    }
  }
  std::vector<std::string> tags;
  for (const std::string& locale : raw) {
    std::string tag = locale.substr(0, locale.find_first_of(".@"));
    if (tag.empty() || tag == "C" || tag == "POSIX") continue;
    for (char& c : tag) {
      c = c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    tags.push_back(tag);
    size_t dash = tag.find('-');
    if (dash != std::string::npos) tags.push_back(tag.substr(0, dash));
  }
  return tags;
}

size_t localizedName(const std::vector<TaggedName>& names,
                     const std::vector<std::string>& languages) {
  for (const std::string& want : languages) {
    for (size_t i = 0; i < names.size(); ++i) {
      if (sameLetters(names[i].second, want)) return i;
    }
  }
  for (const std::string& want : languages) {
    for (size_t i = 0; i < names.size(); ++i) {
      std::string_view lang = names[i].second;
      if (lang.size() > want.size() && lang[want.size()] == '-' &&
          sameLetters(lang.substr(0, want.size()), want)) {
        return i;
      }
    }
  }
  return 0;
}

void FaceNames::packInto(std::string* out) const {
  for (std::string_view name : {family, style, localizedFamily, localizedStyle}) {
    out->append(name);
    out->push_back('\0');
  }
  out->append(otherFamilies);
}

FaceNames FaceNames::unpack(std::string_view packed) {
  std::string_view fields[4];
  for (std::string_view& field : fields) {
    size_t end = packed.find('\0');
    field = packed.substr(0, end);
    packed.remove_prefix(end == std::string_view::npos ? packed.size() : end + 1);
  }
  return FaceNames{fields[0], fields[1], fields[2], fields[3], packed};
}

FaceTraits FaceTraits::fromFontconfig(std::optional<double> weight, std::optional<double> width,
                                      std::optional<int> slant, const char* fontFormat,
                                      bool scalable) {
  FaceTraits traits;
  std::optional<FontFormat> format = formatOf(fontFormat, scalable);
  traits.format = format ? static_cast<int8_t>(*format) : -1;
  traits.weight = weightTrait(weight);
  traits.width = widthTrait(width);
  traits.slant = slantTrait(slant);
  return traits;
}

FontDescription describeFace(std::string_view file, const FaceNames& names,
                             const FaceTraits& traits) {
  FontDescription d;
  // Names come from fontconfig as UTF-8; a path is whatever bytes the file
  // system holds.
  if (isValidUtf8(file)) d.path = std::string(file);
  if (traits.format >= 0) d.format = static_cast<FontFormat>(traits.format);
  if (traits.flags & FaceTraits::kHasFamily) {
    d.family = std::string(names.family);
    d.localizedFamily = (traits.flags & FaceTraits::kLocalizedFamilyDiffers)
                            ? std::string(names.localizedFamily)
                            : *d.family;
  }
  if (traits.flags & FaceTraits::kHasStyle) {
    d.style = std::string(names.style);
    d.localizedStyle = (traits.flags & FaceTraits::kLocalizedStyleDiffers)
                           ? std::string(names.localizedStyle)
                           : *d.style;
  }
  d.weight = traits.weight;
  d.width = traits.width;
  d.slant = traits.slant;
  return d;
}

}  // namespace kavri
