#include "platform/freetype_face_check.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>

namespace kavri {
namespace {

constexpr FT_F26Dot6 kOpenSize = 100 * 64;  // 100 points, 26.6 fixed point

// The file's version, or mtimeNs -1 when it is gone or not a regular file.
FaceCheck fileVersion(const std::string& file) {
  FaceCheck version;
  struct stat st;
  if (stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    version.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    version.size = static_cast<int64_t>(st.st_size);
  }
  return version;
}

bool sameVersion(const FaceCheck& a, const FaceCheck& b) {
  return a.mtimeNs == b.mtimeNs && a.size == b.size;
}

// Fills in `check` (whose version is set) for face `index` of `file`.
void examine(FT_Library library, const std::string& file, int index, FaceCheck* check) {
  if (check->mtimeNs < 0 || !library) return;
  // FreeType's quick check (a negative index) recognises the format and
  // counts the faces and named instances without parsing the face. A full
  // open of every face costs several times fontconfig's whole listing, and
  // fontconfig parsed each face when it indexed it.
  const long faceIndex = index & 0xffff;
  const long instance = static_cast<unsigned>(index) >> 16;
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

const FaceCheck& FaceCheckCache::check(const std::string& file, int index) {
  FaceCheck& entry = checks_[std::pair(file, index)];
  FaceCheck now = fileVersion(file);
  if (entry.mtimeNs >= 0 && sameVersion(entry, now)) return entry;
  static Library* library = new Library();  // main thread only, like the cache's owner
  examine(library->get(), file, index, &now);
  entry = std::move(now);
  return entry;
}

void FaceCheckCache::refresh(const std::vector<std::pair<std::string, int>>& faces) {
  std::map<std::pair<std::string, int>, FaceCheck> kept;
  struct Job {
    const std::pair<std::string, int>* face;
    FaceCheck result;
  };
  std::vector<Job> jobs;
  for (const auto& face : faces) {
    FaceCheck now = fileVersion(face.first);
    auto old = checks_.find(face);
    if (old != checks_.end() && old->second.mtimeNs >= 0 && sameVersion(old->second, now)) {
      kept.emplace(face, std::move(old->second));
    } else {
      jobs.push_back({&face, std::move(now)});
    }
  }

  // Each job is taken by exactly one thread; results land in distinct slots.
  std::atomic<size_t> next{0};
  auto work = [&] {
    Library library;
    for (size_t i = next++; i < jobs.size(); i = next++) {
      examine(library.get(), jobs[i].face->first, jobs[i].face->second, &jobs[i].result);
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

  for (Job& job : jobs) kept.insert_or_assign(*job.face, std::move(job.result));
  checks_ = std::move(kept);
}

}  // namespace kavri
