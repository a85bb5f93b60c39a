#ifndef KAVRI_PLATFORM_APPLE_DOUBLE_H_
#define KAVRI_PLATFORM_APPLE_DOUBLE_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

namespace kavri {

// The on-disk formats behind a file's resource fork where the file system has
// no forks of its own: the AppleDouble sidecar "._NAME" that macOS writes on
// FAT, exFAT, SMB and NFS volumes and into zip archives, and the blank fork
// it puts in such a sidecar. Pure functions over untrusted bytes: any input,
// however short, long or hostile, gives an answer without crashing.

// Where the resource fork lies inside a sidecar, in bytes from its start.
struct AppleDoubleFork {
  uint64_t offset = 0;
  uint64_t length = 0;  // may be 0: an empty fork
};

// Reads exactly `into.size()` bytes at `offset` of the sidecar; false when
// they cannot all be read.
using SidecarReader = std::function<bool(uint64_t offset, std::span<uint8_t> into)>;

// Finds the resource fork (entry id 2) of an AppleDouble file of `fileSize`
// bytes, reading only its header and entry table through `read`. The file must
// be version 2 (magic 0x00051607, version 0x00020000); its entry table must
// lie within the file; every entry must lie within the file, after the entry
// table, without overlapping another; at most one entry may be the fork.
// Returns nullopt for anything else (not AppleDouble, truncated, malformed,
// no fork entry, a read that fails).
std::optional<AppleDoubleFork> findAppleDoubleResourceFork(uint64_t fileSize, const SidecarReader& read);

// The same over a whole sidecar in memory.
std::optional<AppleDoubleFork> findAppleDoubleResourceFork(std::span<const uint8_t> file);

// The size of the blank resource fork macOS writes when a file has none.
inline constexpr uint64_t kBlankResourceForkBytes = 286;

// True when `fork` is that placeholder: 286 bytes of an empty resource map
// (data and map at 256, no data, a 30-byte map with no types) carrying the
// text "This resource fork intentionally left blank". Such a fork counts as
// no fork at all.
bool isBlankResourceFork(std::span<const uint8_t> fork);

}  // namespace kavri

#endif  // KAVRI_PLATFORM_APPLE_DOUBLE_H_
