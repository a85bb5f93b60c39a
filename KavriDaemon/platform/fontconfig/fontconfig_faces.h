#ifndef KAVRI_PLATFORM_FONTCONFIG_FONTCONFIG_FACES_H_
#define KAVRI_PLATFORM_FONTCONFIG_FONTCONFIG_FACES_H_

// Linux-internal: faces as fontconfig lists them, read out of its patterns
// in place.

#include <fontconfig/fontconfig.h>

#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fontconfig/installed_face.h"

namespace kavri {

// One face as fontconfig lists it. Variable fonts appear as their named
// instances only. Its texts are views into the font set it came from.
struct ListedFace {
  std::string_view file;
  int index = 0;          // (named instance << 16) | face
  std::string_view name;  // fontconfig's PostScript name; empty when none
  FaceNames names;
  FaceTraits traits;
};

// The list order: file path, then face, then named instance; faces that tie
// on all three (fontconfig never makes such) by their other values, so the
// order never depends on the order fontconfig happened to list them in.
bool listedBefore(const ListedFace& a, const ListedFace& b);

// Appends each of `font`'s family names to `out`, each ended by a NUL.
void appendFamilyNames(FcPattern* font, std::string* out);

// Faces as FcFontList lists them (asking for every value the catalogue
// needs, with "en" as the name language), read in place from fontconfig's
// patterns: listing a large library through FcFontList costs a copy of
// every value of every face, made and freed again, several times what the
// catalogue keeps of it.
class FaceListing {
 public:
  // Localised names are picked for `languages`.
  explicit FaceListing(const std::vector<std::string>& languages) : languages_(languages) {}
  ~FaceListing();
  FaceListing(const FaceListing&) = delete;
  FaceListing& operator=(const FaceListing&) = delete;

  // A face listed before: given a pattern's file and index, fills in the
  // rest as it was listed, or says it was not.
  using Known = std::function<bool(std::string_view file, int index, ListedFace* face)>;

  // Every face of `config`'s font set; its texts are valid for as long as
  // that font set is (and those `known` gives for as long as they are).
  void listAll(FcConfig* config, const Known& known = nullptr);

  // The faces of `fonts` (patterns as fontconfig's scan makes them, which
  // the listing takes over) as they would be listed were they in a
  // configuration's font set.
  void listSet(FcFontSet* fonts);

  // In list order, a face FcFontList would merge with another (the same in
  // every value) listed once.
  void sort();

  std::vector<ListedFace> faces;

 private:
  void list(FcFontSet* set, const Known& known);
  void add(FcPattern* pattern, const Known& known);

  const std::vector<std::string>& languages_;
  std::vector<FcFontSet*> sets_;    // owned
  std::vector<TaggedName> tagged_;  // reused from pattern to pattern
  std::deque<std::string> otherFamilies_;  // the faces' views point here
};

}  // namespace kavri

#endif  // KAVRI_PLATFORM_FONTCONFIG_FONTCONFIG_FACES_H_
