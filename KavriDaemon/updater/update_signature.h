#ifndef KAVRI_UPDATER_UPDATE_SIGNATURE_H_
#define KAVRI_UPDATER_UPDATE_SIGNATURE_H_

#include <string>

namespace kavri {

// Checks that `signatureBase64` (standard base64 of a 64-byte Ed25519
// signature) signs the whole contents of the regular file open as `fd`
// (owned by the caller), under `publicKeyBase64` (standard base64 of a
// 32-byte Ed25519 public key). False, with the reason in `err`, when either
// is missing or malformed, the file cannot be read, or the signature does
// not match. Any thread.
bool verifyEdSignature(int fd, const std::string& signatureBase64,
                       const std::string& publicKeyBase64, std::string* err);

}  // namespace kavri

#endif  // KAVRI_UPDATER_UPDATE_SIGNATURE_H_
