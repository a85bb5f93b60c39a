#ifndef KAVRI_SERVER_VALIDATE_HASH_H_
#define KAVRI_SERVER_VALIDATE_HASH_H_

#include <cstddef>
#include <optional>
#include <string>

namespace kavri {

constexpr size_t kSha512Bytes = 64;

// True when the file at `path` has the SHA-512 digest `expected`. No path,
// a missing or unreadable file, or anything but a regular file gives false.
// The file is hashed as it is read, so memory use does not grow with its
// size. Any thread; blocks on the file.
bool validateHash(const std::optional<std::string>& path, const unsigned char (&expected)[kSha512Bytes]);

}  // namespace kavri

#endif  // KAVRI_SERVER_VALIDATE_HASH_H_
