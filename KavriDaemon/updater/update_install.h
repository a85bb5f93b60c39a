#ifndef KAVRI_UPDATER_UPDATE_INSTALL_H_
#define KAVRI_UPDATER_UPDATE_INSTALL_H_

#include <optional>
#include <string>
#include <vector>

#include "platform/bundle.h"

namespace kavri {

// The one directory an update is prepared in: ".NAME.update" beside the
// running bundle NAME, so that the new bundle lies on the same file system
// and can be renamed into place. Making it removes any left by an earlier
// install (the previous version, once the new one runs); destroying it
// removes it with everything inside. Not thread-safe; one owner.
class UpdateStaging {
 public:
  static std::optional<UpdateStaging> create(const std::string& runningBundlePath, std::string* err);
  // The directory's path for `runningBundlePath`, whether or not it exists.
  static std::string pathFor(const std::string& runningBundlePath);
  // Where a new version for `installedBundlePath` is started on trial: the
  // bundle's own name inside the directory.
  static std::string trialBundlePathFor(const std::string& installedBundlePath);
  // The installed bundle that `bundlePath` would replace when it lies where
  // trialBundlePathFor puts it; nullopt for any other path.
  static std::optional<std::string> installedPathForTrial(const std::string& bundlePath);

  UpdateStaging(UpdateStaging&& other) noexcept;
  UpdateStaging& operator=(UpdateStaging&&) = delete;
  UpdateStaging(const UpdateStaging&) = delete;
  ~UpdateStaging();

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  explicit UpdateStaging(std::string path) : path_(std::move(path)) {}
  std::string path_;  // empty once moved from
};

// Whether this process may replace the bundle at `bundlePath` in place: it
// can write to and search the bundle's parent directory (the staging
// directory is made there and the bundles are renamed), write to the bundle
// directory itself (moving a directory rewrites its ".."), and a sticky
// parent does not stop it. A bundle the package manager installed (root's,
// under /usr) fails this for its users; one a user installed under their
// home passes. False, with what is not writable in `err`, when it fails.
bool canReplaceBundle(const std::string& bundlePath, std::string* err);

// Removes `path` and everything below it without following links. Missing
// is fine. Returns false with the reason in `err` if anything stays.
bool removeTree(const std::string& path, std::string* err);

// The bundle an archive unpacked into `directory`: its one top-level
// directory named *.app. nullopt (reason in `err`) for none or several.
std::optional<std::string> findUnpackedBundle(const std::string& directory, std::string* err);

// The file name of `bundle`'s executable in Contents/MacOS: its
// CFBundleExecutable, or "KavriDaemon" when the key is missing. nullopt when
// that is not a plain file name.
std::optional<std::string> bundleExecutableName(const Bundle& bundle);

// Whether `candidate` may replace `running`: the same CFBundleIdentifier, a
// newer CFBundleVersion, and an executable that is a regular, executable
// ELF or script file (not a link).
bool validateReplacement(const Bundle& candidate, const Bundle& running, std::string* err);

// Exchanges the directories at `replacement` and `running` so that the
// replacement sits at `running` and the old bundle at `replacement`. One
// renameat2(RENAME_EXCHANGE) where the file system offers it, else three
// renames through `aside` (which must not exist) with the running bundle put
// back if the second fails. Calling it again with the same arguments swaps
// back. `useExchange` false forces the renames (for tests).
bool swapBundles(const std::string& replacement, const std::string& running,
                 const std::string& aside, std::string* err, bool useExchange = true);

// The arguments this process was started with, from /proc/self/cmdline.
std::vector<std::string> ownArguments();

// Replaces this process's image with `executable` run with `arguments` and
// the current environment: same process id, so a service manager keeps it
// as its own child. The signal mask is cleared first. Returns only on
// failure, with the reason in `err`. Every descriptor the agent opens is
// close-on-exec, so none passes to the new image.
bool execInPlace(const std::string& executable, const std::vector<std::string>& arguments,
                 std::string* err);

}  // namespace kavri

#endif  // KAVRI_UPDATER_UPDATE_INSTALL_H_
