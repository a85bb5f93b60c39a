#ifndef KAVRI_FONTS_FONT_SCANNER_H_
#define KAVRI_FONTS_FONT_SCANNER_H_

#include "platform/font_source.h"

namespace kavri {

// Lists the installed font faces, keeps the usable ones and sends the server
// one catalogue message: a compact one-line JSON object mapping each font
// file's path to the records of its faces, followed by a line feed.
//
// Holds no state between scans. Main thread only: scans never overlap, so
// their messages never interleave on the server's input.
class FontScanner {
 public:
  // `source` is borrowed and must outlive the scanner.
  explicit FontScanner(FontSource& source = FontSource::shared());
  FontScanner(const FontScanner&) = delete;
  FontScanner& operator=(const FontScanner&) = delete;

  // One full scan, sent with sendStringToServer. Faces that cannot be opened,
  // lack a value (or have no UTF-8 text for it) or are bitmap faces are left
  // out with a log line. Nothing is sent if the catalogue cannot be written.
  void scanForFonts();

  // Handler of the platform's font-set-changed event: a full rescan.
  void fontSetChanged();

 private:
  FontSource& source_;
};

}  // namespace kavri

#endif  // KAVRI_FONTS_FONT_SCANNER_H_
