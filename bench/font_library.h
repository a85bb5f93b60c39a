#ifndef KAVRI_BENCH_FONT_LIBRARY_H_
#define KAVRI_BENCH_FONT_LIBRARY_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kavri::bench {

// A designer's font library: one folder of many font files, made of hard
// links to copies of the fonts this machine has installed, one copy of each.
// Every link is a distinct file to fontconfig (its path differs), so each is
// really parsed, yet tens of thousands of files cost the disk only the one
// set of copies. Linking to the installed files themselves would change
// their status-change time, which the agent compares with its caches' to
// trust them: the machine would not be the same afterwards.
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

  // `folder` and `copies` (where the copies go, on the same file system)
  // are made if missing.
  FontLibrary(std::string folder, std::string copies, std::vector<Source> sources);

  // Links files, cycling through the sources, until the library holds at
  // least `faces` faces. False, with the reason, when a file cannot be
  // copied or linked.
  bool growTo(size_t faces, std::string* err);

  const std::string& folder() const { return folder_; }
  size_t files() const { return files_; }
  size_t faces() const { return faces_; }
  uintmax_t copiedBytes() const { return copiedBytes_; }

 private:
  std::string folder_;
  std::string copies_;
  std::vector<Source> sources_;
  std::vector<bool> copied_;  // by source
  size_t files_ = 0;
  size_t faces_ = 0;
  uintmax_t copiedBytes_ = 0;
};

}  // namespace kavri::bench

#endif  // KAVRI_BENCH_FONT_LIBRARY_H_
