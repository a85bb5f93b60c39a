#ifndef KAVRI_FONTS_PRINTABLE_TEXT_H_
#define KAVRI_FONTS_PRINTABLE_TEXT_H_

#include <string>
#include <string_view>

namespace kavri {

// `text` made safe for a log line: valid UTF-8 passes unchanged, except that
// control characters and bytes that are not part of valid UTF-8 are written
// as \xNN.
std::string printableText(std::string_view text);

}  // namespace kavri

#endif  // KAVRI_FONTS_PRINTABLE_TEXT_H_
