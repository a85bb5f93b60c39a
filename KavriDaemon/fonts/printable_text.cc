#include "fonts/printable_text.h"

#include <cstdint>
#include <cstdio>

namespace kavri {
namespace {

// Length of the valid UTF-8 sequence at text[i], or 0 when there is none.
size_t sequenceLength(std::string_view text, size_t i) {
  auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  uint8_t lead = byte(i);
  if (lead < 0x80) return 1;
  size_t length;
  uint8_t low = 0x80, high = 0xbf;  // allowed range of the second byte
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xbf) return 0;
  }
  return length;
}

}  // namespace

std::string printableText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t n = sequenceLength(text, i);
    auto lead = static_cast<uint8_t>(text[i]);
    if (n == 0 || lead < 0x20 || lead == 0x7f) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\x%02x", lead);
      out += escaped;
      i += 1;
    } else {
      out.append(text, i, n);
      i += n;
    }
  }
  return out;
}

}  // namespace kavri
