#ifndef KAVRI_SERVER_CREDENTIALS_H_
#define KAVRI_SERVER_CREDENTIALS_H_

// The stored server credentials. They are made at build time from the two
// server files that go into the bundle (see cmake/KavriBundle.cmake) and
// compiled into the bundle's own executable, so each bundle carries those of
// its own server; the test support library carries a set made from the test
// server files. Never written by hand, never committed.

namespace kavri {

// The SHA-512 digests of Resources/kavri-node and Resources/daemon.js as
// shipped.
extern const unsigned char kavri_node_sha512[64];
extern const unsigned char daemon_js_sha512[64];

// A PKCS#12 container (a self-signed certificate for localhost and
// 127.0.0.1 with its private key) encrypted with the pass phrase derived
// from the two digests, as one line of standard base64, zero-terminated.
extern const char certificate_p12[];

}  // namespace kavri

#endif  // KAVRI_SERVER_CREDENTIALS_H_
