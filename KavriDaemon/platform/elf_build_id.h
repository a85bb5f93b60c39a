#ifndef KAVRI_PLATFORM_ELF_BUILD_ID_H_
#define KAVRI_PLATFORM_ELF_BUILD_ID_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace kavri {

// The GNU build-id of an ELF file: the identity the linker gives a module
// (a hash of its contents) and stripping keeps. Read from the file alone,
// before anything loads it, so that a module can be told apart from another
// build's without running any of its code. A pure function over untrusted
// bytes: any input gives an answer without crashing.

// Reads exactly `into.size()` bytes at `offset` of the file; false when they
// cannot all be read.
using ElfReader = std::function<bool(uint64_t offset, std::span<uint8_t> into)>;

// The build-id of a 64-bit little-endian ELF file of `fileSize` bytes, as
// lowercase hex: the NT_GNU_BUILD_ID note owned by "GNU" in a PT_NOTE
// segment, read through `read`. nullopt, with the reason in `err`, for a
// file that is not such an ELF file, is truncated or malformed, or has no
// build-id.
std::optional<std::string> elfBuildId(uint64_t fileSize, const ElfReader& read, std::string* err);

}  // namespace kavri

#endif  // KAVRI_PLATFORM_ELF_BUILD_ID_H_
