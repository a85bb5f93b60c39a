#ifndef KAVRI_SERVER_HANDSHAKE_H_
#define KAVRI_SERVER_HANDSHAKE_H_

#include <cstddef>

namespace kavri {

// 128 hexadecimal digits and a terminating zero byte.
constexpr size_t kPassPhraseBufferBytes = 129;

// The pass phrase of the certificate container: for each byte position i
// from 0 to 63, daemonJs[i] XOR kavriNode[i] as two upper-case hexadecimal
// digits, zero-terminated.
void derivePassPhrase(const unsigned char (&daemonJs)[64], const unsigned char (&kavriNode)[64],
                      char (&passPhrase)[kPassPhraseBufferBytes]);

// Opens the conversation with a freshly started server: sets serverStdin to
// `serverInput` (the write end of the server's standard-input pipe, which
// the agent keeps open for the rest of the process) and sends the handshake
// line, certificate_p12 and the pass phrase derived from the stored digests
// as "%s;%s\n". The pass phrase and the formatted line are wiped before
// their memory is released. A failed write is dropped silently, as every
// write to the server is. Main thread only; call once, before any other
// write to the server.
void sendHandshake(int serverInput);

// sendHandshake, building the pass phrase in the caller's `passPhrase`,
// which holds 129 zero bytes on return. For tests.
void sendHandshake(int serverInput, char (&passPhrase)[kPassPhraseBufferBytes]);

}  // namespace kavri

#endif  // KAVRI_SERVER_HANDSHAKE_H_
