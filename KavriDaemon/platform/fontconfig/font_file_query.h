#ifndef KAVRI_PLATFORM_FONTCONFIG_FONT_FILE_QUERY_H_
#define KAVRI_PLATFORM_FONTCONFIG_FONT_FILE_QUERY_H_

// Linux-internal: one font file read on its own, as fontconfig reads each
// file of a directory it loads.

#include <fontconfig/fontconfig.h>

#include <string>

#include "platform/fontconfig/fontconfig_faces.h"
#include "platform/fontconfig/fontconfig_rules.h"

namespace kavri {

// Adds to `out` the patterns of every face of the file at `path` (each face
// of a collection, its named instances, its variable face) exactly as
// fontconfig's own query of a file (FcFreeTypeQueryAll) makes them, in its
// order. FreeType reads the file through a descriptor (font_file_stream.h):
// a file cut short or gone while it is read yields fewer faces or none,
// never a crash. Main thread only.
void queryFontFaces(const std::string& path, FcFontSet* out);

// Adds to `out` the faces of the file at `path` exactly as FcFontList would
// list them had fontconfig loaded the file's directory under `config`: read
// by queryFontFaces(), edited by the configuration's scan rules, kept or
// dropped by its accept and reject rules (`rules`, read from `config`).
// None when it is no font, cannot be read, or is rejected. Main thread
// only; the patterns of the faces taken live as long as `out`. The family
// names of faces a <pattern> rule rejected go to `rejectedFamilies`, each
// ended by a NUL.
void queryFontFile(FcConfig* config, const FontconfigRules& rules, const std::string& path,
                   FaceListing* out, std::string* rejectedFamilies);

}  // namespace kavri

#endif  // KAVRI_PLATFORM_FONTCONFIG_FONT_FILE_QUERY_H_
