#ifndef KAVRI_SERVER_UTF8_H_
#define KAVRI_SERVER_UTF8_H_

#include <string_view>

namespace kavri {

// True when `bytes` is well-formed UTF-8 (RFC 3629): no overlong forms, no
// surrogates, nothing above U+10FFFF, no truncated sequence.
bool isValidUtf8(std::string_view bytes);

}  // namespace kavri

#endif  // KAVRI_SERVER_UTF8_H_
