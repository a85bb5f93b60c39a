#include "fonts/printable_text.h"

#include <cstdint>
#include <cstdio>

#include "base/utf8.h"

namespace kavri {

std::string printableText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t n = utf8SequenceLength(text, i);
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
