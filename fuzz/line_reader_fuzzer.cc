// libFuzzer target for the server-output line framing and its UTF-8 check.
// However the stream is cut into chunks, every line feed it holds yields
// exactly one event by the time it arrives, in stream order: the line, or
// its drop with the line's exact length when it is over the limit; the
// buffer never holds more than the limit. The UTF-8 check agrees with a
// plain code-point decoder at every byte.
//
// Input: the stream comes from the front, the limit and the chunk lengths
// from the back (FuzzedDataProvider's way), so mutations of the text keep
// its cuts.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "server/line_reader.h"
#include "base/utf8.h"

namespace {

struct Event {
  bool dropped;
  std::string line;  // the line, when it was handed over
  size_t bytes;      // its length either way
  bool operator==(const Event&) const = default;
};

class Recorder : public kavri::LineReader::Reporter {
 public:
  std::vector<Event> events;
  void lineDropped(size_t bytes) override { events.push_back({true, {}, bytes}); }
};

// The length of the sequence at s[at] by decoding it: 0 when it is not
// well-formed UTF-8 (a stray or truncated sequence, an overlong form, a
// surrogate, a code point above U+10FFFF).
size_t decodedLength(std::string_view s, size_t at) {
  auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t lead = byte(at);
  if (lead < 0x80) return 1;
  size_t trailing;
  uint32_t point;
  if ((lead & 0xE0) == 0xC0) {
    trailing = 1, point = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    trailing = 2, point = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    trailing = 3, point = lead & 0x07;
  } else {
    return 0;
  }
  if (s.size() - at - 1 < trailing) return 0;
  for (size_t k = 1; k <= trailing; ++k) {
    if ((byte(at + k) & 0xC0) != 0x80) return 0;
    point = point << 6 | (byte(at + k) & 0x3F);
  }
  static constexpr uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
  if (point < kSmallest[trailing] || point > 0x10FFFF) return 0;
  if (point >= 0xD800 && point <= 0xDFFF) return 0;
  return trailing + 1;
}

void checkUtf8(std::string_view s) {
  bool valid = true;
  for (size_t at = 0; at < s.size(); ++at)
    if (kavri::utf8SequenceLength(s, at) != decodedLength(s, at)) abort();
  for (size_t at = 0; at < s.size();) {
    size_t length = decodedLength(s, at);
    if (length == 0) {
      valid = false;
      break;
    }
    at += length;
  }
  if (kavri::isValidUtf8(s) != valid) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  size_t limit = input.ConsumeBool() ? kavri::LineReader::kMaxLineBytes
                                     : input.ConsumeIntegralInRange<size_t>(0, 64);
  Recorder seen;
  kavri::LineReader reader(
      [&](std::string_view line) {
        checkUtf8(line);
        seen.events.push_back({false, std::string(line), line.size()});
      },
      &seen, limit);

  std::string stream;
  size_t lineFeeds = 0;
  while (input.remaining_bytes() > 0) {
    size_t length = input.ConsumeIntegralInRange<size_t>(0, 80);
    std::string chunk = input.ConsumeBytesAsString(length);
    reader.append(chunk);
    stream += chunk;
    for (char c : chunk) lineFeeds += c == '\n';
    if (seen.events.size() != lineFeeds) abort();
    if (reader.bufferedBytes() > limit) abort();
  }

  // What framing the whole stream at once must give.
  std::vector<Event> expected;
  std::string_view rest(stream);
  for (size_t feed; (feed = rest.find('\n')) != std::string_view::npos;
       rest.remove_prefix(feed + 1)) {
    std::string_view line = rest.substr(0, feed);
    if (line.size() > limit)
      expected.push_back({true, {}, line.size()});
    else
      expected.push_back({false, std::string(line), line.size()});
  }
  if (seen.events != expected) abort();
  if (reader.bufferedBytes() != (rest.size() <= limit ? rest.size() : 0)) abort();
  checkUtf8(stream);
  return 0;
}
