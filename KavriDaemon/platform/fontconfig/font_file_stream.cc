#include "platform/fontconfig/font_file_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace kavri {
namespace {

// Windows start on a page and hold any small read that starts in their
// first page.
constexpr unsigned long kPage = 4096;
constexpr unsigned long kWindow = 4 * kPage;
constexpr unsigned long kSmallRead = kWindow - kPage;

}  // namespace

FreeTypeLibrary::FreeTypeLibrary() {
  if (FT_Init_FreeType(&library_) != 0) library_ = nullptr;
}

FreeTypeLibrary::~FreeTypeLibrary() {
  if (library_) FT_Done_FreeType(library_);
}

FT_Library mainThreadFreeType() {
  // Never destroyed: nothing at exit may depend on FreeType going first.
  static FreeTypeLibrary* library = new FreeTypeLibrary();
  return library->get();
}

void FontFace::close() {
  if (face_) FT_Done_Face(face_);
  face_ = nullptr;
}

FontFile::FontFile(const char* path) {
  do {
    fd_ = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (fd_ < 0 && errno == EINTR);
  struct stat st;
  if (fd_ >= 0 && fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
    stream_.size = static_cast<unsigned long>(st.st_size);
    stream_.descriptor.pointer = this;
    stream_.read = read;
  }
}

FontFile::~FontFile() {
  if (fd_ >= 0) close(fd_);
}

bool FontFile::open(FT_Library library, FT_Long index, FontFace* face) {
  face->close();
  if (!library || !stream_.read) return false;
  FT_Open_Args args = {};
  args.flags = FT_OPEN_STREAM;
  args.stream = &stream_;
  if (FT_Open_Face(library, &args, index, &face->face_) == 0) return true;
  face->face_ = nullptr;
  return false;
}

// FreeType's read, or with no bytes wanted, its seek (0 when it lands).
unsigned long FontFile::read(FT_Stream stream, unsigned long offset, unsigned char* buffer,
                             unsigned long count) {
  if (count == 0) return offset <= stream->size ? 0 : 1;
  return static_cast<FontFile*>(stream->descriptor.pointer)->readAt(offset, buffer, count);
}

unsigned long FontFile::readAt(unsigned long offset, unsigned char* buffer, unsigned long count) {
  if (count > kSmallRead) return readThrough(offset, buffer, count);
  if (offset < windowStart_ || offset + count > windowStart_ + windowSize_) {
    if (!window_) window_ = std::make_unique_for_overwrite<unsigned char[]>(kWindow);
    windowStart_ = offset / kPage * kPage;
    windowSize_ = readThrough(windowStart_, window_.get(), kWindow);
  }
  if (offset >= windowStart_ + windowSize_) return 0;
  unsigned long done = std::min(count, windowStart_ + windowSize_ - offset);
  std::memcpy(buffer, window_.get() + (offset - windowStart_), done);
  return done;
}

unsigned long FontFile::readThrough(unsigned long offset, unsigned char* buffer,
                                    unsigned long count) {
  unsigned long done = 0;
  while (done < count) {
    ssize_t n = pread(fd_, buffer + done, count - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<unsigned long>(n);
  }
  return done;
}

}  // namespace kavri
