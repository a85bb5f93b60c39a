#include "private_font_home.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>

#include "test_util.h"

namespace kavri::bench {

bool PrivateFontHome::prepare(std::string* err) {
  for (const char* dir : {"/home/.cache/fontconfig", "/home/.config/fontconfig/conf.d",
                          "/home/.local/share/fonts/incoming"})
    std::filesystem::create_directories(root_ + dir);
  testing::writeFile(
      root_ + "/fonts.conf",
      "<?xml version=\"1.0\"?>\n<!DOCTYPE fontconfig SYSTEM \"urn:fontconfig:fonts.dtd\">\n"
      "<fontconfig>\n  <cachedir>" +
          home() +
          "/.cache/fontconfig</cachedir>\n"
          "  <include ignore_missing=\"yes\">/etc/fonts/fonts.conf</include>\n</fontconfig>\n");
  setenv("HOME", home().c_str(), 1);
  setenv("XDG_DATA_HOME", (home() + "/.local/share").c_str(), 1);
  setenv("XDG_CACHE_HOME", (home() + "/.cache").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home() + "/.config").c_str(), 1);
  setenv("FONTCONFIG_FILE", (root_ + "/fonts.conf").c_str(), 1);

  testing::RunResult cache = testing::run({"/usr/bin/fc-cache", "-f"});
  if (cache.exitStatus != 0) {
    *err = "fc-cache failed: " + cache.err;
    return false;
  }
  installed_ = FontLibrary::installedFonts();
  for (const FontLibrary::Source& source : installed_) systemFaces_ += source.faces;
  // The copies lie outside every font directory.
  library_ = std::make_unique<FontLibrary>(fonts() + "/library", root_ + "/copies", installed_);
  return true;
}

bool PrivateFontHome::growTo(size_t faces, std::string* err) {
  size_t libraryFaces = std::max<size_t>(faces > systemFaces_ ? faces - systemFaces_ : 0, 20);
  return library_->growTo(std::max(libraryFaces, library_->faces()), err);
}

std::vector<std::string> fcListOfTheAgentsFields() {
  return {"/usr/bin/fc-list", ":namelang=en", "file",     "index",          "family",
          "familylang",       "style",        "stylelang", "postscriptname", "weight",
          "width",            "slant",        "fontformat", "scalable",      "outline",
          "variable"};
}

}  // namespace kavri::bench
