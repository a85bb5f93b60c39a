#ifndef KAVRI_PLATFORM_FONT_SOURCE_H_
#define KAVRI_PLATFORM_FONT_SOURCE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavri {

// Format codes of an opened face, numbered as the font manager numbers them.
enum class FontFormat {
  kUnrecognized = 0,
  kOpenTypePostScript = 1,
  kOpenTypeTrueType = 2,
  kTrueType = 3,
  kPostScript = 4,
  kBitmap = 5,
};

// One entry of the font manager's list: the name under which the face is
// listed (its PostScript name) and where the source finds it again. The
// locator is the source's own business; callers only hand it back.
//
// `revision` lets a caller keep what it made of a file's faces: a source
// that gives a non-zero revision promises that the file's faces are listed
// together, in face order, that they open to descriptions whose path is the
// file's own (or none), and that as long as the revision stays the same
// they are the same faces and open to the same descriptions (short of the
// file vanishing unannounced). Revisions are never reused. 0 promises
// nothing.
//
// `name` and `file` are views into the source's list: they stay valid as
// long as the list they came from.
struct ListedFont {
  std::string_view name;  // not necessarily valid UTF-8
  std::string_view file;  // locator: file path bytes
  int index = 0;          // locator: face index within the file
  size_t position = 0;    // locator: a hint where the source keeps it
  uint64_t revision = 0;  // of the file's faces; see above
};

// What an opened face declares. A value the face lacks is left empty, and so
// is a path that has no UTF-8 text form (names are UTF-8 already). Traits
// are the platform's normalised ones (-1.0..1.0; 0 = regular, normal,
// upright); a missing trait reads as 0.
struct FontDescription {
  std::optional<std::string> path;
  std::optional<FontFormat> format;
  std::optional<std::string> family;
  std::optional<std::string> style;
  std::optional<std::string> localizedFamily;  // for the user's preferred languages
  std::optional<std::string> localizedStyle;
  float weight = 0.0f;
  float width = 0.0f;
  float slant = 0.0f;
};

// The installed fonts as the font manager sees them.
//
// Main thread only. The shared source's list reflects the platform's font
// set as FontSetNotifier last brought it up to date, which it does before it
// reports a change.
class FontSource {
 public:
  virtual ~FontSource();

  // The source for the installed fonts; lives for the whole process.
  static FontSource& shared();

  // A source of its own that takes a fresh look at the platform: the font
  // configuration (FONTCONFIG_FILE) and the fonts are loaded again, and the
  // locale variables are read now. It never changes after that, and the
  // shared source is left as it is. For tests.
  static std::unique_ptr<FontSource> create();

  // Every available face, in a stable order (file path, then face index), so
  // that two lists of an unchanged set are identical. Valid until the next
  // call or the next change of the font set, whichever comes first.
  virtual const std::vector<ListedFont>& availableFonts() = 0;

  // Opens a listed face and describes it. Empty when it cannot be opened:
  // its file gone or unreadable (its drive unmounted or gone), or no longer
  // holding that face. Cheap for a file unchanged since the platform read it
  // (one status lookup); a changed file is opened again. Nothing it opens
  // stays open past the current turn of the main loop, so a drive that holds
  // fonts can be unmounted between scans.
  virtual std::optional<FontDescription> openFont(const ListedFont& font) = 0;
};

}  // namespace kavri

#endif  // KAVRI_PLATFORM_FONT_SOURCE_H_
