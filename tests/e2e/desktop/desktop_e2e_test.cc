// The Debian package on a machine shared by several accounts, each running
// the unit under a systemd user manager of its own: each account's page
// stays at its own address across restarts and says where it is, no
// account's agent ends another's server, a person's own starts and restarts
// never leave the unit failed, and a port taken for good ends the unit
// instead of restarting it forever.
//
// The machine is laid out in namespaces of the test's own (PrivateMachine):
// the package, the accounts, the journal and the ports stay in there.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>

#include "agent_process.h"
#include "cgroup_path.h"
#include "private_machine.h"
#include "proc_lookup.h"
#include "test_util.h"
#include "user_session.h"

namespace kavri::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

constexpr char kUnit[] = "kavri-daemon";
constexpr int kDefaultPort = 47823;
constexpr char kPackageVariable[] = "KAVRI_DESKTOP_PACKAGE";
// Handed from the run outside the namespaces to the run inside.
constexpr char kMachineCgroupVariable[] = "KAVRI_DESKTOP_MACHINE_CGROUP";
constexpr char kOuterMountsVariable[] = "KAVRI_DESKTOP_OUTER_MOUNTS";

struct Server {
  pid_t pid = 0;
  int port = 0;
};

std::string environmentValue(const char* name) {
  const char* value = getenv(name);
  return value ? value : "";
}

// A time span as "systemctl show" prints it ("5s", "1min 30s", "100ms",
// "infinity", "0"), in milliseconds.
std::optional<long long> milliseconds(const std::string& span) {
  if (span == "infinity") return LLONG_MAX;
  static const std::map<std::string, double> kUnits = {
      {"", 0.001}, {"us", 0.001}, {"ms", 1}, {"s", 1e3}, {"min", 6e4}, {"h", 3.6e6}, {"d", 8.64e7}};
  std::istringstream words(span);
  double total = 0;
  bool any = false;
  for (std::string word; words >> word; any = true) {
    size_t unitAt = word.find_first_not_of("0123456789.");
    auto unit = kUnits.find(unitAt == std::string::npos ? "" : word.substr(unitAt));
    if (unitAt == 0 || unit == kUnits.end()) return std::nullopt;
    total += std::stod(word.substr(0, unitAt)) * unit->second;
  }
  if (!any) return std::nullopt;
  return std::llround(total);
}

std::string linesWith(const std::string& text, const std::string& part) {
  std::string found;
  for (const std::string& line : splitLines(text))
    if (line.find(part) != std::string::npos) found += line + "\n";
  return found;
}

class DesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    package_ = environmentValue(kPackageVariable);
    if (package_.empty())
      GTEST_SKIP() << kPackageVariable << " names no package to install (scripts/test names the "
                   << "one scripts/package made)";
    if (geteuid() != 0) GTEST_SKIP() << "needs root: it mounts, adds accounts and makes cgroups";
    if (!insideOwnPidNamespace()) return;

    std::string cgroupName = environmentValue(kMachineCgroupVariable);
    ASSERT_FALSE(cgroupName.empty()) << kMachineCgroupVariable << " is not set inside";
    CgroupPath machineCgroup(cgroupName);
    std::string err;
    ASSERT_TRUE(machine_.start(package_, environmentValue(kOuterMountsVariable),
                               machineCgroup.child("init.scope"), &err))
        << err;
    for (auto [session, name] :
         {std::pair{&first_, "kavri-first"}, {&second_, "kavri-second"}, {&root_, "root"}}) {
      std::optional<Account> account = machine_.account(name, &err);
      ASSERT_TRUE(account) << err;
      *session = std::make_unique<UserSession>(*account);
      ASSERT_TRUE((*session)->start(machineCgroup, &err)) << err;
    }
    for (UserSession* session : {first_.get(), second_.get(), root_.get()})
      ASSERT_TRUE(session->ready(&err)) << err;
  }

  // The outside run: the machine's cgroup, then this test again inside
  // namespaces of its own; once they have ended, the cgroup goes.
  void runInItsOwnMachine() {
    std::string name = "kavri-desktop-" + std::to_string(getpid());
    CgroupPath machineCgroup(name);
    std::string err;
    ASSERT_TRUE(machineCgroup.create(0, &err)) << err;
    setenv(kMachineCgroupVariable, name.c_str(), 1);
    setenv(kOuterMountsVariable, mountNamespace().c_str(), 1);
    rerunInOwnPidNamespace({"--net"});
    EXPECT_TRUE(machineCgroup.removeTree(&err)) << err;
  }

  // The account's server once it listens: its kavri-node process, other
  // than `previous`, with a listening socket on loopback.
  std::optional<Server> waitForServer(const UserSession& session, pid_t previous = 0) {
    Server server;
    bool up = waitUntil([&] {
      for (pid_t pid : processesOf(session.account().uid, "kavri-node")) {
        int port = pid == previous ? 0 : loopbackListenPort(pid);
        if (port != 0) server = {pid, port};
      }
      return server.port != 0;
    });
    if (!up) return std::nullopt;
    return server;
  }

  // The page's address, http://127.0.0.1:PORT/, is in the account's
  // runtime directory, the address file's only line, and in the log lines
  // its status shows.
  void expectAddress(const UserSession& session, int port) {
    const Account& account = session.account();
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
    std::string file = account.runtimeDirectory + "/kavri/address";
    // An account whose server never wrote one is not waited for again.
    seconds patience(addressFileMissing_.count(account.uid) ? 0 : 10);
    waitUntil([&] { return readFile(file) == url + "\n"; }, patience);
    if (!fs::exists(file)) addressFileMissing_.insert(account.uid);
    EXPECT_EQ(readFile(file), url + "\n") << account.name << "'s current address, in " << file;

    std::string status;
    waitUntil(
        [&] {
          status = session.systemctl({"status", kUnit}).out;
          return status.find("127.0.0.1:" + std::to_string(port) + "/") != std::string::npos;
        },
        seconds(10), std::chrono::milliseconds(200));
    EXPECT_NE(status.find(url), std::string::npos)
        << account.name << "'s status does not show " << url << ":\n"
        << status;
  }

  void expectUntouched(const UserSession& session, const Server& server) {
    EXPECT_TRUE(processAlive(server.pid) && loopbackListenPort(server.pid) == server.port)
        << session.account().name << "'s server (process " << server.pid << ", port " << server.port
        << ") was ended:\n"
        << describe(session);
  }

  // What the account's unit and its processes logged, every start of it.
  std::string unitJournal(const UserSession& session) {
    machine_.journalctl({"--sync"});
    return machine_
        .journalctl({"-o", "cat", "_UID=" + std::to_string(session.account().uid),
                     "_SYSTEMD_USER_UNIT=" + std::string(kUnit) + ".service"})
        .out;
  }

  std::string describe(const UserSession& session) {
    return session.systemctl({"status", "--lines=30", kUnit}).out;
  }

  std::string package_;
  PrivateMachine machine_;
  std::unique_ptr<UserSession> first_;
  std::unique_ptr<UserSession> second_;
  std::unique_ptr<UserSession> root_;
  std::set<uid_t> addressFileMissing_;
};

TEST_F(DesktopTest, EachAccountKeepsItsOwnPageAndAPortTakenForGoodEndsTheUnit) {
  if (!insideOwnPidNamespace()) return runInItsOwnMachine();
  UserSession& first = *first_;
  UserSession& second = *second_;

  // The first account to start its agent gets the default port, the next
  // another one.
  RunResult enabled = first.systemctl({"enable", "--now", kUnit});
  ASSERT_EQ(enabled.exitStatus, 0) << enabled.err;
  std::optional<Server> firstServer = waitForServer(first);
  ASSERT_TRUE(firstServer) << describe(first);
  EXPECT_EQ(firstServer->port, kDefaultPort);
  expectAddress(first, firstServer->port);

  enabled = second.systemctl({"enable", "--now", kUnit});
  ASSERT_EQ(enabled.exitStatus, 0) << enabled.err;
  std::optional<Server> secondServer = waitForServer(second);
  ASSERT_TRUE(secondServer) << describe(second);
  EXPECT_NE(secondServer->port, kDefaultPort);
  expectAddress(second, secondServer->port);
  expectUntouched(first, *firstServer);

  // Root's agent, whose stale-server step could reach every account's
  // server, leaves them running too.
  ASSERT_EQ(root_->systemctl({"start", kUnit}).exitStatus, 0);
  ASSERT_TRUE(waitForServer(*root_)) << describe(*root_);
  expectUntouched(first, *firstServer);
  expectUntouched(second, *secondServer);
  ASSERT_EQ(root_->systemctl({"stop", kUnit}).exitStatus, 0);

  // Both stopped, then started in the other order: each account is back at
  // its own address, the default port free or not.
  for (UserSession* session : {&first, &second})
    ASSERT_EQ(session->systemctl({"stop", kUnit}).exitStatus, 0);
  ASSERT_EQ(second.systemctl({"start", kUnit}).exitStatus, 0);
  std::optional<Server> secondAgain = waitForServer(second, secondServer->pid);
  ASSERT_TRUE(secondAgain) << describe(second);
  EXPECT_EQ(secondAgain->port, secondServer->port);
  expectAddress(second, secondAgain->port);

  ASSERT_EQ(first.systemctl({"start", kUnit}).exitStatus, 0);
  std::optional<Server> firstAgain = waitForServer(first, firstServer->pid);
  ASSERT_TRUE(firstAgain) << describe(first);
  EXPECT_EQ(firstAgain->port, kDefaultPort);
  expectAddress(first, firstAgain->port);
  expectUntouched(second, *secondAgain);

  // Once more on its own, beside the other account's running server.
  ASSERT_EQ(second.systemctl({"restart", kUnit}).exitStatus, 0);
  std::optional<Server> secondThird = waitForServer(second, secondAgain->pid);
  ASSERT_TRUE(secondThird) << describe(second);
  EXPECT_EQ(secondThird->port, secondServer->port);
  expectAddress(second, secondThird->port);
  expectUntouched(first, *firstAgain);

  std::string firstJournal = unitJournal(first);
  EXPECT_EQ(linesWith(firstJournal, "kavri-node died"), "") << "first account's server ended";

  // What a person does within a few minutes, faster than any person: every
  // start falls within one StartLimitIntervalSec, and none leaves the unit
  // failed.
  std::optional<long long> limitInterval = milliseconds(first.property(kUnit, "StartLimitIntervalUSec"));
  ASSERT_TRUE(limitInterval);
  auto personStarted = std::chrono::steady_clock::now();
  Server current = *firstAgain;
  auto cameBack = [&](const char* after) {
    std::optional<Server> again = waitForServer(first, current.pid);
    if (!again) {
      ADD_FAILURE() << "no server after " << after << ":\n" << describe(first);
      return false;
    }
    EXPECT_EQ(again->port, kDefaultPort) << after;
    current = *again;
    return true;
  };
  ASSERT_EQ(first.systemctl({"restart", kUnit}).exitStatus, 0);
  ASSERT_TRUE(cameBack("a restart"));
  // The agent killed: a stop asked for, so the unit waits for a start.
  pid_t agent = std::atoi(first.property(kUnit, "MainPID").c_str());
  ASSERT_GT(agent, 0);
  ASSERT_EQ(kill(agent, SIGKILL), 0);
  ASSERT_TRUE(waitUntil([&] { return first.property(kUnit, "ActiveState") == "inactive"; }))
      << describe(first);
  ASSERT_EQ(first.systemctl({"start", kUnit}).exitStatus, 0);
  ASSERT_TRUE(cameBack("a start after the agent was killed"));
  // Its server died: restarted once by the unit itself.
  ASSERT_EQ(kill(current.pid, SIGKILL), 0);
  ASSERT_TRUE(cameBack("its server died"));
  EXPECT_EQ(first.property(kUnit, "NRestarts"), "1");
  for (const char* command : {"stop", "start"})
    ASSERT_EQ(first.systemctl({command, kUnit}).exitStatus, 0) << command;
  ASSERT_TRUE(cameBack("a stop and a start"));
  for (int i = 0; i < 6; ++i) {
    ASSERT_EQ(first.systemctl({"restart", kUnit}).exitStatus, 0) << describe(first);
    ASSERT_TRUE(cameBack("restarting by hand"));
  }
  EXPECT_EQ(first.property(kUnit, "ActiveState"), "active") << describe(first);
  expectAddress(first, current.port);
  // All within one interval: had they taken longer, the limit would not
  // have been put to the test.
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - personStarted)
                .count(),
            *limitInterval);

  // A port taken for good, by another account's server: the unit ends
  // failed after a few starts, and its status says so.
  std::string taken = std::to_string(secondThird->port);
  ASSERT_EQ(first.systemctl({"set-environment", "KAVRI_PORT=" + taken}).exitStatus, 0);
  first.systemctl({"reset-failed", kUnit});  // the count of starts begins here
  first.systemctl({"restart", kUnit});
  std::string burstText = first.property(kUnit, "StartLimitBurst");
  long long burst = std::atoll(burstText.c_str());
  std::string intervalText = first.property(kUnit, "StartLimitIntervalUSec");
  std::string delayText = first.property(kUnit, "RestartUSec");
  std::optional<long long> interval = milliseconds(intervalText);
  std::optional<long long> delay = milliseconds(delayText);
  ASSERT_TRUE(interval && delay) << intervalText << ", " << delayText;
  // Starts come at least RestartSec apart: StartLimitBurst + 1 of them must
  // fit in StartLimitIntervalSec for the limit ever to be reached.
  if (burst <= 0 || *interval <= 0 || burst * *delay >= *interval) {
    ADD_FAILURE() << "the unit restarts forever: StartLimitBurst=" << burstText
                  << " starts, RestartSec=" << delayText
                  << " apart, never fit in StartLimitIntervalSec=" << intervalText;
  } else {
    seconds bound(burst * (*delay / 1000 + 10) + 10);
    EXPECT_TRUE(waitUntil([&] { return first.property(kUnit, "ActiveState") == "failed"; }, bound,
                          std::chrono::milliseconds(250)))
        << "still not failed after " << first.property(kUnit, "NRestarts") << " restarts:\n"
        << describe(first);
    EXPECT_GE(std::atoi(first.property(kUnit, "NRestarts").c_str()), 1);
    // The limit's words: systemd 252 keeps the last exit's result and logs
    // the refusal; later versions name it in the result.
    std::string status = first.systemctl({"status", kUnit}).out;
    EXPECT_TRUE(status.find("Start request repeated too quickly") != std::string::npos ||
                status.find("start-limit-hit") != std::string::npos)
        << status;
    // Its last exit, the agent's status 1 (its server ended), with it.
    EXPECT_NE(status.find("status=1/FAILURE"), std::string::npos) << status;
  }
  // Why: the server's own words, in the unit's log (the status lists only
  // the refused start's lines).
  EXPECT_TRUE(waitUntil(
      [&] {
        firstJournal = unitJournal(first);
        return firstJournal.find("cannot listen on 127.0.0.1:" + taken) != std::string::npos;
      },
      seconds(60), std::chrono::milliseconds(250)))
      << firstJournal;
  expectUntouched(second, *secondThird);

  // No agent's start ended another account's server, or tried to.
  std::string secondJournal = unitJournal(second);
  EXPECT_EQ(linesWith(secondJournal, "kavri-node died"), "") << "second account's server ended";
  for (const std::string* journal : {&firstJournal, &secondJournal})
    EXPECT_EQ(linesWith(*journal, "Operation not permitted"), "");
}

}  // namespace
}  // namespace kavri::testing
