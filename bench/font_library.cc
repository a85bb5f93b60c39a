#include "font_library.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <utility>

#include "test_util.h"

namespace kavri::bench {

std::vector<FontLibrary::Source> FontLibrary::installedFonts() {
  testing::RunResult list = testing::run(
      {"/usr/bin/fc-list", "--format", "%{file}\t%{index}\t%{scalable}\t%{variable}\n"});
  std::map<std::string, size_t> faces;
  if (list.exitStatus != 0) return {};
  for (const std::string& line : testing::splitLines(list.out)) {
    // file, index, scalable, variable; a variable font's whole-font entry
    // is not a face of the catalogue, and bitmap faces are left out of it.
    size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    std::string rest = line.substr(tab + 1);
    if (rest.find("\tTrue\tFalse") == std::string::npos) continue;
    ++faces[line.substr(0, tab)];
  }
  std::vector<Source> sources;
  for (auto& [path, count] : faces) sources.push_back({path, count});
  return sources;
}

FontLibrary::FontLibrary(std::string folder, std::vector<Source> sources)
    : folder_(std::move(folder)), sources_(std::move(sources)) {
  std::filesystem::create_directories(folder_);
}

bool FontLibrary::growTo(size_t faces, std::string* err) {
  if (sources_.empty()) {
    *err = "no scalable fonts installed to link to";
    return false;
  }
  while (faces_ < faces) {
    const Source& source = sources_[files_ % sources_.size()];
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%06zu-", files_);
    std::string link =
        folder_ + "/" + prefix + std::filesystem::path(source.path).filename().string();
    if (::link(source.path.c_str(), link.c_str()) != 0) {
      *err = "cannot hard-link " + source.path + " as " + link + ": " + strerror(errno) +
             " (the library must be on the fonts' file system; linking another user's files "
             "needs root)";
      return false;
    }
    ++files_;
    faces_ += source.faces;
  }
  return true;
}

}  // namespace kavri::bench
