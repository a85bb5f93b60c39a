#ifndef KAVRI_PLATFORM_FONTCONFIG_INSTALLED_FONTS_H_
#define KAVRI_PLATFORM_FONTCONFIG_INSTALLED_FONTS_H_

// Linux-internal: the installed fonts as fontconfig's configuration
// describes them, kept per font file, so that a change costs what it
// changes and not what the library holds. Shared by the font source and the
// font-set notifier.

#include <fontconfig/fontconfig.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/fontconfig/face_table.h"
#include "platform/fontconfig/fontconfig_faces.h"
#include "platform/font_source.h"
#include "platform/fontconfig/fontconfig_rules.h"
#include "platform/fontconfig/freetype_face_check.h"
#include "platform/fontconfig/installed_face.h"

namespace kavri {

// What was seen to change in one font directory.
struct DirectoryChange {
  bool allEntries = false;      // look at every entry: events may have been missed
  std::set<std::string> names;  // entries events named; "" for the directory itself
  // Entries still being written: left as they were until their writer
  // closes them, so that a half-written font is never taken for the font.
  std::set<std::string> writing;
};
using DirectoryChanges = std::map<std::string, DirectoryChange>;

// A directory to watch, and what a change of each of its entries means.
struct WatchedDirectory {
  std::string path;
  bool fonts = false;          // a font directory: every entry may be a font
  bool configuration = false;  // a configuration directory: every entry is configuration
  // Other entries that matter (a missing font directory or configuration
  // file below): true when it is configuration.
  std::map<std::string, bool> names;
  bool operator==(const WatchedDirectory&) const = default;
};

class InstalledFonts {
 public:
  enum class Update { kUnchanged, kChanged, kNeedsLoad };

  // Loads the configuration and the fonts afresh through fontconfig (and
  // its caches), localised names picked for `languages`. What `previous`
  // learned is reused for files that did not change, and fontconfig's
  // caches of the directories it saw change are dropped first where
  // fontconfig would wrongly trust them. Unless `everything` may have
  // changed, files below directories `changes` does not name are taken to be
  // as `previous` last saw them, unlooked at. Null when fontconfig cannot
  // load.
  static std::unique_ptr<InstalledFonts> load(std::vector<std::string> languages,
                                              const InstalledFonts* previous,
                                              const DirectoryChanges& changes = {},
                                              bool everything = true);

  ~InstalledFonts();
  InstalledFonts(const InstalledFonts&) = delete;
  InstalledFonts& operator=(const InstalledFonts&) = delete;

  // Lets fontconfig's own font set go, with the memory it holds; the faces
  // here are copies. Left to the caller, so that a load's faces reach the
  // server before the set's thousands of pieces are freed. The caller then
  // hands back what was freed (returnFreeMemory).
  void dropFontconfigFonts();

  // Every face, sorted by file, then face, then named instance. A face's
  // `position` is its index here; its `revision` is its file's, new
  // whenever the file's faces change and never reused. Valid until the
  // next update.
  const std::vector<ListedFont>& listed() const { return table_.listed(); }
  const FaceTable& faces() const { return table_; }

  // Brings the faces up to date with what changed in font directories
  // (every directory when `everything`) and with font directories that
  // appeared, reading only the files that changed. kNeedsLoad when only
  // fontconfig's own load can apply the configuration; what is left is then
  // for nothing but that load's `previous`.
  Update update(const DirectoryChanges& changes, bool everything);

  // As update(), after a change of the configuration: one that changes only
  // which fonts it selects, by path or by family name (a font manager's rule
  // written or taken away), is applied to what is known of each file and
  // directory, reading only those whose faces it may now judge otherwise;
  // fontconfig never reads again whole directories whose caches this
  // agent's own updates have left behind. kNeedsLoad for any other change of
  // the configuration.
  Update reconfigure(const DirectoryChanges& changes, bool everything);

  // Every directory whose change can change the font set: the font
  // directories read, the configuration's directories and the directories
  // of its files, and for whatever of these is missing, its nearest
  // existing parent. Sorted by path.
  std::vector<WatchedDirectory> watchDirectories() const;

  // The preferred languages its localised names were picked for.
  const std::vector<std::string>& languages() const { return languages_; }

  // The same faces as `other`, with the same names and descriptions.
  bool sameFaces(const InstalledFonts& other) const;

 private:
  // What the configuration names besides fonts.
  struct ConfiguredPaths {
    static ConfiguredPaths of(FcConfig* config);
    std::vector<std::string> roots;  // the configured font directories
    std::vector<std::string> configurationDirs;
    std::vector<std::string> configurationFiles;
  };
  struct Directory {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const Directory&) const = default;
  };
  class Batch;
  struct Drafts;

  static FaceTable tableOf(Drafts& drafts);

  // Steps of a load (see load()). The font directories whose change
  // `changes` does not tell of.
  std::set<std::string> unchangedDirs(const DirectoryChanges& changes) const;
  // Finds the font directories fontconfig read; returns those of them, of
  // `unchanged`, whose faces `previous` listed from the cache fontconfig
  // reads now.
  std::set<std::string, std::less<>> readDirectories(const InstalledFonts* previous,
                                                     const std::set<std::string>& unchanged);
  // The faces of `dirs` as listed here (valid as long as this is).
  FaceListing::Known listedFrom(const std::set<std::string, std::less<>>& dirs) const;
  // The files fontconfig found without taking a face of them, as their
  // caches say or, in `unchanged` directories, as `previous` knew them.
  void findFontless(const InstalledFonts* previous, const std::set<std::string>& unchanged,
                    const std::vector<ListedFace>& faces);
  // Each file's version and whether FreeType opens its faces, taken from
  // `previous` where it still holds.
  void check(const InstalledFonts* previous, const std::set<std::string>& unchanged,
             Drafts* drafts) const;
  // Takes what this load found of the faces `begin` to `end` of `drafts`
  // (one file) when they are the same faces of the same version of the file
  // as its faces `from` to `to` here.
  bool reuseChecks(const FileVersion& version, Drafts* drafts, size_t begin, size_t end,
                   size_t from, size_t to) const;

  InstalledFonts(FcConfig* config, std::vector<std::string> languages);

  void collect(const DirectoryChanges& changes, bool everything, Batch* batch);
  // Drops what the rules reject now and `was` took, and reads again what
  // they take now and `was` rejected, and the files of faces whose family
  // `changedPatterns` (each of one family) name.
  void reselect(const FontconfigRules& was, const std::vector<FcPattern*>& changedPatterns,
                Batch* batch);
  // Reads again the files of faces (listed, or rejected by a rule) with a
  // family one of `patterns` matches.
  void reselectFamilies(const std::vector<FcPattern*>& patterns, Batch* batch);
  void readAgain(const std::string& file, Batch* batch);
  void checkDirectory(const std::string& dir, const DirectoryChange& change, Batch* batch);
  void relist(const std::string& dir, bool statAll, const std::set<std::string>& writing,
              Batch* batch);
  void entry(const std::string& dir, const std::string& name, Batch* batch);
  void readTree(const std::string& dir, Batch* batch);
  void dropTree(const std::string& dir, Batch* batch);
  Update apply(Batch* batch);
  bool knownFile(const std::string& path, FileVersion* version) const;
  std::vector<std::string> knownNames(const std::string& dir) const;

  std::vector<std::string> languages_;
  FcConfig* config_;  // owned; its own font set dropped once listed
  FontconfigRules rules_;
  ConfiguredPaths paths_;
  std::map<std::string, Directory> dirs_;  // font directories read
  // When fontconfig's cache of each was written, as this load found it (0:
  // none, or not looked at).
  std::map<std::string, int64_t, std::less<>> cachedAt_;
  FaceTable table_;
  // Files read that hold no listed face (no font, rejected), so that a look
  // at their directory does not read them again.
  std::map<std::string, FileVersion> fontless_;
  // The family names of faces a rule rejected, by file, each ended by a NUL:
  // those a rule taken away may bring back.
  std::map<std::string, std::string, std::less<>> rejectedFamilies_;
  // Directories changed since fontconfig last read them.
  std::set<std::string> changedDirs_;
  bool fontconfigFontsDropped_ = false;
};

// The installed fonts the shared font source lists and the notifier keeps
// current: loaded on first use (null when fontconfig cannot load), replaced
// by a fresh load after a change of the configuration. Main thread only.
InstalledFonts* sharedInstalledFonts();
InstalledFonts* sharedInstalledFontsIfLoaded();
void replaceSharedInstalledFonts(std::unique_ptr<InstalledFonts> fonts);

// Tests: called on the main thread after every look the font-set notifier
// takes at a change, with whether the faces changed (after the observers
// ran) and whether another look is already due.
void setFontSetReloadHookForTesting(std::function<void(bool changed, bool morePending)> hook);

// Tests: how long the font-set notifier lets activity settle while a file
// is being written, and how long at most since a burst began (half a second
// and ten seconds otherwise).
void setFontSetWaitsForTesting(std::chrono::milliseconds quiet, std::chrono::milliseconds longest);

}  // namespace kavri

#endif  // KAVRI_PLATFORM_FONTCONFIG_INSTALLED_FONTS_H_
