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

// The listing's query and fields, the same for the whole set and for one
// file, so that both list a face alike. Owns what it builds.
class ListQuery {
 public:
  ListQuery() {
    query_ = FcPatternCreate();
    // The first family and style values are then the default (English) names.
    if (query_) FcPatternAddString(query_, FC_NAMELANG, reinterpret_cast<const FcChar8*>("en"));
    // Index and variable are asked for so fontconfig never merges two faces
    // that agree on everything else.
    objects_ = FcObjectSetBuild(FC_FILE, FC_INDEX, FC_FAMILY, FC_FAMILYLANG, FC_STYLE, FC_STYLELANG,
                                FC_POSTSCRIPT_NAME, FC_WEIGHT, FC_WIDTH, FC_SLANT, FC_FONTFORMAT,
                                FC_SCALABLE, FC_OUTLINE, FC_VARIABLE, static_cast<char*>(nullptr));
  }
  ~ListQuery() {
    if (objects_) FcObjectSetDestroy(objects_);
    if (query_) FcPatternDestroy(query_);
  }
  ListQuery(const ListQuery&) = delete;
  ListQuery& operator=(const ListQuery&) = delete;

  bool ok() const { return query_ && objects_; }
  FcPattern* query() const { return query_; }
  FcObjectSet* objects() const { return objects_; }

 private:
  FcPattern* query_ = nullptr;
  FcObjectSet* objects_ = nullptr;
};

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

void FaceListing::listAll(FcConfig* config) {
  ListQuery list;
  if (list.ok()) adopt(FcFontList(config, list.query(), list.objects()));
}

void FaceListing::listSet(FcConfig* config, FcFontSet* fonts) {
  ListQuery list;
  FcFontSet* sets[] = {fonts};
  if (list.ok()) adopt(FcFontSetList(config, sets, 1, list.query(), list.objects()));
}

void FaceListing::sort() { std::sort(faces.begin(), faces.end(), listedBefore); }

void FaceListing::adopt(FcFontSet* listed) {
  if (!listed) return;
  sets_.push_back(listed);
  faces.reserve(faces.size() + static_cast<size_t>(listed->nfont));
  for (int i = 0; i < listed->nfont; ++i) {
    FcPattern* pattern = listed->fonts[i];
    // A variable font's whole-font pattern describes ranges, not a face.
    if (boolValue(pattern, FC_VARIABLE, false)) continue;
    FcChar8* file = nullptr;
    if (FcPatternGetString(pattern, FC_FILE, 0, &file) != FcResultMatch) continue;
    ListedFace face;
    face.file = reinterpret_cast<const char*>(file);
    if (FcPatternGetInteger(pattern, FC_INDEX, 0, &face.index) != FcResultMatch) face.index = 0;
    face.name = stringValue(pattern, FC_POSTSCRIPT_NAME);
    int slantValue;
    std::optional<int> slant;
    if (FcPatternGetInteger(pattern, FC_SLANT, 0, &slantValue) == FcResultMatch) slant = slantValue;
    FcChar8* format = nullptr;
    FcPatternGetString(pattern, FC_FONTFORMAT, 0, &format);
    face.traits = FaceTraits::fromFontconfig(
        numberValue(pattern, FC_WEIGHT), numberValue(pattern, FC_WIDTH), slant,
        reinterpret_cast<const char*>(format), boolValue(pattern, FC_SCALABLE, false));
    // The default (English) name first; the localised one picked among all.
    auto pick = [&](const char* nameObject, const char* langObject, std::string_view* name,
                    std::string_view* localized, uint8_t has, uint8_t differs) {
      tagged_.clear();
      for (int k = 0;; ++k) {
        FcChar8* value = nullptr;
        if (FcPatternGetString(pattern, nameObject, k, &value) != FcResultMatch) break;
        tagged_.emplace_back(reinterpret_cast<const char*>(value),
                             stringValue(pattern, langObject, k));
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
    pick(FC_STYLE, FC_STYLELANG, &face.names.style, &face.names.localizedStyle,
         FaceTraits::kHasStyle, FaceTraits::kLocalizedStyleDiffers);
    faces.push_back(face);
  }
}

}  // namespace kavri
