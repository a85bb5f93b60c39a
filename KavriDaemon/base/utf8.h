#ifndef KAVRI_BASE_UTF8_H_
#define KAVRI_BASE_UTF8_H_

#include <cstddef>
#include <string_view>

namespace kavri {

// True when `bytes` is well-formed UTF-8 (RFC 3629): no overlong forms, no
// surrogates, nothing above U+10FFFF, no truncated sequence.
bool isValidUtf8(std::string_view bytes);

// The length of the well-formed UTF-8 sequence that starts at bytes[at]
// (1 to 4), or 0 when none starts there. `at` must be within `bytes`.
size_t utf8SequenceLength(std::string_view bytes, size_t at);

}  // namespace kavri

#endif  // KAVRI_BASE_UTF8_H_
