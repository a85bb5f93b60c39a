#include "updater/update_signature.h"

#include <sodium.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <mutex>

namespace kavri {
namespace {

bool setError(std::string* err, const std::string& why) {
  if (err) *err = why;
  return false;
}

bool decodeBase64(const std::string& text, unsigned char* out, size_t size) {
  size_t decoded = 0;
  const char* end = nullptr;
  return sodium_base642bin(out, size, text.data(), text.size(), nullptr, &decoded, &end,
                           sodium_base64_VARIANT_ORIGINAL) == 0 &&
         decoded == size && end == text.data() + text.size();
}

// Unmaps on scope exit.
class Mapping {
 public:
  Mapping(void* data, size_t size) : data_(data), size_(size) {}
  ~Mapping() {
    if (data_ != MAP_FAILED && size_ > 0) munmap(data_, size_);
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;

 private:
  void* data_;
  size_t size_;
};

}  // namespace

bool verifyEdSignature(int fd, const std::string& signatureBase64,
                       const std::string& publicKeyBase64, std::string* err) {
  static std::once_flag once;
  std::call_once(once, [] { if (sodium_init() < 0) abort(); });
  if (signatureBase64.empty()) return setError(err, "signature missing");
  if (publicKeyBase64.empty()) return setError(err, "no public key (SUPublicEDKey) to check the signature");
  unsigned char signature[crypto_sign_BYTES];
  unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
  if (!decodeBase64(signatureBase64, signature, sizeof signature))
    return setError(err, "signature malformed");
  if (!decodeBase64(publicKeyBase64, publicKey, sizeof publicKey))
    return setError(err, "public key (SUPublicEDKey) malformed");

  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    return setError(err, std::string("cannot read the archive: ") + strerror(errno));
  // Ed25519 signs the whole message at once; a mapping spares a copy of an
  // archive that may be hundreds of megabytes.
  size_t size = static_cast<size_t>(st.st_size);
  void* data = size ? mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : nullptr;
  if (data == MAP_FAILED)
    return setError(err, std::string("cannot read the archive: ") + strerror(errno));
  Mapping mapping(data, size);
  static const unsigned char kNothing = 0;
  const unsigned char* message = size ? static_cast<const unsigned char*>(data) : &kNothing;
  if (crypto_sign_verify_detached(signature, message, size, publicKey) != 0)
    return setError(err, "signature does not match the archive");
  return true;
}

}  // namespace kavri
