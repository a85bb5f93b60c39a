#include "server/validate_hash.h"

#include <openssl/evp.h>

#include <cstring>
#include <memory>

#include "platform/file_reader.h"

namespace kavri {

bool validateHash(const std::optional<std::string>& path, const unsigned char (&expected)[kSha512Bytes]) {
  if (!path) return false;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha512(), nullptr) != 1) return false;
  bool hashed = readFileInChunks(
      *path,
      [&](const unsigned char* data, size_t size) {
        return EVP_DigestUpdate(context.get(), data, size) == 1;
      },
      nullptr);
  if (!hashed) return false;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1 || length != kSha512Bytes) return false;
  return memcmp(digest, expected, kSha512Bytes) == 0;
}

}  // namespace kavri
