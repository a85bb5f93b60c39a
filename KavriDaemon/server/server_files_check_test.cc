#include "server/server_files_check.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <tuple>

#include "platform/unique_fd.h"
#include "test_util.h"

namespace kavri {
namespace {

// Two files and their stored digests, as the build makes them.
class ServerFilesCheckTest : public ::testing::Test {
 protected:
  ServerFilesCheckTest() {
    for (auto [path, text, digest] : {std::tuple(&executable_, "the server", &executableDigest_),
                                      std::tuple(&script_, "its script", &scriptDigest_)}) {
      testing::writeFile(*path, text);
      EVP_Digest(text, strlen(text), digest->bytes, nullptr, EVP_sha512(), nullptr);
    }
  }

  struct Stored {
    unsigned char bytes[kSha512Bytes];
  };
  testing::TempDir dir_;
  std::string executable_ = dir_.file("kavri-node");
  std::string script_ = dir_.file("daemon.js");
  Stored executableDigest_, scriptDigest_;
};

TEST_F(ServerFilesCheckTest, IntactFilesPassOnceTheCheckIsWaitedFor) {
  ServerFilesCheck check(executable_, script_, executableDigest_.bytes, scriptDigest_.bytes);
  EXPECT_TRUE(check.intact());
  EXPECT_TRUE(check.intact());  // asked again: the same verdict, no second check
  EXPECT_EQ(check.executable(), executable_);
  EXPECT_EQ(check.script(), script_);
}

TEST_F(ServerFilesCheckTest, AChangedScriptOrAMissingFileFails) {
  testing::writeFile(script_, "its script, changed");
  EXPECT_FALSE(ServerFilesCheck(executable_, script_, executableDigest_.bytes, scriptDigest_.bytes)
                   .intact());
  EXPECT_FALSE(ServerFilesCheck(std::nullopt, script_, executableDigest_.bytes, scriptDigest_.bytes)
                   .intact());
  EXPECT_FALSE(ServerFilesCheck(executable_, dir_.file("missing"), executableDigest_.bytes,
                                scriptDigest_.bytes)
                   .intact());
}

TEST_F(ServerFilesCheckTest, WhenTheExecutableFailsTheScriptIsNotOpened) {
  UniqueFd watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  ASSERT_TRUE(watch.valid());
  ASSERT_GE(inotify_add_watch(watch.get(), script_.c_str(), IN_OPEN), 0);
  testing::writeFile(executable_, "another server");
  EXPECT_FALSE(ServerFilesCheck(executable_, script_, executableDigest_.bytes, scriptDigest_.bytes)
                   .intact());
  char events[4096];
  EXPECT_LT(read(watch.get(), events, sizeof events), 0);  // nothing opened it

  // The watch does see a check that gets that far.
  testing::writeFile(executable_, "the server");
  EXPECT_TRUE(ServerFilesCheck(executable_, script_, executableDigest_.bytes, scriptDigest_.bytes)
                  .intact());
  EXPECT_GT(read(watch.get(), events, sizeof events), 0);
}

TEST_F(ServerFilesCheckTest, ACheckNeverWaitedForIsStillJoined) {
  // Destroyed at once, as when the start-up ends early: no thread is left
  // running (TSan and a joinable std::thread's destructor would say so).
  ServerFilesCheck check(executable_, script_, executableDigest_.bytes, scriptDigest_.bytes);
}

}  // namespace
}  // namespace kavri
