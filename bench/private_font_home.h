#ifndef KAVRI_BENCH_PRIVATE_FONT_HOME_H_
#define KAVRI_BENCH_PRIVATE_FONT_HOME_H_

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "font_library.h"

namespace kavri::bench {

// A private HOME (and XDG directories, and a fontconfig configuration that
// includes the system's with a private cache directory first) under `root`,
// set in this process's environment so that the agents it starts, fc-list
// and fc-cache all see the one setup; with a font library in the user's
// font folder that grows to a size. The installed fonts stay as they were.
class PrivateFontHome {
 public:
  explicit PrivateFontHome(std::string root) : root_(std::move(root)) {}

  // Makes the directories and the configuration, sets the environment and
  // writes the caches of every font directory into the private cache
  // directory, where fontconfig takes them over older ones: as on a machine
  // whose fonts came from its package manager, the agent finds each cache
  // newer than its fonts and trusts it, whatever else (hard links, chmod)
  // touched the installed fonts' status-change times since. False, with
  // the reason, on failure.
  bool prepare(std::string* err);

  // Grows the library folder until the system's fonts and the library
  // together hold about `faces` faces, the library at least a few files of
  // its own so that its folder is a real one. Its cache is left to the
  // caller (fc-cache -f fonts()). False, with the reason, on failure.
  bool growTo(size_t faces, std::string* err);

  std::string home() const { return root_ + "/home"; }
  std::string fonts() const { return home() + "/.local/share/fonts"; }
  // Where a font manager writes its rules (the system's configuration
  // includes it); made by prepare().
  std::string userRules() const { return home() + "/.config/fontconfig/conf.d"; }
  size_t systemFaces() const { return systemFaces_; }
  // The scalable font files installed on this machine.
  const std::vector<FontLibrary::Source>& installed() const { return installed_; }
  const FontLibrary& library() const { return *library_; }

 private:
  std::string root_;
  std::unique_ptr<FontLibrary> library_;
  std::vector<FontLibrary::Source> installed_;
  size_t systemFaces_ = 0;
};

// A fresh directory under $TMPDIR (or /tmp) named NAME-XXXXXX, removed
// also when the run is interrupted (SIGINT, SIGTERM, SIGHUP), after the agent
// whose pid `*agent` holds, if any, is ended; the run then exits with 128 +
// the signal. Empty, with perror, on failure.
std::string scratchRoot(const char* name, volatile sig_atomic_t* agent = nullptr);

// fc-list of the fields the agent asks for, as argv.
std::vector<std::string> fcListOfTheAgentsFields();

}  // namespace kavri::bench

#endif  // KAVRI_BENCH_PRIVATE_FONT_HOME_H_
