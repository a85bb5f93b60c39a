#include "server/validate_hash.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "test_util.h"

namespace kavri {
namespace {

using testing::TempDir;
using testing::writeFile;

struct Digest {
  unsigned char bytes[kSha512Bytes];
};

Digest fromHex(const std::string& hex) {
  Digest d{};
  for (size_t i = 0; i < kSha512Bytes; ++i) d.bytes[i] = static_cast<unsigned char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
  return d;
}

Digest sha512(const std::string& data) {
  Digest d{};
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), d.bytes, &length, EVP_sha512(), nullptr);
  return d;
}

// FIPS 180-4 examples.
const Digest kAbc = fromHex(
    "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
    "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
const Digest kEmpty = fromHex(
    "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
    "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e");

TEST(ValidateHashTest, MatchesPublishedDigests) {
  TempDir dir;
  writeFile(dir.file("abc"), "abc");
  writeFile(dir.file("empty"), "");
  EXPECT_TRUE(validateHash(dir.file("abc"), kAbc.bytes));
  EXPECT_TRUE(validateHash(dir.file("empty"), kEmpty.bytes));
  EXPECT_FALSE(validateHash(dir.file("abc"), kEmpty.bytes));
}

TEST(ValidateHashTest, SingleChangedByteAnywhereFails) {
  TempDir dir;
  std::string data(3 * 1024 * 1024 + 11, '\0');  // several read chunks, ragged end
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + (i >> 9));
  Digest expected = sha512(data);
  writeFile(dir.file("f"), data);
  EXPECT_TRUE(validateHash(dir.file("f"), expected.bytes));
  for (size_t at : {size_t{0}, size_t{256 * 1024}, data.size() / 2, data.size() - 1}) {
    std::string changed = data;
    changed[at] ^= 0x01;
    writeFile(dir.file("f"), changed);
    EXPECT_FALSE(validateHash(dir.file("f"), expected.bytes)) << "byte " << at;
  }
}

TEST(ValidateHashTest, NoPathMissingFileOrNonRegularFileFails) {
  TempDir dir;
  EXPECT_FALSE(validateHash(std::nullopt, kEmpty.bytes));
  EXPECT_FALSE(validateHash(dir.file("missing"), kEmpty.bytes));
  EXPECT_FALSE(validateHash(dir.path(), kEmpty.bytes));
  // A FIFO with no writer would block a plain open for good.
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  EXPECT_FALSE(validateHash(dir.file("fifo"), kEmpty.bytes));
}

TEST(ValidateHashTest, UnreadableFileFails) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to nobody";
  TempDir dir;
  writeFile(dir.file("secret"), "abc");
  ASSERT_EQ(chmod(dir.file("secret").c_str(), 0600), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  // Root reads anything: check as nobody, in a child.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    _exit(validateHash(dir.file("secret"), kAbc.bytes) ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(validateHash(dir.file("secret"), kAbc.bytes));
}

}  // namespace
}  // namespace kavri
