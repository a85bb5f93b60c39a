// libFuzzer target for the update feed: any bytes give a parsed feed or a
// reason, never a crash; every item it accepts keeps the parser's promises;
// the version order is a consistent one.

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "updater/appcast.h"
#include "updater/version_compare.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string err;
  auto items = kavri::parseAppcast(text, &err);
  if (!items && err.empty()) abort();
  if (items) {
    for (const kavri::AppcastItem& item : *items) {
      std::string scheme = item.url.substr(0, 4);
      for (char& ch : scheme) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      if (scheme != "http" || item.length == 0 || item.version.empty()) abort();
    }
    auto best = kavri::bestAppcastItem(*items, "1.0", "6.1.0-18-amd64");
    if (best && kavri::compareVersions(best->version, "1.0") <= 0) abort();
  }

  // Three versions from the input: the order must be antisymmetric and
  // transitive.
  size_t third = size / 3;
  std::string_view a = text.substr(0, third), b = text.substr(third, third), c = text.substr(2 * third);
  int ab = kavri::compareVersions(a, b), ba = kavri::compareVersions(b, a);
  if ((ab < 0) != (ba > 0) || (ab == 0) != (ba == 0)) abort();
  int bc = kavri::compareVersions(b, c), ac = kavri::compareVersions(a, c);
  if (ab <= 0 && bc <= 0 && ac > 0) abort();
  if (ab >= 0 && bc >= 0 && ac < 0) abort();
  return 0;
}
