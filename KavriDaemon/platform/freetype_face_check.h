#ifndef KAVRI_PLATFORM_FREETYPE_FACE_CHECK_H_
#define KAVRI_PLATFORM_FREETYPE_FACE_CHECK_H_

// Linux-internal: what FreeType makes of font faces, remembered per version
// of each file so an unchanged file is not opened again.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kavri {

// What FreeType made of one face of one version of a file.
struct FaceCheck {
  int64_t mtimeNs = -1;  // -1: the file could not be examined
  int64_t ctimeNs = 0;
  int64_t size = 0;
  bool opened = false;
  std::optional<std::string> postscriptName;  // named instances only
};

// A face to check. `indexedAtNs` is when fontconfig last read the face's
// file (0: unknown). fontconfig reads every face with FreeType when it
// indexes it, so a file unchanged since then (status change time earlier)
// opens without asking FreeType again.
struct FaceToCheck {
  const std::string* file;  // borrowed for the call
  int index = 0;            // (named instance << 16) | face
  int64_t indexedAtNs = 0;
};

// FreeType's checks of a list of faces, remembered per version of each file
// (modification and status change times, size) so that an unchanged file is
// not opened again when the list is replaced. Not thread-safe: one owner.
class DirectoryStat;

class FaceCheckCache {
 public:
  FaceCheckCache();
  ~FaceCheckCache();
  FaceCheckCache(const FaceCheckCache&) = delete;
  FaceCheckCache& operator=(const FaceCheckCache&) = delete;

  // Replaces the list, which must be sorted by file, then face, then named
  // instance. Faces new to the list are checked, spread over the machine's
  // cores; faces listed before keep their checks (check() notices a changed
  // file); the faces no longer listed are forgotten.
  void refresh(const std::vector<FaceToCheck>& faces);

  // The check of the face at `position` in the list, as its file is now.
  const FaceCheck& check(size_t position);

 private:
  struct Entry {
    std::string file;
    int index;
    int64_t indexedAtNs;
    FaceCheck check;
  };
  std::vector<Entry> entries_;
  std::unique_ptr<DirectoryStat> stat_;  // for a sweep through the list
  size_t lastPosition_ = 0;
};

}  // namespace kavri

#endif  // KAVRI_PLATFORM_FREETYPE_FACE_CHECK_H_
