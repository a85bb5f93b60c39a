#ifndef KAVRI_FONTS_UTF8_H_
#define KAVRI_FONTS_UTF8_H_

#include <string>
#include <string_view>

namespace kavri {

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool isValidUtf8(std::string_view text);

// `text` made safe for a log line: valid UTF-8 passes unchanged, except that
// control characters and bytes that are not part of valid UTF-8 are written
// as \xNN.
std::string printableText(std::string_view text);

}  // namespace kavri

#endif  // KAVRI_FONTS_UTF8_H_
