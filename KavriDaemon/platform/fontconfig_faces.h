#ifndef KAVRI_PLATFORM_FONTCONFIG_FACES_H_
#define KAVRI_PLATFORM_FONTCONFIG_FACES_H_

// Linux-internal: the font set as one fontconfig load sees it, shared by the
// font source and the font-set notifier.

#include <fontconfig/fontconfig.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace kavri {

// A name and the language fontconfig tags it with ("" when untagged).
struct LangName {
  std::string name;
  std::string lang;
  bool operator==(const LangName&) const = default;
};

// One face as fontconfig lists it. Variable fonts appear as their named
// instances only.
struct FontconfigFace {
  std::string file;
  int index = 0;  // (named instance << 16) | face
  std::optional<std::string> postscriptName;
  std::vector<LangName> families;  // default (English) name first
  std::vector<LangName> styles;
  std::optional<double> weight;  // fontconfig's scale
  std::optional<double> width;
  std::optional<int> slant;
  std::optional<std::string> fontFormat;
  bool scalable = false;
  bool operator==(const FontconfigFace&) const = default;
};

// A directory to watch. When it stands in for missing directories below it,
// only changes of the entries named in `onlyNames` matter; empty means all.
// `configuration`: a change here may change the configuration itself.
struct WatchedDirectory {
  std::string path;
  std::set<std::string> onlyNames;
  bool configuration = false;
  bool operator==(const WatchedDirectory&) const = default;
};

// One load of the fontconfig configuration and its fonts. Its faces never
// change once loaded; a change of the installed fonts is a new load.
class FontconfigSet {
 public:
  // Loads the fonts afresh. The caches of `staleDirs` are dropped first where
  // fontconfig would wrongly trust them: it trusts a cache as long as its
  // directory's time stamp is unchanged, which misses files rewritten in
  // place and changes within the second the cache was written. The configuration
  // (FONTCONFIG_FILE or the system's) is read again when there is no
  // `previous` load or `reloadConfiguration`; otherwise `previous`'s is kept
  // and only its fonts are rebuilt, which saves parsing it. Returns null when
  // fontconfig cannot load at all. Main thread only.
  static std::shared_ptr<const FontconfigSet> load(const FontconfigSet* previous,
                                                   const std::vector<std::string>& staleDirs,
                                                   bool reloadConfiguration = true);

  ~FontconfigSet();
  FontconfigSet(const FontconfigSet&) = delete;
  FontconfigSet& operator=(const FontconfigSet&) = delete;

  // Sorted by file path, then face, then named instance.
  const std::vector<FontconfigFace>& faces() const { return faces_; }

  // When fontconfig last read the files of `file`'s directory (the time its
  // cache for that directory was written), in nanoseconds since the epoch;
  // 0 when unknown.
  int64_t indexedAtNs(const std::string& file) const;

  // Every directory whose change can change the font set: font directories
  // with their subdirectories, configuration directories and the directories
  // of configuration files, and for each of these that does not exist, its
  // nearest existing parent. Sorted by path, without duplicates.
  std::vector<WatchedDirectory> watchDirectories() const;

 private:
  explicit FontconfigSet(FcConfig* config) : config_(config) {}

  FcConfig* config_;
  std::vector<FontconfigFace> faces_;
  std::map<std::string, int64_t> indexedAtNs_;  // by directory
};

// The load the font source lists from; made on first use. Main thread only.
std::shared_ptr<const FontconfigSet> currentFontconfigSet();
void setCurrentFontconfigSet(std::shared_ptr<const FontconfigSet> set);

// Tests: called on the main thread after every reload the font-set notifier
// makes, with whether the face list changed (after the observers ran).
void setFontSetReloadHookForTesting(std::function<void(bool changed)> hook);

}  // namespace kavri

#endif  // KAVRI_PLATFORM_FONTCONFIG_FACES_H_
