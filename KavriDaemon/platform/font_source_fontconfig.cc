#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <map>
#include <tuple>
#include <utility>

#include "platform/font_source.h"
#include "platform/fontconfig_faces.h"
#include "platform/freetype_face_check.h"
#include "server/utf8.h"

namespace kavri {
namespace {

// The user's preferred languages as lower-case tags ("ja-jp", then "ja").
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

// The name for the first preferred language that one is tagged with; a tag
// "zh-cn" also serves a plain "zh". No match: the default (first) name.
const std::string* localizedName(const std::vector<LangName>& names,
                                 const std::vector<std::string>& languages) {
  if (names.empty()) return nullptr;
  for (const std::string& want : languages) {
    for (const LangName& n : names) {
      if (sameLetters(n.lang, want)) return &n.name;
    }
  }
  for (const std::string& want : languages) {
    for (const LangName& n : names) {
      if (n.lang.size() > want.size() && n.lang[want.size()] == '-' &&
          sameLetters(std::string_view(n.lang).substr(0, want.size()), want)) {
        return &n.name;
      }
    }
  }
  return &names.front().name;
}

std::optional<std::string> valueOrNothing(const std::string* text) {
  if (!text) return std::nullopt;
  return *text;
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

std::optional<FontFormat> formatOf(const FontconfigFace& face) {
  if (!face.fontFormat) return std::nullopt;
  if (!face.scalable) return FontFormat::kBitmap;
  const std::string& format = *face.fontFormat;
  if (format == "CFF") return FontFormat::kOpenTypePostScript;
  if (format == "TrueType") return FontFormat::kOpenTypeTrueType;
  if (format == "Type 1" || format == "CID Type 1") return FontFormat::kPostScript;
  return FontFormat::kUnrecognized;
}

class FontconfigFontSource : public FontSource {
 public:
  explicit FontconfigFontSource(bool reload) : languages_(preferredLanguages()) {
    if (reload) {
      std::shared_ptr<const FontconfigSet> previous = currentFontconfigSet();
      setCurrentFontconfigSet(FontconfigSet::load(previous.get(), {}));
    }
  }
  FontconfigFontSource(const FontconfigFontSource&) = delete;
  FontconfigFontSource& operator=(const FontconfigFontSource&) = delete;

  std::vector<ListedFont> availableFonts() override {
    refresh();
    return listed_;
  }

  std::optional<FontDescription> openFont(const ListedFont& font) override {
    refresh();
    std::optional<size_t> position = find(font);
    if (!position) return std::nullopt;
    const FontconfigFace* face = &set_->faces()[*position];
    const FaceCheck& opened = checks_.check(*position);
    if (!opened.opened) return std::nullopt;

    FontDescription description;
    // Names come from fontconfig as UTF-8; a path is whatever bytes the file
    // system holds.
    if (isValidUtf8(face->file)) description.path = face->file;
    description.format = formatOf(*face);
    description.family =
        valueOrNothing(face->families.empty() ? nullptr : &face->families.front().name);
    description.style = valueOrNothing(face->styles.empty() ? nullptr : &face->styles.front().name);
    description.localizedFamily = valueOrNothing(localizedName(face->families, languages_));
    description.localizedStyle = valueOrNothing(localizedName(face->styles, languages_));
    description.weight = weightTrait(face->weight);
    description.width = widthTrait(face->width);
    description.slant = slantTrait(face->slant);
    return description;
  }

 private:
  // Follows the current load of the font set; keeps FreeType's findings
  // only for faces still listed, so memory tracks the set, not its history.
  void refresh() {
    std::shared_ptr<const FontconfigSet> set = currentFontconfigSet();
    if (set == set_) return;
    set_ = std::move(set);
    listed_.clear();
    std::vector<FaceToCheck> faces;
    if (set_) {
      faces.reserve(set_->faces().size());
      for (const FontconfigFace& face : set_->faces()) {
        faces.push_back({&face.file, face.index, set_->indexedAtNs(face.file)});
      }
    }
    checks_.refresh(faces);
    if (!set_) return;
    listed_.reserve(set_->faces().size());
    for (size_t i = 0; i < set_->faces().size(); ++i) {
      const FontconfigFace& face = set_->faces()[i];
      ListedFont font{face.postscriptName.value_or(std::string()), face.file, face.index, i};
      if ((face.index >> 16) != 0) {
        const FaceCheck& opened = checks_.check(i);
        if (opened.postscriptName) font.name = *opened.postscriptName;
      }
      listed_.push_back(std::move(font));
    }
  }

  // The position of a listed face in the current load.
  std::optional<size_t> find(const ListedFont& font) const {
    if (!set_) return std::nullopt;
    const std::vector<FontconfigFace>& faces = set_->faces();
    if (font.position < faces.size() && faces[font.position].index == font.index &&
        faces[font.position].file == font.file) {
      return font.position;
    }
    auto key = [](const std::string& file, int index) {
      return std::tuple(std::string_view(file), index & 0xffff, static_cast<unsigned>(index) >> 16);
    };
    auto it = std::lower_bound(
        faces.begin(), faces.end(), key(font.file, font.index),
        [&](const FontconfigFace& f, const auto& k) { return key(f.file, f.index) < k; });
    if (it == faces.end() || it->file != font.file || it->index != font.index) return std::nullopt;
    return static_cast<size_t>(it - faces.begin());
  }

  std::vector<std::string> languages_;
  std::shared_ptr<const FontconfigSet> set_;
  std::vector<ListedFont> listed_;
  FaceCheckCache checks_;
};

}  // namespace

FontSource::~FontSource() = default;

FontSource& FontSource::shared() {
  static FontSource* source = new FontconfigFontSource(/*reload=*/false);
  return *source;
}

std::unique_ptr<FontSource> FontSource::create() {
  return std::make_unique<FontconfigFontSource>(/*reload=*/true);
}

}  // namespace kavri
