#include "platform/fontconfig/fontconfig_cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace kavri {
namespace {

int64_t nanoseconds(const struct timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

int64_t readCache(const std::string& dir, FcConfig* config,
                  const std::function<void(std::string_view file,
                                           const std::vector<FcPattern*>& faces)>& eachFile) {
  int64_t writtenAtNs = 0;
  FcChar8* cacheFile = nullptr;
  FcCache* cache =
      FcDirCacheLoad(reinterpret_cast<const FcChar8*>(dir.c_str()), config, &cacheFile);
  struct stat st;
  if (cache && cacheFile && stat(reinterpret_cast<const char*>(cacheFile), &st) == 0) {
    writtenAtNs = nanoseconds(st.st_mtim);
  }
  if (cache) {
    FcFontSet* fonts = eachFile ? FcCacheCopySet(cache) : nullptr;
    if (fonts) {
      std::string_view last;
      std::vector<FcPattern*> faces;
      for (int i = 0; i < fonts->nfont; ++i) {
        FcChar8* file = nullptr;
        if (FcPatternGetString(fonts->fonts[i], FC_FILE, 0, &file) != FcResultMatch) continue;
        std::string_view path = reinterpret_cast<const char*>(file);
        // A file's faces come one after another.
        if (path != last && !faces.empty()) {
          eachFile(last, faces);
          faces.clear();
        }
        last = path;
        faces.push_back(fonts->fonts[i]);
      }
      if (!faces.empty()) eachFile(last, faces);
      FcFontSetDestroy(fonts);
    }
    FcDirCacheUnload(cache);
  }
  if (cacheFile) FcStrFree(cacheFile);
  return writtenAtNs;
}

bool cacheMayBeStale(const std::string& dir, FcConfig* config) {
  constexpr int64_t kOneSecond = 1000000000;
  FcChar8* cacheFile = nullptr;
  FcCache* cache =
      FcDirCacheLoad(reinterpret_cast<const FcChar8*>(dir.c_str()), config, &cacheFile);
  int64_t written = 0;
  struct stat st;
  if (cache && cacheFile && stat(reinterpret_cast<const char*>(cacheFile), &st) == 0) {
    written = nanoseconds(st.st_mtim);
  }
  if (cache) FcDirCacheUnload(cache);
  if (cacheFile) FcStrFree(cacheFile);
  if (written == 0) return false;  // no cache: fontconfig reads the directory anyway
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

}  // namespace kavri
