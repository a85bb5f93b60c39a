#include "server/handshake.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "server/channel.h"
#include "server/credentials.h"

namespace kavri {

void derivePassPhrase(const unsigned char (&daemonJs)[64], const unsigned char (&kavriNode)[64],
                      char (&passPhrase)[kPassPhraseBufferBytes]) {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  for (size_t i = 0; i < 64; ++i) {
    unsigned char byte = daemonJs[i] ^ kavriNode[i];
    passPhrase[2 * i] = kHexDigits[byte >> 4];
    passPhrase[2 * i + 1] = kHexDigits[byte & 0x0F];
  }
  passPhrase[128] = '\0';
}

void sendHandshake(int serverInput, char (&passPhrase)[kPassPhraseBufferBytes]) {
  derivePassPhrase(daemon_js_sha512, kavri_node_sha512, passPhrase);
  serverStdin = serverInput;
  {
    std::string line(strlen(certificate_p12) + 1 + 128 + 1, '\0');
    snprintf(line.data(), line.size() + 1, "%s;%s\n", certificate_p12, passPhrase);
    sendStringToServer(line);
    // The pass phrase is in the line too; wipe it with the buffer.
    OPENSSL_cleanse(line.data(), line.size());
  }
  // OPENSSL_cleanse is a store the optimiser cannot drop as dead.
  OPENSSL_cleanse(passPhrase, kPassPhraseBufferBytes);
}

void sendHandshake(int serverInput) {
  char passPhrase[kPassPhraseBufferBytes];
  sendHandshake(serverInput, passPhrase);
}

}  // namespace kavri
