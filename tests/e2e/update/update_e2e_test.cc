// The whole agent updating itself: a version 1 bundle under a stand-in
// service manager (this test), a loopback feed offering version 2.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "agent_process.h"
#include "platform/bundle.h"
#include "support/update_test_support.h"
#include "test_util.h"

extern char** environ;

namespace kavri {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::readFile;
using testing::splitLines;
using testing::waitUntil;

constexpr char kFeedPlaceholder[] = "http://127.0.0.1:1/appcast.xml";

// The agent, started as its service manager would (MANAGERPID is this
// process) and, unlike AgentProcess, with no descriptor but the standard
// three, so that any other it holds is its own. Killed and reaped at the end.
class Agent {
 public:
  Agent(const std::string& executable, const std::map<std::string, std::string>& extraEnv,
        const std::string& stderrPath)
      : stderrPath_(stderrPath) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
      if (std::string(*e).rfind("MANAGERPID=", 0) != 0) env.push_back(*e);
    env.push_back("MANAGERPID=" + std::to_string(getpid()));
    for (auto& [key, value] : extraEnv) env.push_back(key + "=" + value);
    std::vector<char*> envp, argv = {const_cast<char*>(executable.c_str()), nullptr};
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    // As from a service manager: nothing but the standard three, so any
    // other descriptor is the agent's own.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    EXPECT_EQ(posix_spawn(&pid_, executable.c_str(), &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Agent() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }

  pid_t pid() const { return pid_; }
  std::string log() const { return readFile(stderrPath_); }
  bool running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

 private:
  std::string stderrPath_;
  pid_t pid_ = -1;
};

std::string procLink(const std::string& path) {
  std::error_code ec;
  return fs::read_symlink(path, ec).string();
}

// The pipes the process holds, by inode ("pipe:[1234]").
std::set<std::string> pipesOf(pid_t pid) {
  std::set<std::string> pipes;
  std::error_code ec;
  for (auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::string target = procLink(fd.path());
    if (target.rfind("pipe:", 0) == 0) pipes.insert(target);
  }
  return pipes;
}

std::vector<std::string> descriptorTargets(pid_t pid) {
  std::vector<std::string> targets;
  std::error_code ec;
  for (auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
    targets.push_back(procLink(fd.path()));
  return targets;
}

// Children of `pid` that ended and were never reaped.
int zombieChildren(pid_t pid) {
  int zombies = 0;
  std::error_code ec;
  for (auto& entry : fs::directory_iterator("/proc", ec)) {
    std::string stat = readFile(entry.path().string() + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 >= stat.size()) continue;
    char state = stat[close + 2];
    pid_t parent = std::atoi(stat.c_str() + close + 4);
    zombies += parent == pid && state == 'Z';
  }
  return zombies;
}

// Index of the first log line at or after `from` that contains `text`.
size_t lineWith(const std::vector<std::string>& lines, const std::string& text, size_t from) {
  for (size_t i = from; i < lines.size(); ++i)
    if (lines[i].find(text) != std::string::npos) return i;
  return lines.size();
}

class UpdateScenario : public ::testing::Test {
 protected:
  UpdateScenario() : server_([this](const std::string& path) { return serve(path); }) {
    fs::create_directories(dir_.file("apps"));
    fs::create_directories(dir_.file("fonts"));
    testing::writeFile(dir_.file("fonts.conf"),
                       "<?xml version=\"1.0\"?>\n<fontconfig><dir>" + dir_.file("fonts") +
                           "</dir><cachedir>" + dir_.file("cache") + "</cachedir></fontconfig>\n");
    fs::copy(KAVRI_UPDATE_V1, app(), fs::copy_options::recursive);
    std::string plist = readFile(app() + "/Contents/Info.plist");
    plist.replace(plist.find(kFeedPlaceholder), sizeof kFeedPlaceholder - 1, server_.url("/appcast.xml"));
    testing::writeFile(app() + "/Contents/Info.plist", plist);

    // Version 2 as its publisher would ship it: the whole bundle, zstd tar.
    fs::path v2(KAVRI_UPDATE_V2);
    auto tar = testing::run({"/usr/bin/tar", "-C", v2.parent_path().string(), "--zstd", "-cf",
                             archivePath(), v2.filename().string()});
    EXPECT_EQ(tar.exitStatus, 0) << tar.err;
    key_.privateKeyPath = KAVRI_UPDATE_KEY;
    archive_ = readFile(archivePath());
  }

  std::string app() const { return dir_.file("apps/KavriDaemon.app"); }
  std::string archivePath() const { return dir_.file("KavriDaemon-2.tar.zst"); }
  std::string archiveURL() const { return server_.url("/KavriDaemon-2.tar.zst"); }

  void offer(const std::string& signature) {
    std::lock_guard lock(mutex_);
    feed_ = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
            "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"
            "<channel><title>KavriDaemon</title><item><title>Version 2</title>"
            "<enclosure url=\"" + archiveURL() + "\" length=\"" + std::to_string(archive_.size()) +
            "\" type=\"application/octet-stream\" sparkle:version=\"2\" sparkle:shortVersionString=\"2\" "
            "sparkle:edSignature=\"" + signature + "\"/></item></channel></rss>\n";
  }

  testing::HttpResponse serve(const std::string& path) {
    testing::HttpResponse response;
    std::lock_guard lock(mutex_);
    if (path == "/appcast.xml") {
      if (!firstFeedRequest_) firstFeedRequest_ = Clock::now();
      ++feedRequests_;
      response.body = feed_;
    } else if (path == "/KavriDaemon-2.tar.zst") {
      response.body = archive_;
    } else {
      response.status = 404;
    }
    return response;
  }

  pid_t serverPid() const {
    std::string text = readFile(dir_.file("server.pid"));
    return text.empty() ? 0 : std::atoi(text.c_str());
  }

  std::optional<Clock::time_point> firstFeedRequest() {
    std::lock_guard lock(mutex_);
    return firstFeedRequest_;
  }

  int feedRequests() {
    std::lock_guard lock(mutex_);
    return feedRequests_;
  }

  testing::TempDir dir_;
  testing::SigningKey key_;
  std::mutex mutex_;
  std::string feed_;     // guarded by mutex_
  std::string archive_;  // guarded by mutex_
  std::optional<Clock::time_point> firstFeedRequest_;  // guarded by mutex_
  int feedRequests_ = 0;                               // guarded by mutex_
  testing::TestHttpServer server_;
};

TEST_F(UpdateScenario, RefusesABadSignatureThenInstallsAndRunsVersion2InTheSameProcess) {
  testing::writeFile(dir_.file("other"), "not the archive");
  offer(testing::signFile(key_, dir_.file("other")));
  std::string exe = app() + "/Contents/MacOS/KavriDaemon";
  auto started = Clock::now();
  Agent agent(exe, {{"FONTCONFIG_FILE", dir_.file("fonts.conf")}, {"KAVRI_UPDATE_TEST_DIR", dir_.path()}},
              dir_.file("agent.log"));
  ASSERT_TRUE(waitUntil([&] { return serverPid() > 0; }, 30s)) << agent.log();
  // The server asks at once; before the delayed start that is dropped, and
  // not remembered for later.
  kill(serverPid(), SIGUSR2);

  // The delayed start, a minute on, finds version 2 and refuses its signature.
  ASSERT_TRUE(waitUntil([&] {
    return agent.log().find("Update error") != std::string::npos || !agent.running();
  }, 90s)) << agent.log();
  ASSERT_TRUE(agent.running()) << agent.log();
  ASSERT_TRUE(firstFeedRequest());
  EXPECT_GE(*firstFeedRequest() - started, 60s);
  EXPECT_EQ(feedRequests(), 1);
  auto log = splitLines(agent.log());
  size_t found = lineWith(log, "Found update: " + archiveURL(), 0);
  size_t refused = lineWith(log, "Update error signature wrong: signature does not match the archive", found);
  EXPECT_LT(refused, log.size()) << agent.log();
  EXPECT_EQ(Bundle(app()).infoString("CFBundleVersion"), "1");
  std::vector<std::string> beside;
  for (auto& e : fs::directory_iterator(dir_.file("apps"))) beside.push_back(e.path().filename());
  EXPECT_EQ(beside, std::vector<std::string>{"KavriDaemon.app"});

  // Signed properly, a check asked by the server installs it.
  offer(testing::signFile(key_, archivePath()));
  pid_t oldServer = serverPid();
  std::set<std::string> oldPipes = pipesOf(agent.pid());
  EXPECT_FALSE(oldPipes.empty());
  kill(oldServer, SIGUSR2);
  ASSERT_TRUE(waitUntil([&] {
    return (serverPid() != oldServer && serverPid() > 0) || !agent.running();
  }, 60s)) << agent.log();

  EXPECT_TRUE(agent.running());
  struct stat running, installed;
  ASSERT_EQ(stat(("/proc/" + std::to_string(agent.pid()) + "/exe").c_str(), &running), 0);
  ASSERT_EQ(stat(exe.c_str(), &installed), 0);
  EXPECT_EQ(running.st_ino, installed.st_ino);  // the same process now runs the new file
  EXPECT_EQ(Bundle(app()).infoString("CFBundleVersion"), "2");

  log = splitLines(agent.log());
  size_t foundAgain = lineWith(log, "Found update: " + archiveURL(), refused + 1);
  size_t installing = lineWith(log, "About to install update: " + archiveURL(), foundAgain);
  size_t relaunching = lineWith(log, "Relaunching to install update", installing);
  EXPECT_LT(relaunching, log.size()) << agent.log();
  EXPECT_EQ(agent.log().find("kavri-node died"), std::string::npos) << agent.log();
  EXPECT_EQ(feedRequests(), 2);  // the server's one request after the start is one check

  // The old server is gone and reaped; nothing of it was carried over.
  EXPECT_FALSE(fs::exists("/proc/" + std::to_string(oldServer)));
  EXPECT_EQ(zombieChildren(agent.pid()), 0);
  for (const std::string& pipe : pipesOf(agent.pid())) EXPECT_EQ(oldPipes.count(pipe), 0u) << pipe;
  for (const std::string& target : descriptorTargets(agent.pid())) {
    EXPECT_EQ(target.find(".update"), std::string::npos) << target;
    EXPECT_EQ(target.find("(deleted)"), std::string::npos) << target;
  }
}

}  // namespace
}  // namespace kavri
