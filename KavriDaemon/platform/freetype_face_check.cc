#include "platform/freetype_face_check.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string_view>
#include <system_error>
#include <thread>
#include <tuple>

namespace kavri {
namespace {

constexpr FT_F26Dot6 kOpenSize = 100 * 64;  // 100 points, 26.6 fixed point

FaceCheck versionOf(int status, const struct stat& st) {
  FaceCheck version;
  if (status == 0 && S_ISREG(st.st_mode)) {
    version.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    version.ctimeNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    version.size = static_cast<int64_t>(st.st_size);
  }
  return version;
}

// The file's version, or mtimeNs -1 when it is gone or not a regular file.
FaceCheck fileVersion(const std::string& file) {
  struct stat st;
  int status = stat(file.c_str(), &st);
  return versionOf(status, st);
}

}  // namespace

// Looks files up relative to their directory, opened once for a run of
// files in it: most of a stat's cost is walking the path.
class DirectoryStat {
 public:
  DirectoryStat() = default;
  ~DirectoryStat() { closeDir(); }
  DirectoryStat(const DirectoryStat&) = delete;
  DirectoryStat& operator=(const DirectoryStat&) = delete;

  FaceCheck version(const std::string& file) {
    size_t slash = file.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return fileVersion(file);
    std::string_view dir(file.data(), slash);
    if (dir != dir_) {
      closeDir();
      dir_ = dir;
      int fd;
      do {
        fd = open(dir_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      } while (fd < 0 && errno == EINTR);
      fd_ = fd;
    }
    if (fd_ < 0) return FaceCheck{};
    struct stat st;
    int status = fstatat(fd_, file.c_str() + slash + 1, &st, 0);
    return versionOf(status, st);
  }

 private:
  void closeDir() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  std::string dir_;
  int fd_ = -1;
};

namespace {

bool sameVersion(const FaceCheck& a, const FaceCheck& b) {
  return a.mtimeNs == b.mtimeNs && a.ctimeNs == b.ctimeNs && a.size == b.size;
}

// The list order: file, then face, then named instance.
auto orderKey(const std::string& file, int index) {
  return std::tuple(std::string_view(file), index & 0xffff, static_cast<unsigned>(index) >> 16);
}

// Fills in `check` (whose version is set) for face `index` of `file`.
void examine(FT_Library library, const std::string& file, int index, int64_t indexedAtNs,
             FaceCheck* check) {
  if (check->mtimeNs < 0) return;
  const long faceIndex = index & 0xffff;
  const long instance = static_cast<unsigned>(index) >> 16;
  if (instance == 0 && check->ctimeNs < indexedAtNs) {
    check->opened = true;  // FreeType opened this very version when fontconfig indexed it
    return;
  }
  if (!library) return;
  // FreeType's quick check (a negative index) recognises the format and
  // counts the faces and named instances without parsing the face. A full
  // open of every face costs several times fontconfig's whole listing.
  FT_Face face = nullptr;
  if (FT_New_Face(library, file.c_str(), -(faceIndex + 1), &face) == 0) {
    check->opened = faceIndex < face->num_faces && instance <= (face->style_flags >> 16);
    FT_Done_Face(face);
  }
  // A named instance's PostScript name is FreeType's (fontconfig's own is
  // made up and collides across files), which takes a full open.
  if (check->opened && instance > 0) {
    face = nullptr;
    check->opened = FT_New_Face(library, file.c_str(), index, &face) == 0;
    if (check->opened) {
      if (const char* name = FT_Get_Postscript_Name(face)) check->postscriptName = name;
      check->opened = FT_Set_Char_Size(face, 0, kOpenSize, 72, 72) == 0;
      FT_Done_Face(face);
    }
  }
}

// FreeType libraries are not shared between threads: one per worker.
class Library {
 public:
  Library() {
    if (FT_Init_FreeType(&library_) != 0) library_ = nullptr;
  }
  ~Library() {
    if (library_) FT_Done_FreeType(library_);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  FT_Library get() const { return library_; }

 private:
  FT_Library library_ = nullptr;
};

// Below this many, threads cost more than they save.
constexpr size_t kMinFacesPerThread = 32;

}  // namespace

FaceCheckCache::FaceCheckCache() = default;
FaceCheckCache::~FaceCheckCache() = default;

const FaceCheck& FaceCheckCache::check(size_t position) {
  Entry& entry = entries_.at(position);
  // A sweep through the list looks each directory up once; anything else
  // starts afresh, so a directory replaced meanwhile is never looked at
  // through an old handle for long.
  if (!stat_ || position != lastPosition_ + 1) stat_ = std::make_unique<DirectoryStat>();
  lastPosition_ = position;
  FaceCheck now = stat_->version(entry.file);
  if (entry.check.mtimeNs >= 0 && sameVersion(entry.check, now)) return entry.check;
  static Library* library = new Library();  // main thread only, like the cache's owner
  examine(library->get(), entry.file, entry.index, entry.indexedAtNs, &now);
  entry.check = std::move(now);
  return entry.check;
}

void FaceCheckCache::refresh(const std::vector<FaceToCheck>& faces) {
  std::vector<Entry> entries;
  entries.reserve(faces.size());
  std::vector<size_t> jobs;  // positions still to be examined
  DirectoryStat stat;
  size_t old = 0;
  for (const FaceToCheck& face : faces) {
    const std::string& file = *face.file;
    Entry entry{file, face.index, face.indexedAtNs, {}};
    // Both lists are sorted: walk the old one alongside. A face listed
    // before keeps its check; check() sees whether its file changed since.
    auto key = orderKey(file, face.index);
    while (old < entries_.size() && orderKey(entries_[old].file, entries_[old].index) < key) ++old;
    if (old < entries_.size() && entries_[old].file == file && entries_[old].index == face.index) {
      entry.check = std::move(entries_[old].check);
      entries.push_back(std::move(entry));
      continue;
    }
    entry.check = stat.version(file);
    if ((static_cast<unsigned>(face.index) >> 16) == 0 && entry.check.ctimeNs < face.indexedAtNs) {
      examine(nullptr, file, face.index, face.indexedAtNs, &entry.check);  // no FreeType needed
    } else {
      jobs.push_back(entries.size());
    }
    entries.push_back(std::move(entry));
  }

  // Each job is taken by exactly one thread; results land in distinct slots.
  std::atomic<size_t> next{0};
  auto work = [&] {
    Library library;
    for (size_t i = next++; i < jobs.size(); i = next++) {
      Entry& entry = entries[jobs[i]];
      examine(library.get(), entry.file, entry.index, entry.indexedAtNs, &entry.check);
    }
  };
  size_t threads = std::clamp<size_t>(jobs.size() / kMinFacesPerThread, 1,
                                      std::max(1u, std::thread::hardware_concurrency()));
  std::vector<std::thread> helpers;
  for (size_t i = 1; i < threads; ++i) {
    // Without a helper thread the work is merely slower.
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;
    }
  }
  work();
  for (std::thread& helper : helpers) helper.join();
  entries_ = std::move(entries);
  stat_.reset();
}

}  // namespace kavri
