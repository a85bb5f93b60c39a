#include "platform/fontconfig/font_file_query.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_MULTIPLE_MASTERS_H
#include <fontconfig/fcfreetype.h>

#include <utility>

#include "platform/fontconfig/font_file_stream.h"

namespace kavri {
namespace {

// fontconfig's instance number for a variable face itself.
constexpr unsigned kVariableFace = 0x8000;

// Owns FreeType's description of a face's variations.
class MmVar {
 public:
  explicit MmVar(FT_Library library) : library_(library) {}
  ~MmVar() {
    if (var_) FT_Done_MM_Var(library_, var_);
  }
  MmVar(const MmVar&) = delete;
  MmVar& operator=(const MmVar&) = delete;
  FT_MM_Var* get() const { return var_; }
  FT_MM_Var** out() { return &var_; }

 private:
  FT_Library library_;
  FT_MM_Var* var_ = nullptr;
};

// A named instance at the default coordinates is the default instance again.
bool atDefault(const FT_MM_Var& mm, const FT_Var_Named_Style& instance) {
  for (FT_UInt i = 0; i < mm.num_axis; ++i) {
    if (instance.coords[i] != mm.axis[i].def) return false;
  }
  return true;
}

// False when fontconfig could make no pattern of the face as it stands.
bool addFace(FT_Face face, const std::string& path, unsigned id, FcFontSet* out) {
  FcPattern* font =
      FcFreeTypeQueryFace(face, reinterpret_cast<const FcChar8*>(path.c_str()), id, nullptr);
  if (!font) return false;
  if (!FcFontSetAdd(out, font)) FcPatternDestroy(font);
  return true;
}

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

// fontconfig 2.14's own walk, the one a cache is made with: it takes the
// number of named instances and their coordinates from the first face and
// applies them to every face of a collection, and a default or named
// instance it cannot read ends the walk. Only FreeType's reading differs.
void queryFontFaces(const std::string& path, FcFontSet* out) {
  FT_Library library = mainThreadFreeType();
  FontFile file(path.c_str());
  FontFace face;
  if (!file.open(library, 0, &face)) return;
  const unsigned faces = static_cast<unsigned>(face->num_faces);
  unsigned instances = static_cast<unsigned>(face->style_flags >> 16);
  MmVar mm(library);
  if (instances > 0) {
    FT_Get_MM_Var(face.get(), mm.out());
    if (!mm.get()) instances = 0;
  }
  for (unsigned index = 0; index < faces; ++index) {
    if (index > 0 && !file.open(library, index, &face)) return;
    // FreeType counts at most 0x7F00 named instances: kVariableFace is none of them.
    for (unsigned instance = 0; instance <= instances; ++instance) {
      if (instance > 0) {
        // fontconfig reads the instance from this face's own table: in a
        // collection whose later face has fewer, it would read past the end.
        if (instance > static_cast<unsigned>(face->style_flags >> 16)) return;
        const FT_Var_Named_Style& named = mm.get()->namedstyle[instance - 1];
        if (atDefault(*mm.get(), named)) continue;
        FT_Set_Var_Design_Coordinates(face.get(), mm.get()->num_axis, named.coords);
      }
      if (!addFace(face.get(), path, (instance << 16) + index, out)) return;
    }
    // Whether the face is variable at all is only known by asking.
    FT_Set_Var_Design_Coordinates(face.get(), 0, nullptr);
    addFace(face.get(), path, (kVariableFace << 16) + index, out);
  }
}

void queryFontFile(FcConfig* config, const FontconfigRules& rules, const std::string& path,
                   FaceListing* out, std::string* rejectedFamilies) {
  OwnedFontSet queried;
  OwnedFontSet accepted;
  if (!queried.get() || !accepted.get()) return;
  queryFontFaces(path, queried.get());
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
    if (!rules.acceptsFont(config, font)) {
      appendFamilyNames(font, rejectedFamilies);
      continue;
    }
    FcPatternReference(font);
    if (!FcFontSetAdd(accepted.get(), font)) FcPatternDestroy(font);
  }
  out->listSet(accepted.release());
}

}  // namespace kavri
