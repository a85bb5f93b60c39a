#ifndef KAVRI_BENCH_FONT_LIBRARY_H_
#define KAVRI_BENCH_FONT_LIBRARY_H_

#include <cstddef>
#include <string>
#include <vector>

namespace kavri::bench {

// A designer's font library: one folder of many font files, made of hard
// links to the fonts this machine has installed. Every link is a distinct
// file to fontconfig (its path differs), so each is really parsed, yet no
// disk is spent. The links go with the folder; the originals stay.
class FontLibrary {
 public:
  // A font file to link to and how many faces fontconfig lists in it.
  struct Source {
    std::string path;
    size_t faces = 0;
  };

  // The scalable font files fontconfig lists now (fc-list with the current
  // environment), in path order. Empty when fc-list fails.
  static std::vector<Source> installedFonts();

  // `folder` is made if missing.
  FontLibrary(std::string folder, std::vector<Source> sources);

  // Links files, cycling through the sources, until the library holds at
  // least `faces` faces. False, with the reason, when a link cannot be
  // made (hard links need the same file system and, for another user's
  // files, root).
  bool growTo(size_t faces, std::string* err);

  const std::string& folder() const { return folder_; }
  size_t files() const { return files_; }
  size_t faces() const { return faces_; }

 private:
  std::string folder_;
  std::vector<Source> sources_;
  size_t files_ = 0;
  size_t faces_ = 0;
};

}  // namespace kavri::bench

#endif  // KAVRI_BENCH_FONT_LIBRARY_H_
