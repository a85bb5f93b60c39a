#ifndef KAVRI_PLATFORM_FONTCONFIG_INSTALLED_FACE_H_
#define KAVRI_PLATFORM_FONTCONFIG_INSTALLED_FACE_H_

// Linux-internal: what the catalogue keeps of one installed face, made once
// when fontconfig lists it and kept small, since a library holds tens of
// thousands.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/font_source.h"
#include "platform/fontconfig/freetype_face_check.h"

namespace kavri {

// The user's preferred languages as lower-case tags, most preferred first
// ("ja-jp", then "ja"), from LANGUAGE, else LC_ALL, LC_MESSAGES, LANG.
std::vector<std::string> preferredLanguages();

// A name and the language it is tagged with ("" when untagged).
using TaggedName = std::pair<std::string_view, std::string_view>;

// The position in `names` of the name for the first preferred language one
// is tagged with; a tag "zh-cn" also serves a plain "zh". No match: 0, the
// default name. `names` must not be empty.
size_t localizedName(const std::vector<TaggedName>& names,
                     const std::vector<std::string>& languages);

// Each of the names in `names`, each ended by a NUL.
template <typename F>
void forEachNulEnded(std::string_view names, F&& each) {
  while (!names.empty()) {
    size_t end = names.find('\0');
    each(names.substr(0, end));
    names.remove_prefix(end == std::string_view::npos ? names.size() : end + 1);
  }
}

// A face's names: views. A localised name equal to its default is left
// empty; the traits' flags say which names there are.
struct FaceNames {
  std::string_view family;
  std::string_view style;
  std::string_view localizedFamily;
  std::string_view localizedStyle;
  // fontconfig's other family names, each ended by a NUL: font selection
  // rules name families in any language.
  std::string_view otherFamilies;

  // The four, each ended by a NUL (fontconfig's strings hold none), then
  // the other families.
  void packInto(std::string* out) const;
  // Each family name, the other ones too.
  template <typename F>
  void forEachFamily(F&& each) const {
    if (!family.empty()) each(family);
    if (!localizedFamily.empty()) each(localizedFamily);
    forEachNulEnded(otherFamilies, each);
  }
  static FaceNames unpack(std::string_view packed);
  bool operator==(const FaceNames&) const = default;
};

// What the catalogue needs of a face besides its names, and whether FreeType
// opened it as its file was (`version`).
struct FaceTraits {
  enum Flags : uint8_t {
    kOpened = 1,
    kHasFamily = 2,
    kHasStyle = 4,
    kLocalizedFamilyDiffers = 8,
    kLocalizedStyleDiffers = 16,
  };

  // From fontconfig's values (a missing one reads as 0 on the platform's
  // scale); names' flags left to the caller.
  static FaceTraits fromFontconfig(std::optional<double> weight, std::optional<double> width,
                                   std::optional<int> slant, const char* fontFormat, bool scalable);

  FileVersion version;
  float weight = 0.0f;
  float width = 0.0f;
  float slant = 0.0f;
  int8_t format = -1;  // FontFormat, -1 when fontconfig names none
  uint8_t flags = 0;

  bool opened() const { return flags & kOpened; }
  void setCheck(const FileVersion& checked, bool open) {
    version = checked;
    flags = static_cast<uint8_t>(open ? flags | kOpened : flags & ~kOpened);
  }
  // The same description; the check aside.
  bool sameDescription(const FaceTraits& other) const {
    return weight == other.weight && width == other.width && slant == other.slant &&
           format == other.format && (flags & ~kOpened) == (other.flags & ~kOpened);
  }
};

// The font source's description of a face of `file` (its path when the path
// has a UTF-8 form).
FontDescription describeFace(std::string_view file, const FaceNames& names,
                             const FaceTraits& traits);

}  // namespace kavri

#endif  // KAVRI_PLATFORM_FONTCONFIG_INSTALLED_FACE_H_
