#include "platform/fontconfig_faces.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

namespace kavri {
namespace {

std::vector<LangName> langNames(FcPattern* pattern, const char* nameObject,
                                const char* langObject) {
  std::vector<LangName> names;
  FcChar8* value = nullptr;
  for (int i = 0; FcPatternGetString(pattern, nameObject, i, &value) == FcResultMatch; ++i) {
    FcChar8* lang = nullptr;
    std::string langText;
    if (FcPatternGetString(pattern, langObject, i, &lang) == FcResultMatch) {
      langText = reinterpret_cast<const char*>(lang);
    }
    names.push_back({reinterpret_cast<const char*>(value), std::move(langText)});
  }
  return names;
}

std::optional<std::string> stringValue(FcPattern* pattern, const char* object) {
  FcChar8* value = nullptr;
  if (FcPatternGetString(pattern, object, 0, &value) != FcResultMatch) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(value));
}

// Weights and widths may be stored as integers or doubles; a range (a
// variable font's whole-font pattern) is not a value.
std::optional<double> numberValue(FcPattern* pattern, const char* object) {
  FcValue value;
  if (FcPatternGet(pattern, object, 0, &value) != FcResultMatch) return std::nullopt;
  if (value.type == FcTypeInteger) return static_cast<double>(value.u.i);
  if (value.type == FcTypeDouble) return value.u.d;
  return std::nullopt;
}

bool boolValue(FcPattern* pattern, const char* object, bool fallback) {
  FcBool value;
  if (FcPatternGetBool(pattern, object, 0, &value) != FcResultMatch) return fallback;
  return value != FcFalse;
}

std::vector<FontconfigFace> listFaces(FcConfig* config) {
  std::vector<FontconfigFace> faces;
  FcPattern* query = FcPatternCreate();
  // The first family and style values are then the default (English) names.
  FcPatternAddString(query, FC_NAMELANG, reinterpret_cast<const FcChar8*>("en"));
  // Index and variable are asked for so fontconfig never merges two faces
  // that agree on everything else.
  FcObjectSet* objects =
      FcObjectSetBuild(FC_FILE, FC_INDEX, FC_FAMILY, FC_FAMILYLANG, FC_STYLE, FC_STYLELANG,
                       FC_POSTSCRIPT_NAME, FC_WEIGHT, FC_WIDTH, FC_SLANT, FC_FONTFORMAT,
                       FC_SCALABLE, FC_OUTLINE, FC_VARIABLE, static_cast<char*>(nullptr));
  FcFontSet* set = (query && objects) ? FcFontList(config, query, objects) : nullptr;
  if (set) {
    faces.reserve(static_cast<size_t>(set->nfont));
    for (int i = 0; i < set->nfont; ++i) {
      FcPattern* pattern = set->fonts[i];
      // A variable font's whole-font pattern describes ranges, not a face.
      if (boolValue(pattern, FC_VARIABLE, false)) continue;
      FcChar8* file = nullptr;
      if (FcPatternGetString(pattern, FC_FILE, 0, &file) != FcResultMatch) continue;
      FontconfigFace face;
      face.file = reinterpret_cast<const char*>(file);
      if (FcPatternGetInteger(pattern, FC_INDEX, 0, &face.index) != FcResultMatch) face.index = 0;
      face.postscriptName = stringValue(pattern, FC_POSTSCRIPT_NAME);
      face.families = langNames(pattern, FC_FAMILY, FC_FAMILYLANG);
      face.styles = langNames(pattern, FC_STYLE, FC_STYLELANG);
      face.weight = numberValue(pattern, FC_WEIGHT);
      face.width = numberValue(pattern, FC_WIDTH);
      int slant;
      if (FcPatternGetInteger(pattern, FC_SLANT, 0, &slant) == FcResultMatch) face.slant = slant;
      face.fontFormat = stringValue(pattern, FC_FONTFORMAT);
      face.scalable = boolValue(pattern, FC_SCALABLE, false);
      faces.push_back(std::move(face));
    }
    FcFontSetDestroy(set);
  }
  if (objects) FcObjectSetDestroy(objects);
  if (query) FcPatternDestroy(query);

  auto key = [](const FontconfigFace& f) {
    return std::tuple(std::string_view(f.file), f.index & 0xffff,
                      static_cast<unsigned>(f.index) >> 16);
  };
  std::sort(faces.begin(), faces.end(),
            [&](const FontconfigFace& a, const FontconfigFace& b) { return key(a) < key(b); });
  return faces;
}

void addStrings(FcStrList* list, std::vector<std::string>* out) {
  if (!list) return;
  while (FcChar8* s = FcStrListNext(list)) out->push_back(reinterpret_cast<const char*>(s));
  FcStrListDone(list);
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string parentOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// When the cache fontconfig uses for `dir` was written; 0 without one.
int64_t cacheWrittenAtNs(const std::string& dir, FcConfig* config) {
  FcChar8* cacheFile = nullptr;
  FcCache* cache =
      FcDirCacheLoad(reinterpret_cast<const FcChar8*>(dir.c_str()), config, &cacheFile);
  int64_t writtenAt = 0;
  struct stat st;
  if (cache && cacheFile && stat(reinterpret_cast<const char*>(cacheFile), &st) == 0) {
    writtenAt = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  }
  if (cache) FcDirCacheUnload(cache);
  if (cacheFile) FcStrFree(cacheFile);
  return writtenAt;
}

int64_t nanoseconds(const struct timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Whether fontconfig would trust a cache of `dir` that no longer describes
// it. fontconfig checks only the directory's time stamp: a file rewritten
// in place leaves it as it was, and a change in the second the cache was
// written can hide behind it. Dropping a cache costs a rescan of the
// directory, so only such caches are dropped.
bool cacheMayBeStale(const std::string& dir, FcConfig* config) {
  constexpr int64_t kOneSecond = 1000000000;
  int64_t written = cacheWrittenAtNs(dir, config);
  if (written == 0) return false;  // no cache: fontconfig reads the directory anyway
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) return false;
  if (nanoseconds(st.st_mtim) >= written - kOneSecond) return true;
  DIR* entries = opendir(dir.c_str());
  if (!entries) return false;
  bool stale = false;
  while (struct dirent* entry = readdir(entries)) {
    if (fstatat(dirfd(entries), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode) && nanoseconds(st.st_ctim) >= written - kOneSecond) {
      stale = true;
      break;
    }
  }
  closedir(entries);
  return stale;
}

}  // namespace

std::shared_ptr<const FontconfigSet> FontconfigSet::load(const FontconfigSet* previous,
                                                         const std::vector<std::string>& staleDirs,
                                                         bool reloadConfiguration) {
  if (previous) {
    for (const std::string& dir : staleDirs) {
      if (cacheMayBeStale(dir, previous->config_)) {
        FcDirCacheUnlink(reinterpret_cast<const FcChar8*>(dir.c_str()), previous->config_);
      }
    }
  }
  FcConfig* config = nullptr;
  if (previous && !reloadConfiguration) {
    // The earlier load keeps its own copy of its faces; sharing the
    // configuration object with it is safe on the one thread that uses both.
    config = FcConfigReference(previous->config_);
    if (config && !FcConfigBuildFonts(config)) {
      FcConfigDestroy(config);
      return nullptr;
    }
  } else {
    config = FcInitLoadConfigAndFonts();
  }
  if (!config) return nullptr;
  // Changes are watched for; fontconfig's own time-based re-checks would
  // only add stat calls behind our back.
  FcConfigSetRescanInterval(config, 0);
  std::shared_ptr<FontconfigSet> set(new FontconfigSet(config));
  set->faces_ = listFaces(config);
  for (const FontconfigFace& face : set->faces_) {
    std::string dir = parentOf(face.file);
    auto [it, added] = set->indexedAtNs_.try_emplace(dir, 0);
    if (added) it->second = cacheWrittenAtNs(dir, config);
  }
  return set;
}

int64_t FontconfigSet::indexedAtNs(const std::string& file) const {
  auto it = indexedAtNs_.find(parentOf(file));
  return it == indexedAtNs_.end() ? 0 : it->second;
}

FontconfigSet::~FontconfigSet() { FcConfigDestroy(config_); }

std::vector<WatchedDirectory> FontconfigSet::watchDirectories() const {
  std::vector<std::string> wanted;
  addStrings(FcConfigGetFontDirs(config_), &wanted);
  addStrings(FcConfigGetConfigDirs(config_), &wanted);
  size_t fontDirs = wanted.size();
  std::vector<std::string> files;
  addStrings(FcConfigGetConfigFiles(config_), &files);
  for (const std::string& file : files) wanted.push_back(isDirectory(file) ? file : parentOf(file));

  std::map<std::string, WatchedDirectory> dirs;
  for (size_t i = 0; i < wanted.size(); ++i) {
    std::string dir = wanted[i];
    if (dir.empty() || dir[0] != '/') continue;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    std::string missingChild;
    while (dir != "/" && !isDirectory(dir)) {
      missingChild = dir.substr(dir.find_last_of('/') + 1);
      dir = parentOf(dir);
    }
    auto [it, added] = dirs.try_emplace(dir, WatchedDirectory{dir, {}, false});
    if (i >= fontDirs) it->second.configuration = true;
    if (missingChild.empty()) {
      it->second.onlyNames.clear();
      it->second.onlyNames.insert("");  // marker: wanted itself
    } else if (added || !it->second.onlyNames.count("")) {
      it->second.onlyNames.insert(missingChild);
    }
  }
  std::vector<WatchedDirectory> result;
  for (auto& [path, dir] : dirs) {
    if (dir.onlyNames.count("")) dir.onlyNames.clear();
    result.push_back(std::move(dir));
  }
  return result;
}

namespace {
std::shared_ptr<const FontconfigSet>& current() {
  static std::shared_ptr<const FontconfigSet> set;
  return set;
}
}  // namespace

std::shared_ptr<const FontconfigSet> currentFontconfigSet() {
  if (!current()) current() = FontconfigSet::load(nullptr, {});
  return current();
}

void setCurrentFontconfigSet(std::shared_ptr<const FontconfigSet> set) {
  current() = std::move(set);
}

}  // namespace kavri
