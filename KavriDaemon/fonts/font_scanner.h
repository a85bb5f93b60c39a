#ifndef KAVRI_FONTS_FONT_SCANNER_H_
#define KAVRI_FONTS_FONT_SCANNER_H_

namespace kavri {

// Placeholder: the scanner lands with the font catalogue.
class FontScanner {
 public:
  void scanForFonts() {}
  void fontSetChanged() { scanForFonts(); }
};

}  // namespace kavri

#endif  // KAVRI_FONTS_FONT_SCANNER_H_
