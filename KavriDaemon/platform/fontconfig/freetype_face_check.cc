#include "platform/fontconfig/freetype_face_check.h"

#include <ft2build.h>
#include FT_FREETYPE_H
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

// A font file as FreeType reads it here: through a descriptor, not mapped
// into memory, where a file cut short under it (rewritten in place, or its
// drive gone) would end the process with SIGBUS. Here that is a failed read,
// and the face fails to open.
class FontFile {
 public:
  explicit FontFile(const char* path) {
    do {
      fd_ = open(path, O_RDONLY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    struct stat st;
    if (fd_ >= 0 && fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
      stream_.size = static_cast<unsigned long>(st.st_size);
      stream_.descriptor.value = fd_;
      stream_.read = read;
    }
  }
  ~FontFile() {
    if (fd_ >= 0) close(fd_);
  }
  FontFile(const FontFile&) = delete;
  FontFile& operator=(const FontFile&) = delete;

  // FT_New_Face on this file; the file must outlive the face.
  FT_Error openFace(FT_Library library, FT_Long index, FT_Face* face) {
    if (!stream_.read) return FT_Err_Cannot_Open_Resource;
    FT_Open_Args args = {};
    args.flags = FT_OPEN_STREAM;
    args.stream = &stream_;
    return FT_Open_Face(library, &args, index, face);
  }

 private:
  // FreeType's read, or with no bytes wanted, its seek (0 when it lands).
  static unsigned long read(FT_Stream stream, unsigned long offset, unsigned char* buffer,
                            unsigned long count) {
    if (count == 0) return offset <= stream->size ? 0 : 1;
    unsigned long done = 0;
    while (done < count) {
      ssize_t n = pread(stream->descriptor.value, buffer + done, count - done,
                        static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<unsigned long>(n);
    }
    return done;
  }

  int fd_ = -1;
  FT_StreamRec stream_ = {};
};

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
  FT_Face face = nullptr;
  long instances = -1;
  if (file.openFace(library, -(faceIndex + 1), &face) == 0) {
    if (faceIndex < face->num_faces) instances = face->style_flags >> 16;
    FT_Done_Face(face);
  }
  if (!isInstance(*first)) {
    first->result.opened = instances >= 0;
    return;
  }
  // A named instance's PostScript name is FreeType's (fontconfig's own is
  // made up and collides across files), which takes a full open; the face's
  // other instances are a switch away.
  face = nullptr;
  if (instances < 1 || file.openFace(library, faceIndex, &face) != 0) return;
  for (size_t i = 0; i < count; ++i) {
    FaceCheckJob* job = jobs[i];
    FT_UInt instance = static_cast<unsigned>(job->index) >> 16;
    if (instance > instances || FT_Set_Named_Instance(face, instance) != 0) continue;
    if (const char* name = FT_Get_Postscript_Name(face)) job->result.postscriptName = name;
    job->result.opened = FT_Set_Char_Size(face, 0, kOpenSize, 72, 72) == 0;
  }
  FT_Done_Face(face);
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

namespace {
FT_Library mainThreadLibrary() {
  static Library* library = new Library();
  return library->get();
}
}  // namespace

void checkFace(FaceCheckJob* job) {
  examine(needsFreeType(*job) ? mainThreadLibrary() : nullptr, &job, 1);
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
        Library library;
        run(library.get());
      });
    } catch (const std::system_error&) {
      break;
    }
  }
  if (threads == 1) {
    run(mainThreadLibrary());
  } else {
    Library library;
    run(library.get());
  }
  for (std::thread& helper : helpers) helper.join();
}

}  // namespace kavri
