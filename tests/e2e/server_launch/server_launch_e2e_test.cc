// The server launch in a real bundle: the agent's exit statuses and log
// lines, what it starts and signals, and what it reads.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/pipe.h"
#include "test_util.h"

extern char** environ;

namespace kavri {
namespace {

using testing::readFile;
using testing::rerunInOwnPidNamespace;
using testing::run;
using testing::RunResult;
using testing::TempDir;
using testing::writeFile;

constexpr unsigned long long kSigtermBit = 1ull << (SIGTERM - 1);

// A process named "kavri-node" left from an earlier agent, of this account
// or of `account`. It blocks SIGTERM, so a signal sent to it stays visible
// as pending.
class StaleServer : public testing::HeldChild {
 public:
  explicit StaleServer(std::optional<uid_t> account = std::nullopt)
      : HeldChild([account] {
          sigset_t term;
          sigemptyset(&term);
          sigaddset(&term, SIGTERM);
          sigprocmask(SIG_BLOCK, &term, nullptr);
          if (account && !testing::dropPrivilegesTo(*account)) return false;
          return prctl(PR_SET_NAME, "kavri-node") == 0;
        }) {}
};

// Signals pending for the process whose /proc status is `status`.
unsigned long long pendingSignals(const std::string& status) {
  unsigned long long pending = 0;
  for (const char* field : {"SigPnd:\t", "ShdPnd:\t"}) {
    size_t at = status.find(field);
    if (at != std::string::npos) pending |= std::stoull(status.substr(at + 8, 16), nullptr, 16);
  }
  return pending;
}

bool terminateSignalPending(pid_t pid) {
  return pendingSignals(readFile("/proc/" + std::to_string(pid) + "/status")) & kSigtermBit;
}

class ServerLaunchE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::copy(KAVRI_E2E_BUNDLE, app_, std::filesystem::copy_options::recursive);
    std::filesystem::create_directory(out_);
    setenv("KAVRI_TEST_OUT", out_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("KAVRI_TEST_OUT");
    unsetenv("KAVRI_TEST_SCENARIO");
    unsetenv("KAVRI_TEST_STALE_PID");
  }

  RunResult runAgent(const char* scenario) {
    setenv("KAVRI_TEST_SCENARIO", scenario, 1);
    return run({app_ + "/Contents/MacOS/KavriDaemon"});
  }
  std::string resource(const char* name) const { return app_ + "/Contents/Resources/" + name; }
  void flipByte(const char* name, size_t at) {
    std::string data = readFile(resource(name));
    data[at] ^= 0x01;
    writeFile(resource(name), data);
  }
  bool serverStarted() const { return std::filesystem::exists(out_ + "/started"); }

  TempDir dir_;
  std::string app_ = dir_.file("KavriDaemon.app");
  std::string out_ = dir_.file("out");
};

TEST_F(ServerLaunchE2eTest, ServerExitingWithCode3EndsTheAgentWithStatus1AfterTheHandshake) {
  if (rerunInOwnPidNamespace()) return;
  RunResult agent = runAgent("exit3");
  EXPECT_EQ(agent.exitStatus, 1);
  EXPECT_NE(agent.err.find("kavri-node died (3), exiting"), std::string::npos) << agent.err;

  std::string line = readFile(out_ + "/handshake");
  size_t semicolon = line.find(';');
  ASSERT_NE(semicolon, std::string::npos) << line;
  std::string phrase = line.substr(semicolon + 1);
  ASSERT_EQ(phrase.size(), 129u);
  EXPECT_EQ(phrase.back(), '\n');
  phrase.pop_back();
  EXPECT_EQ(phrase.find_first_not_of("0123456789ABCDEF"), std::string::npos) << phrase;

  // An outside tool opens the bundle's own container with that phrase.
  writeFile(dir_.file("container.b64"), line.substr(0, semicolon));
  ASSERT_EQ(run({"/usr/bin/openssl", "base64", "-d", "-A", "-in", dir_.file("container.b64"), "-out",
                 dir_.file("container.p12")})
                .exitStatus,
            0);
  setenv("KAVRI_TEST_PASS", phrase.c_str(), 1);
  EXPECT_EQ(run({"/usr/bin/openssl", "pkcs12", "-in", dir_.file("container.p12"), "-passin",
                 "env:KAVRI_TEST_PASS", "-noout"})
                .exitStatus,
            0);
  unsetenv("KAVRI_TEST_PASS");
}

TEST_F(ServerLaunchE2eTest, ServerEndedByTheTerminateSignalIsLoggedWith15) {
  if (rerunInOwnPidNamespace()) return;
  RunResult agent = runAgent("sigterm");
  EXPECT_EQ(agent.exitStatus, 1);
  EXPECT_NE(agent.err.find("kavri-node died (15), exiting"), std::string::npos) << agent.err;
}

// An agent of each account, with a stale server of its own and one of the
// other account's: it ends only its own, and says nothing of the other.
class StaleServerTest : public ServerLaunchE2eTest, public ::testing::WithParamInterface<uid_t> {};

TEST_P(StaleServerTest, OwnStaleServerIsSignalledBeforeTheNewServerStartsAndNoOtherAccounts) {
  if (rerunInOwnPidNamespace()) return;
  uid_t account = GetParam();
  uid_t other = account == 0 ? testing::kNobody : 0;
  StaleServer stale(account);
  StaleServer othersStale(other);
  setenv("KAVRI_TEST_STALE_PID", std::to_string(stale.pid()).c_str(), 1);
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  ASSERT_EQ(chown(out_.c_str(), account, account), 0);
  std::string agent = testing::inChildAs(account, [&] {
    RunResult result = runAgent("stale");
    return std::to_string(result.exitStatus) + "\n" + result.err;
  });
  EXPECT_EQ(agent.rfind("1\n", 0), 0u) << agent;
  EXPECT_EQ(agent.find("Operation not permitted"), std::string::npos) << agent;
  // The new server copied the stale one's status as it started.
  std::string seenByServer = readFile(out_ + "/stale_status");
  ASSERT_FALSE(seenByServer.empty());
  EXPECT_NE(pendingSignals(seenByServer) & kSigtermBit, 0u) << seenByServer;
  EXPECT_FALSE(terminateSignalPending(othersStale.pid()));
  EXPECT_EQ(othersStale.release(), "exited 0");
}

INSTANTIATE_TEST_SUITE_P(Accounts, StaleServerTest, ::testing::Values(0, testing::kNobody),
                         [](const auto& info) { return info.param == 0 ? "Root" : "Nobody"; });

class ValidationFailureTest : public ServerLaunchE2eTest,
                              public ::testing::WithParamInterface<const char*> {};

TEST_P(ValidationFailureTest, SingleChangedByteStopsTheAgentWithStatus0AndNothingStarted) {
  if (rerunInOwnPidNamespace()) return;
  StaleServer stale;
  flipByte(GetParam(), 20);
  int inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(inotify, 0);
  ASSERT_GE(inotify_add_watch(inotify, resource("daemon.js").c_str(), IN_OPEN | IN_ACCESS), 0);

  RunResult agent = runAgent("exit3");
  EXPECT_EQ(agent.exitStatus, 0);
  EXPECT_NE(agent.err.find("validation failure"), std::string::npos) << agent.err;
  EXPECT_EQ(agent.err.find("died"), std::string::npos) << agent.err;
  EXPECT_FALSE(serverStarted());

  char events[4096];
  bool scriptRead = read(inotify, events, sizeof events) > 0;
  close(inotify);
  // The script is read only once the executable has passed.
  EXPECT_EQ(scriptRead, std::string(GetParam()) == "daemon.js");

  // killall never ran: the stale server was not signalled and still runs.
  EXPECT_FALSE(terminateSignalPending(stale.pid()));
  EXPECT_EQ(stale.release(), "exited 0");
}

INSTANTIATE_TEST_SUITE_P(EitherFile, ValidationFailureTest, ::testing::Values("kavri-node", "daemon.js"),
                         [](const auto& info) { return std::string(info.param) == "kavri-node" ? "Executable" : "Script"; });

TEST_F(ServerLaunchE2eTest, MissingScriptIsAValidationFailure) {
  if (rerunInOwnPidNamespace()) return;
  std::filesystem::remove(resource("daemon.js"));
  RunResult agent = runAgent("exit3");
  EXPECT_EQ(agent.exitStatus, 0);
  EXPECT_NE(agent.err.find("validation failure"), std::string::npos) << agent.err;
  EXPECT_FALSE(serverStarted());
}

TEST_F(ServerLaunchE2eTest, IntactServerThatCannotBeStartedEndsTheAgentWithStatus1) {
  if (rerunInOwnPidNamespace()) return;
  std::filesystem::permissions(resource("kavri-node"), std::filesystem::perms::owner_exec |
                                                           std::filesystem::perms::group_exec |
                                                           std::filesystem::perms::others_exec,
                               std::filesystem::perm_options::remove);
  RunResult agent = runAgent("exit3");
  EXPECT_EQ(agent.exitStatus, 1);
  EXPECT_NE(agent.err.find("cannot start kavri-node: "), std::string::npos) << agent.err;
  EXPECT_EQ(agent.err.find("validation failure"), std::string::npos) << agent.err;
  EXPECT_FALSE(serverStarted());
}

// The real server (Node.js running the companion script) accepts the
// handshake: it opens the bundle's container with the derived pass phrase
// and starts serving, and says where: in the log and in the account's
// runtime directory (here one of its own, not the real one).
TEST(CompanionLaunchE2eTest, RealServerOpensTheContainerWithThePassPhrase) {
  if (rerunInOwnPidNamespace()) return;
  Pipe err;
  ASSERT_TRUE(createPipe(&err, nullptr));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, err.writeEnd.get(), 2);
  std::string agent = std::string(KAVRI_E2E_COMPANION_BUNDLE) + "/Contents/MacOS/KavriDaemon";
  char* argv[] = {agent.data(), nullptr};
  TempDir runtime;
  setenv("KAVRI_PORT", "0", 1);
  setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  pid_t pid;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ), 0);
  unsetenv("KAVRI_PORT");
  posix_spawn_file_actions_destroy(&actions);
  err.writeEnd.reset();

  std::string log;
  const std::string listening = "kavri companion listening on ";
  auto address = [&]() -> std::string {
    size_t at = log.find(listening + "http://127.0.0.1:");
    size_t end = at == std::string::npos ? at : log.find('\n', at);
    if (end == std::string::npos) return "";
    return log.substr(at + listening.size(), end - at - listening.size());
  };
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (address().empty() && std::chrono::steady_clock::now() < deadline) {
    struct pollfd fd = {err.readEnd.get(), POLLIN, 0};
    if (poll(&fd, 1, 1000) <= 0) continue;
    char buffer[4096];
    ssize_t n = read(err.readEnd.get(), buffer, sizeof buffer);
    if (n <= 0) break;
    log.append(buffer, static_cast<size_t>(n));
  }
  EXPECT_FALSE(address().empty()) << log;
  if (!address().empty()) {
    EXPECT_EQ(readFile(runtime.file("kavri/address")), address() + "\n");
  }

  // Ending the agent closes the server's input, which ends the server.
  kill(pid, SIGKILL);
  int status;
  waitpid(pid, &status, 0);
}

}  // namespace
}  // namespace kavri
