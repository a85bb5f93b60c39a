#include "platform/fontconfig/freetype_face_check.h"

#include <ft2build.h>
#include FT_MULTIPLE_MASTERS_H
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <system_error>
#include <thread>

#include "platform/fontconfig/font_file_stream.h"

namespace kavri {
namespace {

constexpr FT_F26Dot6 kOpenSize = 100 * 64;  // 100 points, 26.6 fixed point

FileVersion versionOf(int status, const struct stat& st) {
  FileVersion version;
  if (status == 0 && S_ISREG(st.st_mode)) {
    version.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    version.ctimeNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    version.size = static_cast<int64_t>(st.st_size);
  }
  return version;
}

bool isInstance(const FaceCheckJob& job) { return (static_cast<unsigned>(job.index) >> 16) != 0; }

bool needsFreeType(const FaceCheckJob& job) {
  return job.version.exists() && (isInstance(job) || job.version.mtimeNs >= job.readAtNs);
}

// Checks `count` jobs that are either one face, or named instances of one
// face of one file: those share one open of the face.
void examine(FT_Library library, FaceCheckJob** jobs, size_t count) {
  FaceCheckJob* first = jobs[0];
  for (size_t i = 0; i < count; ++i) jobs[i]->result = FaceCheck{};
  if (!first->version.exists()) return;
  if (!needsFreeType(*first)) {
    first->result.opened = true;  // FreeType opened this very version when fontconfig read it
    return;
  }
  if (!library) return;
  const long faceIndex = first->index & 0xffff;
  // FreeType's quick check (a negative index) recognises the format and
  // counts the faces and named instances without parsing the face. A full
  // open of every face costs several times fontconfig's whole listing.
  FontFile file(first->file);
  FontFace face;
  long instances = -1;
  if (file.open(library, -(faceIndex + 1), &face) && faceIndex < face->num_faces) {
    instances = face->style_flags >> 16;
  }
  if (!isInstance(*first)) {
    first->result.opened = instances >= 0;
    return;
  }
  // A named instance's PostScript name is FreeType's (fontconfig's own is
  // made up and collides across files), which takes a full open; the face's
  // other instances are a switch away.
  if (instances < 1 || !file.open(library, faceIndex, &face)) return;
  for (size_t i = 0; i < count; ++i) {
    FaceCheckJob* job = jobs[i];
    FT_UInt instance = static_cast<unsigned>(job->index) >> 16;
    if (instance > instances || FT_Set_Named_Instance(face.get(), instance) != 0) continue;
    if (const char* name = FT_Get_Postscript_Name(face.get())) job->result.postscriptName = name;
    job->result.opened = FT_Set_Char_Size(face.get(), 0, kOpenSize, 72, 72) == 0;
  }
}

// Jobs that share one open: named instances of one face of one file, next
// to each other.
bool sameFace(const FaceCheckJob& a, const FaceCheckJob& b) {
  return isInstance(a) && isInstance(b) && (a.index & 0xffff) == (b.index & 0xffff) &&
         a.version == b.version && std::strcmp(a.file, b.file) == 0;
}

// Below this many, threads cost more than they save.
constexpr size_t kMinFacesPerThread = 32;

}  // namespace

FileVersion fileVersionOf(const struct stat& st) { return versionOf(0, st); }

FileVersion fileVersion(const std::string& path) {
  struct stat st;
  int status = stat(path.c_str(), &st);
  return versionOf(status, st);
}

DirectoryStat::~DirectoryStat() { release(); }

void DirectoryStat::release() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  dir_.clear();
}

FileVersion DirectoryStat::version(const std::string& file) {
  size_t slash = file.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return fileVersion(file);
  std::string_view dir(file.data(), slash);
  if (dir != dir_) {
    release();
    dir_ = dir;
    int fd;
    do {
      fd = open(dir_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    fd_ = fd;
  }
  if (fd_ < 0) return FileVersion{};
  struct stat st;
  int status = fstatat(fd_, file.c_str() + slash + 1, &st, 0);
  return versionOf(status, st);
}

void checkFace(FaceCheckJob* job) {
  examine(needsFreeType(*job) ? mainThreadFreeType() : nullptr, &job, 1);
}

void checkFaces(std::vector<FaceCheckJob>* jobs) {
  std::vector<FaceCheckJob*> work;
  std::vector<size_t> groups;  // where each group of `work` starts
  for (FaceCheckJob& job : *jobs) {
    if (!needsFreeType(job)) {
      FaceCheckJob* one = &job;
      examine(nullptr, &one, 1);
      continue;
    }
    if (work.empty() || !sameFace(*work.back(), job)) groups.push_back(work.size());
    work.push_back(&job);
  }
  groups.push_back(work.size());
  // Each group is taken by exactly one thread; results land in distinct jobs.
  std::atomic<size_t> next{0};
  auto run = [&](FT_Library library) {
    for (size_t g = next++; g + 1 < groups.size(); g = next++) {
      examine(library, &work[groups[g]], groups[g + 1] - groups[g]);
    }
  };
  size_t threads = std::clamp<size_t>(work.size() / kMinFacesPerThread, 1,
                                      std::max(1u, std::thread::hardware_concurrency()));
  std::vector<std::thread> helpers;
  for (size_t i = 1; i < threads; ++i) {
    // Without a helper thread the work is merely slower.
    try {
      helpers.emplace_back([&] {
        FreeTypeLibrary library;
        run(library.get());
      });
    } catch (const std::system_error&) {
      break;
    }
  }
  if (threads == 1) {
    run(mainThreadFreeType());
  } else {
    FreeTypeLibrary library;
    run(library.get());
  }
  for (std::thread& helper : helpers) helper.join();
}

}  // namespace kavri
