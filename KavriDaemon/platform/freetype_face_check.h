#ifndef KAVRI_PLATFORM_FREETYPE_FACE_CHECK_H_
#define KAVRI_PLATFORM_FREETYPE_FACE_CHECK_H_

// Linux-internal: what FreeType makes of font faces, remembered per version
// of each file so an unchanged file is not opened again.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kavri {

// What FreeType made of one face of one version of a file.
struct FaceCheck {
  int64_t mtimeNs = -1;  // -1: the file could not be examined
  int64_t size = 0;
  bool opened = false;
  std::optional<std::string> postscriptName;  // named instances only
};

// Remembers FaceChecks keyed by (file, index), each valid while the file's
// modification time and size stay the same. Not thread-safe: one owner.
class FaceCheckCache {
 public:
  // The check of `index` in `file` as the file is now: remembered, or made.
  const FaceCheck& check(const std::string& file, int index);

  // Makes the checks that are not remembered yet, spread over the machine's
  // cores, and forgets the faces not in `faces`.
  void refresh(const std::vector<std::pair<std::string, int>>& faces);

 private:
  std::map<std::pair<std::string, int>, FaceCheck> checks_;
};

}  // namespace kavri

#endif  // KAVRI_PLATFORM_FREETYPE_FACE_CHECK_H_
