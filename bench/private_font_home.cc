#include "private_font_home.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include <algorithm>
#include <filesystem>

#include "test_util.h"

namespace kavri::bench {
namespace {

char scratchPath[4096];
volatile sig_atomic_t* scratchAgent = nullptr;

// Ends the agent, runs `rm -rf` of the directory and exits with 128 + the
// signal, so that whoever waits for the bench sees it interrupted. All calls
// are allowed in a signal handler (_Fork, unlike fork, takes no locks).
void removeScratchOnSignal(int signal) {
  if (scratchAgent && *scratchAgent > 0) kill(*scratchAgent, SIGKILL);
  pid_t rm = _Fork();
  if (rm == 0) {
    execl("/bin/rm", "rm", "-rf", scratchPath, static_cast<char*>(nullptr));
    _exit(127);
  }
  while (rm > 0 && waitpid(rm, nullptr, 0) < 0 && errno == EINTR) {
  }
  _exit(128 + signal);
}

}  // namespace

std::string scratchRoot(const char* name, volatile sig_atomic_t* agent) {
  const char* tmp = getenv("TMPDIR");
  std::string root = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name + "-XXXXXX";
  if (!mkdtemp(root.data())) {
    std::perror("mkdtemp");
    return "";
  }
  std::snprintf(scratchPath, sizeof scratchPath, "%s", root.c_str());
  scratchAgent = agent;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::signal(signal, removeScratchOnSignal);
  return root;
}

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
