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

FontLibrary::FontLibrary(std::string folder, std::string copies, std::vector<Source> sources)
    : folder_(std::move(folder)),
      copies_(std::move(copies)),
      sources_(std::move(sources)),
      copied_(sources_.size(), false) {
  std::filesystem::create_directories(folder_);
  std::filesystem::create_directories(copies_);
}

bool FontLibrary::growTo(size_t faces, std::string* err) {
  if (sources_.empty()) {
    *err = "no scalable fonts installed to link to";
    return false;
  }
  while (faces_ < faces) {
    size_t which = files_ % sources_.size();
    const Source& source = sources_[which];
    std::string name = std::filesystem::path(source.path).filename().string();
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "%06zu-", which);
    std::string copy = copies_ + "/" + prefix + name;
    if (!copied_[which]) {
      std::error_code ec;
      std::filesystem::copy_file(source.path, copy, ec);
      if (ec) {
        *err = "cannot copy " + source.path + ": " + ec.message();
        return false;
      }
      copiedBytes_ += std::filesystem::file_size(copy, ec);
      copied_[which] = true;
    }
    std::snprintf(prefix, sizeof prefix, "%06zu-", files_);
    std::string link = folder_ + "/" + prefix + name;
    if (::link(copy.c_str(), link.c_str()) != 0) {
      *err = "cannot hard-link " + copy + " as " + link + ": " + strerror(errno);
      return false;
    }
    ++files_;
    faces_ += source.faces;
  }
  return true;
}

}  // namespace kavri::bench
