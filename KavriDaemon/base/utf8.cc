#include "base/utf8.h"

#include <cstdint>
#include <cstring>

namespace kavri {

size_t utf8SequenceLength(std::string_view bytes, size_t at) {
  auto byte = [&](size_t k) { return static_cast<uint8_t>(bytes[k]); };
  uint8_t lead = byte(at);
  if (lead < 0x80) return 1;
  size_t length;
  // The allowed range of the second byte rules out overlong forms,
  // surrogates and code points above U+10FFFF (RFC 3629, table 3-7).
  uint8_t low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (bytes.size() - at < length) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k)
    if ((byte(at + k) & 0xC0) != 0x80) return 0;
  return length;
}

bool isValidUtf8(std::string_view bytes) {
  for (size_t at = 0; at < bytes.size();) {
    // Runs of ASCII, most of a catalogue, eight bytes at a time.
    uint64_t word;
    if (bytes.size() - at >= sizeof word) {
      std::memcpy(&word, bytes.data() + at, sizeof word);
      if ((word & 0x8080808080808080ull) == 0) {
        at += sizeof word;
        continue;
      }
    }
    size_t length = utf8SequenceLength(bytes, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

}  // namespace kavri
