#ifndef KAVRI_FONTS_FONT_SCANNER_H_
#define KAVRI_FONTS_FONT_SCANNER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/font_source.h"

namespace kavri {

// Lists the installed font faces, keeps the usable ones and sends the server
// one catalogue message: a compact one-line JSON object mapping each font
// file's path to the records of its faces, followed by a line feed.
//
// Every scan goes through every listed face. What it made of a file's faces
// is kept for the next scan while the source vouches the file unchanged (its
// revision): their records, as text in the last message sent, and the log
// lines of those left out. A scan after one new file then costs that file
// plus putting the message together. Main thread only: scans never overlap,
// so their messages never interleave on the server's input.
class FontScanner {
 public:
  // `source` is borrowed and must outlive the scanner.
  explicit FontScanner(FontSource& source = FontSource::shared());
  FontScanner(const FontScanner&) = delete;
  FontScanner& operator=(const FontScanner&) = delete;

  // One full scan, sent with sendStringToServer. Faces that cannot be opened,
  // lack a value (or have no UTF-8 text for it) or are bitmap faces are left
  // out with a log line.
  void scanForFonts();

  // Handler of the platform's font-set-changed event: a full rescan.
  void fontSetChanged();

 private:
  // What the last scan made of one file's faces.
  struct FileScan {
    uint64_t revision = 0;
    size_t faces = 0;
    size_t member = 0, memberLength = 0;  // "path":[records] in message_; 0 long without records
    size_t firstSkip = 0, skips = 0;      // in skipLines_
  };

  // Opens the faces listed from `begin` to `end` and appends the record of
  // each usable one, with its path, to `records`; logs the lines of those
  // left out and appends them to `skips`.
  void scanFaces(const std::vector<ListedFont>& fonts, size_t begin, size_t end,
                 std::vector<std::pair<std::string, std::string>>* records,
                 std::vector<std::string>* skips);
  // The message of a vouched list, reusing what is kept; keeps what it made.
  std::string vouchedMessage(const std::vector<ListedFont>& fonts);

  FontSource& source_;
  std::string message_;                 // the last message sent
  std::vector<FileScan> scanned_;       // by revision
  std::vector<std::string> skipLines_;  // of all files in scanned_
};

}  // namespace kavri

#endif  // KAVRI_FONTS_FONT_SCANNER_H_
