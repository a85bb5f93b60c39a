#include "platform/fontconfig/fontconfig_faces.h"

#include <algorithm>
#include <optional>
#include <tuple>
#include <utility>

namespace kavri {
namespace {

std::string_view stringValue(FcPattern* pattern, const char* object, int i = 0) {
  FcChar8* value = nullptr;
  if (FcPatternGetString(pattern, object, i, &value) != FcResultMatch) return {};
  return reinterpret_cast<const char*>(value);
}

// Weights and widths may be stored as integers or doubles; a range (a
// variable font's whole-font pattern) is not a value.
std::optional<double> numberValue(FcPattern* pattern, const char* object) {
  FcValue value;
  if (FcPatternGet(pattern, object, 0, &value) != FcResultMatch) return std::nullopt;
  if (value.type == FcTypeInteger) return static_cast<double>(value.u.i);
  if (value.type == FcTypeDouble) return value.u.d;
  return std::nullopt;
}

bool boolValue(FcPattern* pattern, const char* object, bool fallback) {
  FcBool value;
  if (FcPatternGetBool(pattern, object, 0, &value) != FcResultMatch) return fallback;
  return value != FcFalse;
}

// Of a face's names, FcFontList puts first the one tagged with the name
// language asked for ("en"), else the first tagged with a territory of it
// ("en-US"), else the first: its position, from the names' language tags.
int defaultNamePosition(FcPattern* pattern, const char* langObject) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  int territory = -1;
  FcValue value;
  for (int i = 0; FcPatternGet(pattern, langObject, i, &value) == FcResultMatch; ++i) {
    if (value.type != FcTypeString) continue;
    const char* tag = reinterpret_cast<const char*>(value.u.s);
    if (lower(tag[0]) != 'e' || lower(tag[1]) != 'n') continue;
    if (tag[2] == '\0') return i;
    if (tag[2] == '-' && territory < 0) territory = i;
  }
  return territory > 0 ? territory : 0;
}

// Where FcFontList's `listed`-th value of an object comes from, the value
// at `first` having been moved to the front.
int listedValue(int listed, int first) {
  if (listed == 0) return first;
  return listed <= first ? listed - 1 : listed;
}

}  // namespace

bool listedBefore(const ListedFace& a, const ListedFace& b) {
  if (a.file != b.file) return a.file < b.file;
  if (a.index != b.index) {
    return std::pair(a.index & 0xffff, static_cast<unsigned>(a.index) >> 16) <
           std::pair(b.index & 0xffff, static_cast<unsigned>(b.index) >> 16);
  }
  auto rest = [](const ListedFace& f) {
    return std::tie(f.name, f.names.family, f.names.style, f.names.localizedFamily,
                    f.names.localizedStyle, f.traits.weight, f.traits.width, f.traits.slant,
                    f.traits.format, f.traits.flags);
  };
  return rest(a) < rest(b);
}

FaceListing::~FaceListing() {
  for (FcFontSet* set : sets_) FcFontSetDestroy(set);
}

void FaceListing::listAll(FcConfig* config, const Known& known) {
  for (FcSetName which : {FcSetSystem, FcSetApplication}) {
    if (FcFontSet* set = FcConfigGetFonts(config, which)) list(set, known);
  }
}

void FaceListing::listSet(FcFontSet* fonts) {
  if (!fonts) return;
  sets_.push_back(fonts);
  list(fonts, nullptr);
}

void FaceListing::sort() {
  // fontconfig lists a directory at a time, in file order: runs in order
  // already, merged pairwise.
  std::vector<size_t> runs = {0};
  for (size_t i = 1; i < faces.size(); ++i) {
    if (listedBefore(faces[i], faces[i - 1])) runs.push_back(i);
  }
  runs.push_back(faces.size());
  while (runs.size() > 2) {
    std::vector<size_t> merged;
    for (size_t r = 0; r + 2 < runs.size(); r += 2) {
      std::inplace_merge(faces.begin() + static_cast<long>(runs[r]),
                         faces.begin() + static_cast<long>(runs[r + 1]),
                         faces.begin() + static_cast<long>(runs[r + 2]), listedBefore);
      merged.push_back(runs[r]);
    }
    if (runs.size() % 2 == 0) merged.push_back(runs[runs.size() - 2]);
    merged.push_back(faces.size());
    runs = std::move(merged);
  }
  faces.erase(std::unique(faces.begin(), faces.end(),
                          [](const ListedFace& a, const ListedFace& b) {
                            return !listedBefore(a, b) && !listedBefore(b, a);
                          }),
              faces.end());
}

void appendFamilyNames(FcPattern* font, std::string* out) {
  FcChar8* family = nullptr;
  for (int k = 0; FcPatternGetString(font, FC_FAMILY, k, &family) == FcResultMatch; ++k) {
    out->append(reinterpret_cast<const char*>(family));
    out->push_back('\0');
  }
}

void FaceListing::list(FcFontSet* set, const Known& known) {
  faces.reserve(faces.size() + static_cast<size_t>(set->nfont));
  for (int i = 0; i < set->nfont; ++i) add(set->fonts[i], known);
}

void FaceListing::add(FcPattern* pattern, const Known& known) {
  // A variable font's whole-font pattern describes ranges, not a face.
  if (boolValue(pattern, FC_VARIABLE, false)) return;
  FcChar8* file = nullptr;
  if (FcPatternGetString(pattern, FC_FILE, 0, &file) != FcResultMatch) return;
  ListedFace face;
  face.file = reinterpret_cast<const char*>(file);
  if (FcPatternGetInteger(pattern, FC_INDEX, 0, &face.index) != FcResultMatch) face.index = 0;
  if (known && known(face.file, face.index, &face)) {
    faces.push_back(face);
    return;
  }
  face.name = stringValue(pattern, FC_POSTSCRIPT_NAME);
  int slantValue;
  std::optional<int> slant;
  if (FcPatternGetInteger(pattern, FC_SLANT, 0, &slantValue) == FcResultMatch) slant = slantValue;
  FcChar8* format = nullptr;
  FcPatternGetString(pattern, FC_FONTFORMAT, 0, &format);
  face.traits = FaceTraits::fromFontconfig(
      numberValue(pattern, FC_WEIGHT), numberValue(pattern, FC_WIDTH), slant,
      reinterpret_cast<const char*>(format), boolValue(pattern, FC_SCALABLE, false));
  // The default (English) name first; the localised one picked among all,
  // in the order FcFontList gives them.
  auto pick = [&](const char* nameObject, const char* langObject, std::string_view* name,
                  std::string_view* localized, uint8_t has, uint8_t differs) {
    // Moved to the front of each list that has a value there.
    int first = defaultNamePosition(pattern, langObject);
    FcValue value;
    int namesFirst = first > 0 && FcPatternGet(pattern, nameObject, first, &value) == FcResultMatch
                         ? first
                         : 0;
    int langsFirst = first > 0 && FcPatternGet(pattern, langObject, first, &value) == FcResultMatch
                         ? first
                         : 0;
    tagged_.clear();
    for (int k = 0;; ++k) {
      FcChar8* name = nullptr;
      if (FcPatternGetString(pattern, nameObject, listedValue(k, namesFirst), &name) !=
          FcResultMatch) {
        break;
      }
      tagged_.emplace_back(reinterpret_cast<const char*>(name),
                           stringValue(pattern, langObject, listedValue(k, langsFirst)));
    }
    if (tagged_.empty()) return;
    face.traits.flags |= has;
    *name = tagged_.front().first;
    std::string_view chosen = tagged_[localizedName(tagged_, languages_)].first;
    if (chosen != *name) {
      face.traits.flags |= differs;
      *localized = chosen;
    }
  };
  pick(FC_FAMILY, FC_FAMILYLANG, &face.names.family, &face.names.localizedFamily,
       FaceTraits::kHasFamily, FaceTraits::kLocalizedFamilyDiffers);
  std::string others;
  for (const auto& [family, language] : tagged_) {
    if (family != face.names.family && family != face.names.localizedFamily) {
      others.append(family);
      others.push_back('\0');
    }
  }
  if (!others.empty()) face.names.otherFamilies = otherFamilies_.emplace_back(std::move(others));
  pick(FC_STYLE, FC_STYLELANG, &face.names.style, &face.names.localizedStyle,
       FaceTraits::kHasStyle, FaceTraits::kLocalizedStyleDiffers);
  faces.push_back(face);
}

}  // namespace kavri
