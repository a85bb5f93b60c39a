#include "server/handshake.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/pipe.h"
#include "server/channel.h"
#include "server/credentials.h"
#include "test_util.h"

namespace kavri {
namespace {

using testing::run;
using testing::TempDir;

std::string readAll(int fd) {
  std::string data;
  char buffer[65536];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) data.append(buffer, static_cast<size_t>(n));
  return data;
}

// The pass phrase as an outside tool computes it from the fake server files.
std::string passPhraseFromFiles() {
  auto digest = [](const std::string& file) {
    auto result = run({"/usr/bin/openssl", "dgst", "-sha512", "-r", std::string(KAVRI_FAKE_SERVER_DIR) + "/" + file});
    return result.out.substr(0, 128);
  };
  std::string node = digest("kavri-node"), script = digest("daemon.js");
  std::string phrase;
  for (size_t i = 0; i < 128; i += 2) {
    int byte = std::stoi(node.substr(i, 2), nullptr, 16) ^ std::stoi(script.substr(i, 2), nullptr, 16);
    char hex[3];
    snprintf(hex, sizeof hex, "%02X", byte);
    phrase += hex;
  }
  return phrase;
}

std::string handshakeLine(char (&passPhrase)[kPassPhraseBufferBytes]) {
  Pipe pipe;
  EXPECT_TRUE(createPipe(&pipe, nullptr));
  sendHandshake(pipe.writeEnd.get(), passPhrase);
  EXPECT_EQ(serverStdin, pipe.writeEnd.get());
  pipe.writeEnd.reset();
  serverStdin = -1;
  return readAll(pipe.readEnd.get());
}

TEST(HandshakeTest, PassPhraseIsTheXorOfTheDigestsInUpperCaseHex) {
  unsigned char a[64], b[64];
  for (int i = 0; i < 64; ++i) {
    a[i] = static_cast<unsigned char>(i * 4);
    b[i] = static_cast<unsigned char>(0xF0 - i);
  }
  char phrase[kPassPhraseBufferBytes];
  memset(phrase, 'z', sizeof phrase);
  derivePassPhrase(a, b, phrase);
  EXPECT_EQ(std::string(phrase, 8), "F0EBE6E1");
  EXPECT_EQ(std::string(phrase + 126, 2), "4D");  // 0xFC ^ 0xB1
  EXPECT_EQ(phrase[128], '\0');
}

TEST(HandshakeTest, LineIsContainerSemicolonPassPhraseAndTheBufferIsWiped) {
  char passPhrase[kPassPhraseBufferBytes];
  std::string line = handshakeLine(passPhrase);

  EXPECT_TRUE(std::all_of(passPhrase, passPhrase + kPassPhraseBufferBytes, [](char c) { return c == 0; }));
  ASSERT_FALSE(line.empty());
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
  size_t semicolon = line.find(';');
  ASSERT_NE(semicolon, std::string::npos);
  EXPECT_EQ(line.substr(0, semicolon), certificate_p12);
  std::string phrase = line.substr(semicolon + 1, line.size() - semicolon - 2);
  EXPECT_EQ(phrase.size(), 128u);
  EXPECT_EQ(phrase.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_EQ(phrase, passPhraseFromFiles());
}

TEST(HandshakeTest, ContainerOpensWithThePassPhraseAndNoOther) {
  std::string base64 = certificate_p12;
  ASSERT_EQ(base64.size() % 4, 0u);
  ASSERT_EQ(base64.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
            std::string::npos);
  std::string der(base64.size() / 4 * 3, '\0');
  int decoded = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(der.data()),
                                reinterpret_cast<const unsigned char*>(base64.data()), static_cast<int>(base64.size()));
  ASSERT_GT(decoded, 0);
  der.resize(static_cast<size_t>(decoded) - std::count(base64.end() - 2, base64.end(), '='));
  // PFX ::= SEQUENCE { version INTEGER (3), ... }
  ASSERT_GT(der.size(), 7u);
  EXPECT_EQ(der.substr(4, 3), std::string("\x02\x01\x03", 3));

  TempDir dir;
  std::string container = dir.file("container.p12");
  testing::writeFile(container, der);
  std::string phrase = passPhraseFromFiles();
  std::string lower = phrase;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return static_cast<char>(tolower(c)); });

  setenv("KAVRI_TEST_PASS", phrase.c_str(), 1);
  auto opened = run({"/usr/bin/openssl", "pkcs12", "-in", container, "-passin", "env:KAVRI_TEST_PASS",
                     "-nokeys", "-out", dir.file("cert.pem")});
  EXPECT_EQ(opened.exitStatus, 0) << opened.err;
  auto san = run({"/usr/bin/openssl", "x509", "-in", dir.file("cert.pem"), "-noout", "-ext", "subjectAltName"});
  EXPECT_NE(san.out.find("DNS:localhost, IP Address:127.0.0.1"), std::string::npos) << san.out;

  const char* nodeScript =
      "require('tls').createSecureContext({pfx: require('fs').readFileSync(process.argv[1]),"
      " passphrase: process.env.KAVRI_TEST_PASS})";
  auto node = run({"/usr/bin/node", "-e", nodeScript, container});
  EXPECT_EQ(node.exitStatus, 0) << node.err;

  for (const std::string& wrong : {lower, phrase.substr(0, 127), std::string("")}) {
    setenv("KAVRI_TEST_PASS", wrong.c_str(), 1);
    EXPECT_NE(run({"/usr/bin/openssl", "pkcs12", "-in", container, "-passin", "env:KAVRI_TEST_PASS", "-noout"}).exitStatus, 0);
    EXPECT_NE(run({"/usr/bin/node", "-e", nodeScript, container}).exitStatus, 0);
  }
  unsetenv("KAVRI_TEST_PASS");
}

}  // namespace
}  // namespace kavri
