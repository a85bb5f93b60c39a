#ifndef KAVRI_PLATFORM_BUNDLE_H_
#define KAVRI_PLATFORM_BUNDLE_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kavri {

// An application bundle on disk:
//   NAME.app/Contents/Info.plist, Contents/MacOS/<executable>,
//   Contents/Resources/<resources>.
// Its information dictionary is read once, when the object is made.
class Bundle {
 public:
  // The bundle rooted at `bundlePath` (the .app directory). An unreadable or
  // malformed Info.plist leaves the dictionary empty.
  explicit Bundle(std::string bundlePath);

  // The bundle whose Contents/MacOS directory holds `executablePath`, or
  // nullopt when the executable lies outside a bundle.
  static std::optional<Bundle> forExecutable(const std::string& executablePath);

  // The agent's own bundle, found from /proc/self/exe; nullptr when the
  // agent runs outside a bundle. Read once; thread-safe.
  static const Bundle* main();

  const std::string& path() const { return path_; }

  // String (or integer, as decimal text) values of the information dictionary.
  std::optional<std::string> infoString(std::string_view key) const;
  std::optional<int64_t> infoInteger(std::string_view key) const;
  std::optional<std::string> identifier() const { return infoString("CFBundleIdentifier"); }

  // Contents/Resources/<name> when such a file exists; `name` is a whole file
  // name (no type, no extension, no directories).
  std::optional<std::string> pathForResource(std::string_view name) const;

  // Whether the package manager installed this bundle: only the package's
  // bundle carries the resource "package-managed". Such a bundle is updated
  // with its package alone, whoever runs the agent, root included.
  bool isPackageManaged() const;

  // Contents/MacOS/<name>.
  std::string executablePath(std::string_view name) const;

 private:
  std::string path_;
  std::map<std::string, std::string, std::less<>> info_;
};

}  // namespace kavri

#endif  // KAVRI_PLATFORM_BUNDLE_H_
