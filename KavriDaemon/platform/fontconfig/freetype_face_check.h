#ifndef KAVRI_PLATFORM_FONTCONFIG_FREETYPE_FACE_CHECK_H_
#define KAVRI_PLATFORM_FONTCONFIG_FREETYPE_FACE_CHECK_H_

// Linux-internal: whether FreeType opens a face ("opening the font by name"),
// and the version of a file that such a finding holds for.

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kavri {

// What tells one version of a file from another.
struct FileVersion {
  int64_t mtimeNs = -1;  // -1: gone, or not a regular file
  int64_t ctimeNs = 0;
  int64_t size = 0;
  bool exists() const { return mtimeNs >= 0; }
  bool operator==(const FileVersion&) const = default;
};

FileVersion fileVersion(const std::string& path);
FileVersion fileVersionOf(const struct stat& status);

// Looks files up relative to their directory, opened once for a run of
// files in it: most of a lookup's cost is walking the path. For a sweep
// through paths sorted by directory. Not thread-safe: one owner.
class DirectoryStat {
 public:
  DirectoryStat() = default;
  ~DirectoryStat();
  DirectoryStat(const DirectoryStat&) = delete;
  DirectoryStat& operator=(const DirectoryStat&) = delete;

  FileVersion version(const std::string& file);
  // Lets go of the directory it holds open; the next lookup opens it afresh.
  void release();

 private:
  std::string dir_;
  int fd_ = -1;
};

// What FreeType made of one face of one version of a file.
struct FaceCheck {
  bool opened = false;
  std::optional<std::string> postscriptName;  // named instances only
};

// One face to check, as its file is (`version`). `readAtNs` is when
// fontconfig last read the file (0: unknown); fontconfig reads every face
// with FreeType, so a file not modified since opens without asking FreeType
// again, unless it is a named instance, whose name only FreeType knows. (Its
// modification time, not its status change time: a new hard link to a font,
// as a library of links is made, changes the latter and not the font.)
struct FaceCheckJob {
  const char* file = nullptr;  // borrowed for the call
  int index = 0;               // (named instance << 16) | face
  int64_t readAtNs = 0;
  FileVersion version;
  FaceCheck result;  // filled in
};

// Checks one face. Main thread only (it keeps one FreeType library).
void checkFace(FaceCheckJob* job);

// Checks them all, spread over the machine's cores when there are many;
// the named instances of one face, listed next to each other, share one open
// of it. Main thread only.
void checkFaces(std::vector<FaceCheckJob>* jobs);

}  // namespace kavri

#endif  // KAVRI_PLATFORM_FONTCONFIG_FREETYPE_FACE_CHECK_H_
