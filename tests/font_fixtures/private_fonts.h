#ifndef KAVRI_TESTS_FONT_FIXTURES_PRIVATE_FONTS_H_
#define KAVRI_TESTS_FONT_FIXTURES_PRIVATE_FONTS_H_

#include <string>
#include <vector>

#include "test_util.h"

namespace kavri::testing {

// Fonts the test chooses, seen through a fontconfig configuration of their
// own: FONTCONFIG_FILE points at a generated fonts.conf whose only font
// directories are ROOT/fonts and `extraDirs` (which need not exist; relative
// ones are taken below ROOT), with the private cache directory ROOT/cache.
// Configuration files written to ROOT/conf.d are included. The previous FONTCONFIG_FILE comes back
// on destruction.
class PrivateFonts {
 public:
  explicit PrivateFonts(const std::vector<std::string>& extraDirs = {});
  ~PrivateFonts();
  PrivateFonts(const PrivateFonts&) = delete;
  PrivateFonts& operator=(const PrivateFonts&) = delete;

  const std::string& root() const { return dir_.path(); }
  std::string fontsDir() const { return dir_.file("fonts"); }
  std::string confDir() const { return dir_.file("conf.d"); }

  // Copies an installed font file into the fonts directory (as `name`, else
  // under its own name) and returns the copy's path.
  std::string add(const std::string& installedFont, const std::string& name = "");

 private:
  TempDir dir_;
  std::string previous_;
  bool hadPrevious_;
};

// Copies a file (whole, through a temporary name, then renamed into place).
bool copyFile(const std::string& from, const std::string& to);

// What fontTools reads from `files`, as the catalogue JSON text should carry it
// for a user who prefers `languages` (e.g. {"ja-jp", "ja"}).
std::string fontFacts(const std::vector<std::string>& languages,
                      const std::vector<std::string>& files);

// Writes a copy of the sfnt font `from` to `to` with its family renamed and,
// when given, its OS/2 weight and width classes replaced.
bool restyleFont(const std::string& from, const std::string& to, const std::string& family,
                 int weightClass = 0, int widthClass = 0);

// Writes copies of the sfnt font `from` into `dir`, family "Probe W<weight>S<width>",
// declaring every weight class 100..900 and every width class 1..9 (all
// widths at weight 400; widths 1, 5 and 9 at the others): 33 files.
bool makeClassProbes(const std::string& from, const std::string& dir);

// Writes the sfnt fonts `from` as one collection, in that order, to `to`.
bool makeCollection(const std::vector<std::string>& from, const std::string& to);

// Installed fonts the tests use (from the Debian packages in scripts/deps).
extern const char kDejaVuSans[];
extern const char kWenQuanYiZenHei[];  // a collection
extern const char kIpaGothic[];        // Japanese names
extern const char kInterVariable[];    // named instances
extern const char kInterThin[];        // typographic family differs
extern const char kTerminusOtb[];      // bitmap-only sfnt
extern const char kTerminusPcf[];      // PCF bitmap
extern const char kUrwType1[];         // Type 1
extern const char kUrwType1Binary[];   // Type 1, binary (.pfb)

}  // namespace kavri::testing

#endif  // KAVRI_TESTS_FONT_FIXTURES_PRIVATE_FONTS_H_
