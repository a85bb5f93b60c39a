#ifndef KAVRI_PLATFORM_FONTCONFIG_FONT_LINKS_H_
#define KAVRI_PLATFORM_FONTCONFIG_FONT_LINKS_H_

// Linux-internal: the symbolic links in font folders and where they point.
// Font managers activate fonts by linking to them, often on a drive of
// their own; a drive mounted or taken away changes what such a link holds
// without any event in its folder.

#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace kavri {

class FontLinks {
 public:
  // Looks at every entry of the font folder `dir`, or at its entry `name`.
  void readFolder(const std::string& dir);
  void readEntry(const std::string& dir, const std::string& name);
  void forget(const std::string& dir);

  // Calls `found` with the folder and name of every link whose target meets
  // `path` (pathsMeet, both as the mount table names paths).
  void forEachMeeting(std::string_view path,
                      const std::function<void(const std::string& dir, const std::string& name)>&
                          found) const;

 private:
  std::map<std::string, std::map<std::string, std::string>> targets_;  // by folder, then name
};

}  // namespace kavri

#endif  // KAVRI_PLATFORM_FONTCONFIG_FONT_LINKS_H_
