#include "server/server_launch.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>

#include "app_delegate.h"
#include "server/channel.h"
#include "support/counting_updater_for_test.h"
#include "server/credentials.h"
#include "server/handshake.h"
#include "test_util.h"

namespace kavri {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;

// Records the server's end, as the termination handler sees it.
class TerminationRecorder {
 public:
  std::function<void(const ChildTermination&)> handler() {
    return [this](const ChildTermination& t) {
      std::lock_guard<std::mutex> lock(mu_);
      termination_ = t;
      ended_.notify_all();
    };
  }
  std::optional<ChildTermination> wait() {
    std::unique_lock<std::mutex> lock(mu_);
    ended_.wait_for(lock, std::chrono::seconds(30), [&] { return termination_.has_value(); });
    return termination_;
  }
  bool ended() {
    std::lock_guard<std::mutex> lock(mu_);
    return termination_.has_value();
  }

 private:
  std::mutex mu_;
  std::condition_variable ended_;
  std::optional<ChildTermination> termination_;  // guarded by mu_
};

class ServerLaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CountingUpdater::instance().reset();
    setenv("KAVRI_TEST_OUT", dir_.path().c_str(), 1);
  }
  void TearDown() override { serverStdin = -1; }

  // Starts /bin/sh running `script`.
  StartedServer start(const std::string& script) {
    writeFile(dir_.file("server.sh"), script);
    std::string err;
    auto server = startServer("/bin/sh", dir_.file("server.sh"),
                            [this] { delegate_.serverAskedForUpdateCheck(); }, recorder_.handler(), &err);
    EXPECT_TRUE(server) << err;
    return server ? std::move(*server) : StartedServer{};
  }

  TempDir dir_;
  AppDelegate delegate_{&CountingUpdater::module};
  TerminationRecorder recorder_;
};

TEST_F(ServerLaunchTest, ServerGetsTheScriptAsItsOneArgumentAndTheAgentsEnvironmentAndDirectory) {
  setenv("KAVRI_TEST_PROBE", "inherited", 1);
  StartedServer server = start("printf '%s\\n' \"$0\" \"$#\" \"$KAVRI_TEST_PROBE\" \"$(pwd)\" >\"$KAVRI_TEST_OUT/probe\"\n");
  ASSERT_TRUE(recorder_.wait());
  char cwd[4096];
  ASSERT_TRUE(getcwd(cwd, sizeof cwd));
  EXPECT_EQ(readFile(dir_.file("probe")), dir_.file("server.sh") + "\n0\ninherited\n" + cwd + "\n");
  unsetenv("KAVRI_TEST_PROBE");
}

TEST_F(ServerLaunchTest, HandshakeThenCatalogueReachTheServerInOrder) {
  StartedServer server = start(
      "IFS= read -r first; IFS= read -r second\n"
      "printf '%s\\n%s\\n' \"$first\" \"$second\" >\"$KAVRI_TEST_OUT/lines\"\n");
  sendHandshake(server.input.get());
  sendStringToServer("{\"/f.otf\":[{\"family\":\"Zen 丸ゴシック\"}]}\n");
  ASSERT_TRUE(recorder_.wait());
  std::string lines = readFile(dir_.file("lines"));
  size_t end = lines.find('\n');
  ASSERT_NE(end, std::string::npos);
  std::string first = lines.substr(0, end);
  ASSERT_GT(first.size(), 129u);
  EXPECT_EQ(first.substr(0, first.size() - 129), certificate_p12);
  EXPECT_EQ(first[first.size() - 129], ';');
  EXPECT_EQ(lines.substr(end + 1), "{\"/f.otf\":[{\"family\":\"Zen 丸ゴシック\"}]}\n");
}

TEST_F(ServerLaunchTest, ServerCommandsReachTheStartedUpdaterExactlyOnceEach) {
  delegate_.startUpdater();
  StartedServer server = start(
      "printf 'CHECK FOR UPDATES\\nnoise\\nCHECK FOR UPDATES\\r\\nCHECK FOR UPDATES\\n'\n"
      "printf 'CHECK FOR UPDATES'\n");
  EXPECT_TRUE(CountingUpdater::instance().waitForChecks(2));
  ASSERT_TRUE(recorder_.wait());
  server = StartedServer{};  // the reader has stopped: nothing more can come
  EXPECT_EQ(CountingUpdater::instance().checks(), 2);
}

TEST_F(ServerLaunchTest, DestroyingTheServerEndsItWithoutItsHandler) {
  { StartedServer server = start("exec sleep 1000\n"); }
  // The handle joined the waiting thread: a handler would have run by now.
  EXPECT_FALSE(recorder_.ended());
}

// Descriptors that an exec would hand to the new image.
std::vector<int> descriptorsWithoutCloseOnExec() {
  std::vector<int> fds;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* entry = dir ? readdir(dir) : nullptr) {
    int fd = atoi(entry->d_name);
    if (fd < 3 || fd == dirfd(dir)) continue;
    if (!(fcntl(fd, F_GETFD) & FD_CLOEXEC)) fds.push_back(fd);
  }
  if (dir) closedir(dir);
  return fds;
}

TEST_F(ServerLaunchTest, NothingOfTheServerLinkWouldSurviveAnExec) {
  std::vector<int> before = descriptorsWithoutCloseOnExec();  // whatever our own parent left us
  StartedServer server = start("exec sleep 1000\n");
  sendHandshake(server.input.get());
  EXPECT_EQ(descriptorsWithoutCloseOnExec(), before);
}

TEST_F(ServerLaunchTest, ServerThatCannotStartIsAnError) {
  std::string err;
  auto server = startServer(dir_.file("missing"), dir_.file("server.sh"),
                            [this] { delegate_.serverAskedForUpdateCheck(); }, recorder_.handler(), &err);
  EXPECT_FALSE(server);
  EXPECT_NE(err.find("missing"), std::string::npos) << err;
}

}  // namespace
}  // namespace kavri
