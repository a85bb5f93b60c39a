#ifndef KAVRI_UPDATER_APPCAST_H_
#define KAVRI_UPDATER_APPCAST_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavri {

// The namespace of the update attributes and elements, matched by URI
// whatever prefix the feed gives it.
inline constexpr char kSparkleNamespace[] = "http://www.andymatuschak.org/xml-namespaces/sparkle";

// One release offered by the feed: an RSS item with an enclosure.
struct AppcastItem {
  std::string url;                // enclosure url: absolute http(s)
  uint64_t length = 0;            // enclosure length, bytes, > 0
  std::string version;            // sparkle:version (attribute or element)
  std::string shortVersion;       // sparkle:shortVersionString, may be empty
  std::string edSignature;        // sparkle:edSignature (base64), may be empty
  std::string os;                 // sparkle:os, empty when absent
  std::string minimumSystemVersion;  // may be empty
};

// Largest feed we read, in bytes.
inline constexpr size_t kMaxAppcastBytes = 1 << 20;

// Parses an RSS 2.0 feed (rss > channel > item). Items without an enclosure
// are release notes, not releases, and are left out. The feed is refused
// whole (nullopt, reason in `err`) when it is not well-formed XML, holds a
// DOCTYPE (and so any entity of its own), is larger than kMaxAppcastBytes,
// is nested too deeply or is not rss > channel, or when any item is
// malformed: more
// than one enclosure, a missing or non-http(s) url, a length that is not a
// positive decimal number, no version or two different ones, a signature
// that is not base64 of 64 bytes. Pure; any thread.
std::optional<std::vector<AppcastItem>> parseAppcast(std::string_view xml, std::string* err);

// The item to install: among the items meant for this system (sparkle:os
// absent or "linux"; sparkle:minimumSystemVersion absent or not newer than
// the numeric part of `kernelRelease`), the one with the highest version,
// provided it is newer than `currentVersion`. Versions compare with
// compareVersions. nullopt when there is none.
std::optional<AppcastItem> bestAppcastItem(const std::vector<AppcastItem>& items,
                                           std::string_view currentVersion,
                                           std::string_view kernelRelease);

}  // namespace kavri

#endif  // KAVRI_UPDATER_APPCAST_H_
