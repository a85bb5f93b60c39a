#ifndef KAVRI_PLATFORM_FONTCONFIG_FONT_FILE_STREAM_H_
#define KAVRI_PLATFORM_FONTCONFIG_FONT_FILE_STREAM_H_

// Linux-internal: a font file as FreeType reads it here, through a
// descriptor.

#include <ft2build.h>
#include FT_FREETYPE_H

#include <memory>

namespace kavri {

// A FreeType library. Libraries are not shared between threads: one for
// each thread that reads fonts.
class FreeTypeLibrary {
 public:
  FreeTypeLibrary();
  ~FreeTypeLibrary();
  FreeTypeLibrary(const FreeTypeLibrary&) = delete;
  FreeTypeLibrary& operator=(const FreeTypeLibrary&) = delete;
  FT_Library get() const { return library_; }  // null when FreeType failed to start

 private:
  FT_Library library_ = nullptr;
};

// The main thread's library, kept for the life of the process (null when
// FreeType failed to start). Main thread only.
FT_Library mainThreadFreeType();

// One face of a font file, open in FreeType, done with when this goes.
class FontFace {
 public:
  FontFace() = default;
  ~FontFace() { close(); }
  FontFace(const FontFace&) = delete;
  FontFace& operator=(const FontFace&) = delete;

  FT_Face get() const { return face_; }
  FT_Face operator->() const { return face_; }
  void close();

 private:
  friend class FontFile;
  FT_Face face_ = nullptr;
};

// A font file as FreeType reads it here: through a descriptor, not mapped
// into memory, where a file cut short under it (rewritten in place, or its
// drive gone) would end the process with SIGBUS. Here that is a failed read,
// and the face fails to open (or a glyph to load). The size is the file's
// when it was opened. A file that cannot be opened, or is no regular file,
// opens no face. FreeType reads a few bytes at a time, so small reads are
// served from a window of the file read ahead.
class FontFile {
 public:
  explicit FontFile(const char* path);
  ~FontFile();
  FontFile(const FontFile&) = delete;
  FontFile& operator=(const FontFile&) = delete;

  // FT_New_Face on this file: face `index` (FreeType's, so a negative one
  // is its quick check) into `face`, which first lets go of the face it
  // held, as FreeType reads the file through one stream one face at a time.
  // The file must outlive the face. False when FreeType cannot open it.
  bool open(FT_Library library, FT_Long index, FontFace* face);

 private:
  static unsigned long read(FT_Stream stream, unsigned long offset, unsigned char* buffer,
                            unsigned long count);
  unsigned long readAt(unsigned long offset, unsigned char* buffer, unsigned long count);
  unsigned long readThrough(unsigned long offset, unsigned char* buffer, unsigned long count);

  int fd_ = -1;
  FT_StreamRec stream_ = {};
  std::unique_ptr<unsigned char[]> window_;  // made on the first small read
  unsigned long windowStart_ = 0;
  unsigned long windowSize_ = 0;
};

}  // namespace kavri

#endif  // KAVRI_PLATFORM_FONTCONFIG_FONT_FILE_STREAM_H_
