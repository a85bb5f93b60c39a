#include "platform/fontconfig/font_file_query.h"

#include <utility>

namespace kavri {
namespace {

// Owns a font set and the patterns in it.
class OwnedFontSet {
 public:
  OwnedFontSet() : set_(FcFontSetCreate()) {}
  ~OwnedFontSet() {
    if (set_) FcFontSetDestroy(set_);
  }
  OwnedFontSet(const OwnedFontSet&) = delete;
  OwnedFontSet& operator=(const OwnedFontSet&) = delete;
  FcFontSet* get() const { return set_; }
  FcFontSet* release() { return std::exchange(set_, nullptr); }

 private:
  FcFontSet* set_;
};

}  // namespace

void queryFontFile(FcConfig* config, const FontconfigRules& rules, const std::string& path,
                   FaceListing* out) {
  OwnedFontSet queried;
  OwnedFontSet accepted;
  if (!queried.get() || !accepted.get()) return;
  // Every face and named instance, as fontconfig's directory scan asks.
  FcFreeTypeQueryAll(reinterpret_cast<const FcChar8*>(path.c_str()), static_cast<unsigned>(-1),
                     nullptr, nullptr, queried.get());
  for (int i = 0; i < queried.get()->nfont; ++i) {
    FcPattern* font = queried.get()->fonts[i];
    // A failed edit leaves the face as it was, as in fontconfig's scan.
    FcConfigSubstitute(config, font, FcMatchScan);
    // The same two tests, in the same order, as fontconfig's load applies.
    FcChar8* file = nullptr;
    if (FcPatternGetString(font, FC_FILE, 0, &file) == FcResultMatch &&
        !rules.acceptsFile(reinterpret_cast<const char*>(file))) {
      continue;
    }
    if (!rules.acceptsFont(config, font)) continue;
    FcPatternReference(font);
    if (!FcFontSetAdd(accepted.get(), font)) FcPatternDestroy(font);
  }
  out->listSet(accepted.release());
}

}  // namespace kavri
