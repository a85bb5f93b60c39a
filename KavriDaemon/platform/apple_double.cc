#include "platform/apple_double.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <vector>

namespace kavri {
namespace {

constexpr uint32_t kMagic = 0x00051607;
constexpr uint32_t kVersion2 = 0x00020000;
constexpr uint32_t kResourceForkEntryId = 2;
// magic, version, 16 filler bytes, entry count
constexpr uint64_t kHeaderBytes = 26;
// entry id, offset, length
constexpr uint64_t kEntryBytes = 12;

uint16_t bigEndian16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

uint32_t bigEndian32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

// a + b, unless that would pass `limit` (or wrap).
bool addWithin(uint64_t a, uint64_t b, uint64_t limit, uint64_t* sum) {
  if (a > limit || b > limit - a) return false;
  *sum = a + b;
  return true;
}

struct Extent {
  uint64_t begin;
  uint64_t end;
};

}  // namespace

std::optional<AppleDoubleFork> findAppleDoubleResourceFork(uint64_t fileSize, const SidecarReader& read) {
  if (fileSize < kHeaderBytes) return std::nullopt;
  std::array<uint8_t, kHeaderBytes> header;
  if (!read(0, header)) return std::nullopt;
  if (bigEndian32(&header[0]) != kMagic || bigEndian32(&header[4]) != kVersion2) return std::nullopt;

  // At most 65535 entries: the table is never more than 786 KB, and must be
  // in the file before any of it is read.
  uint64_t entryCount = bigEndian16(&header[24]);
  uint64_t tableEnd = kHeaderBytes + entryCount * kEntryBytes;
  if (tableEnd > fileSize) return std::nullopt;
  std::vector<uint8_t> table(static_cast<size_t>(entryCount * kEntryBytes));
  if (!table.empty() && !read(kHeaderBytes, table)) return std::nullopt;

  std::optional<AppleDoubleFork> fork;
  std::vector<Extent> extents;
  extents.reserve(static_cast<size_t>(entryCount));
  for (uint64_t i = 0; i < entryCount; ++i) {
    const uint8_t* entry = &table[static_cast<size_t>(i * kEntryBytes)];
    uint32_t id = bigEndian32(entry);
    uint64_t offset = bigEndian32(entry + 4);
    uint64_t length = bigEndian32(entry + 8);
    uint64_t end = 0;
    if (!addWithin(offset, length, fileSize, &end)) return std::nullopt;
    if (length > 0) {
      if (offset < tableEnd) return std::nullopt;
      extents.push_back({offset, end});
    }
    if (id == kResourceForkEntryId) {
      if (fork) return std::nullopt;
      fork = AppleDoubleFork{offset, length};
    }
  }
  std::sort(extents.begin(), extents.end(), [](const Extent& a, const Extent& b) { return a.begin < b.begin; });
  for (size_t i = 1; i < extents.size(); ++i) {
    if (extents[i].begin < extents[i - 1].end) return std::nullopt;
  }
  return fork;
}

std::optional<AppleDoubleFork> findAppleDoubleResourceFork(std::span<const uint8_t> file) {
  return findAppleDoubleResourceFork(file.size(), [file](uint64_t offset, std::span<uint8_t> into) {
    if (offset > file.size() || into.size() > file.size() - offset) return false;
    std::memcpy(into.data(), file.data() + offset, into.size());
    return true;
  });
}

bool isBlankResourceFork(std::span<const uint8_t> fork) {
  // Resource file header: data offset, map offset, data length, map length.
  static constexpr uint8_t kEmptyHeader[16] = {0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0x1e};
  static constexpr std::string_view kTag = "This resource fork intentionally left blank";
  // The map at 256: 16 reserved bytes, next-map handle, file reference,
  // attributes, then the type list offset (28), name list offset (30) and a
  // type count less one of -1: no types.
  static constexpr uint8_t kEmptyMapTail[6] = {0, 0x1c, 0, 0x1e, 0xff, 0xff};
  return fork.size() == kBlankResourceForkBytes && std::memcmp(fork.data(), kEmptyHeader, 16) == 0 &&
         std::memcmp(fork.data() + 16, kTag.data(), kTag.size()) == 0 &&
         std::memcmp(fork.data() + kBlankResourceForkBytes - 6, kEmptyMapTail, 6) == 0;
}

}  // namespace kavri
