// The whole agent updating itself: version 1 bundles under a stand-in
// service manager (this test), a loopback feed offering each a version 2.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
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
using testing::processAlive;
using testing::readFile;
using testing::splitLines;
using testing::waitUntil;

constexpr char kFeedPlaceholder[] = "http://127.0.0.1:1/appcast.xml";

// The agent, started as its service manager would (MANAGERPID is this
// process) and, unlike AgentProcess, with no descriptor but the standard
// three, so that any other it holds is its own. Like the service manager, the
// test may start it again after it ended. Killed and reaped at the end.
class Agent {
 public:
  Agent(const std::string& executable, const std::map<std::string, std::string>& extraEnv,
        const std::string& stderrPath)
      : executable_(executable), stderrPath_(stderrPath) {
    for (char** e = environ; *e; ++e)
      if (std::string(*e).rfind("MANAGERPID=", 0) != 0) env_.push_back(*e);
    env_.push_back("MANAGERPID=" + std::to_string(getpid()));
    for (auto& [key, value] : extraEnv) env_.push_back(key + "=" + value);
    start();
  }
  ~Agent() {
    if (!running()) return;
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }

  // Starts the executable again, as Restart=on-failure would once it ended.
  void start() {
    status_.reset();
    std::vector<char*> envp, argv = {executable_.data(), nullptr};
    for (auto& e : env_) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, stderrPath_.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    // As from a service manager: nothing but the standard three, so any
    // other descriptor is the agent's own.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    EXPECT_EQ(posix_spawn(&pid_, executable_.c_str(), &actions, nullptr, argv.data(), envp.data()),
              0);
    posix_spawn_file_actions_destroy(&actions);
  }

  pid_t pid() const { return pid_; }
  std::string log() const { return readFile(stderrPath_); }
  bool running() {
    int status;
    if (!status_ && pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_)
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return pid_ > 0 && !status_;
  }
  // How it ended: its exit status, or 128 + the signal.
  std::optional<int> status() {
    running();
    return status_;
  }

 private:
  std::string executable_;
  std::string stderrPath_;
  std::vector<std::string> env_;
  pid_t pid_ = -1;
  std::optional<int> status_;
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

size_t threadsOf(pid_t pid) {
  std::error_code ec;
  fs::directory_iterator tasks("/proc/" + std::to_string(pid) + "/task", ec);
  return ec ? 0 : static_cast<size_t>(std::distance(tasks, fs::directory_iterator()));
}

// The state letter and parent of a process, from the kernel's record; the
// command name may hold spaces and parentheses, so parse after the last ')'.
std::pair<char, pid_t> stateAndParent(const std::string& procEntry) {
  std::string stat = readFile(procEntry + "/stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 4 >= stat.size()) return {0, 0};
  return {stat[close + 2], std::atoi(stat.c_str() + close + 4)};
}

pid_t parentOf(pid_t pid) { return stateAndParent("/proc/" + std::to_string(pid)).second; }

// Children of `pid` that ended and were never reaped.
int zombieChildren(pid_t pid) {
  int zombies = 0;
  std::error_code ec;
  for (auto& entry : fs::directory_iterator("/proc", ec)) {
    auto [state, parent] = stateAndParent(entry.path().string());
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

// One installed agent of the scenario: its own directory (version 1
// installed under apps/, its fonts, its server's notes), its own feed and
// archive on the shared loopback server, and its process.
struct Site {
  std::string name;  // its paths on the server: /NAME/...
  std::string dir;
  std::unique_ptr<Agent> agent;
  // Guarded by the scenario's mutex_.
  std::string feed;
  std::string archive;
  int feedRequests = 0;
  std::optional<Clock::time_point> firstFeedRequest;

  std::string app() const { return dir + "/apps/KavriDaemon.app"; }
  std::string exe() const { return app() + "/Contents/MacOS/KavriDaemon"; }
  std::string archivePath() const { return dir + "/KavriDaemon-2.tar.zst"; }
  pid_t serverPid() const {
    std::string text = readFile(dir + "/server.pid");
    return text.empty() ? 0 : std::atoi(text.c_str());
  }
  std::string version() const {
    return Bundle(app()).infoString("CFBundleVersion").value_or("none");
  }
  std::vector<std::string> besideTheBundle() const {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(dir + "/apps")) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
};

// Copies a bundle, linking its large files where the file system allows.
void copyBundle(const std::string& from, const std::string& to) {
  std::error_code ec;
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::create_hard_links, ec);
  if (ec) {
    fs::remove_all(to);
    fs::copy(from, to, fs::copy_options::recursive);
  }
}

class UpdateScenario : public ::testing::Test {
 protected:
  UpdateScenario() : server_([this](const std::string& path) { return serve(path); }) {
    key_.privateKeyPath = KAVRI_UPDATE_KEY;
  }

  Site& addSite(const std::string& name) {
    auto site = std::make_unique<Site>();
    site->name = name;
    site->dir = dir_.file(name);
    fs::create_directories(site->dir + "/apps");
    fs::create_directories(site->dir + "/fonts");
    testing::writeFile(site->dir + "/fonts.conf", "<?xml version=\"1.0\"?>\n<fontconfig><dir>" +
                                                      site->dir + "/fonts</dir><cachedir>" +
                                                      site->dir +
                                                      "/cache</cachedir></fontconfig>\n");
    copyBundle(KAVRI_UPDATE_V1, site->app());
    std::string plistPath = site->app() + "/Contents/Info.plist";
    std::string plist = readFile(plistPath);
    plist.replace(plist.find(kFeedPlaceholder), sizeof kFeedPlaceholder - 1,
                  server_.url("/" + name + "/appcast.xml"));
    fs::remove(plistPath);  // perhaps a link to the build's own
    testing::writeFile(plistPath, plist);
    std::lock_guard lock(mutex_);
    sites_.push_back(std::move(site));
    return *sites_.back();
  }

  // Publishes `bundle` as `site`'s version 2, as its publisher would ship
  // it: the whole bundle, zstd tar.
  void publish(Site& site, const std::string& bundle) {
    fs::path path(bundle);
    auto tar = testing::run({"/usr/bin/tar", "-C", path.parent_path().string(), "--zstd", "-cf",
                             site.archivePath(), path.filename().string()});
    EXPECT_EQ(tar.exitStatus, 0) << tar.err;
    std::lock_guard lock(mutex_);
    site.archive = readFile(site.archivePath());
  }

  std::string archiveURL(const Site& site) const {
    return server_.url("/" + site.name + "/KavriDaemon-2.tar.zst");
  }

  void offer(Site& site, const std::string& signature) {
    std::lock_guard lock(mutex_);
    site.feed =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<rss version=\"2.0\" "
        "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"
        "<channel><title>KavriDaemon</title><item><title>Version 2</title>"
        "<enclosure url=\"" +
        archiveURL(site) + "\" length=\"" + std::to_string(site.archive.size()) +
        "\" type=\"application/octet-stream\" sparkle:version=\"2\" "
        "sparkle:shortVersionString=\"2\" "
        "sparkle:edSignature=\"" +
        signature + "\"/></item></channel></rss>\n";
  }

  void start(Site& site) {
    site.agent = std::make_unique<Agent>(
        site.exe(),
        std::map<std::string, std::string>{{"FONTCONFIG_FILE", site.dir + "/fonts.conf"},
                                           {"KAVRI_UPDATE_TEST_DIR", site.dir}},
        site.dir + "/agent.log");
  }

  testing::HttpResponse serve(const std::string& path) {
    testing::HttpResponse response;
    std::lock_guard lock(mutex_);
    response.status = 404;
    for (auto& site : sites_) {
      if (path == "/" + site->name + "/appcast.xml") {
        if (!site->firstFeedRequest) site->firstFeedRequest = Clock::now();
        ++site->feedRequests;
        response.status = 200;
        response.body = site->feed;
      } else if (path == "/" + site->name + "/KavriDaemon-2.tar.zst") {
        response.status = 200;
        response.body = site->archive;
      }
    }
    return response;
  }

  std::optional<Clock::time_point> firstFeedRequest(const Site& site) {
    std::lock_guard lock(mutex_);
    return site.firstFeedRequest;
  }

  int feedRequests(const Site& site) {
    std::lock_guard lock(mutex_);
    return site.feedRequests;
  }

  testing::TempDir dir_;
  testing::SigningKey key_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Site>> sites_;  // guarded by mutex_ while the server runs
  testing::TestHttpServer server_;
};

// Four installs of version 1, side by side: one is offered a good version 2,
// one a version 2 whose server files fail verification (it exits with status
// 0, which no service manager restarts), one a version 2 that crashes, and
// one, installed by the package manager, a good version 2 as well. The
// agents start one after another and every later start waits for the
// earlier ones' servers, so that no agent's "killall kavri-node" meets
// another's server before it renames itself.
TEST_F(UpdateScenario, InstallsAGoodVersion2AndRollsBackTwoThatCannotStart) {
  if (testing::rerunInOwnPidNamespace()) return;
  Site& good = addSite("good");
  Site& exits = addSite("exits");
  Site& crashes = addSite("crashes");
  Site& packaged = addSite("packaged");

  publish(good, KAVRI_UPDATE_V2);
  testing::writeFile(dir_.file("other"), "not the archive");
  offer(good, testing::signFile(key_, dir_.file("other")));

  std::string unverifiable = dir_.file("unverifiable/KavriDaemon.app");
  fs::create_directories(unverifiable + "/Contents/Resources");
  copyBundle(std::string(KAVRI_UPDATE_V2) + "/Contents/MacOS", unverifiable + "/Contents/MacOS");
  fs::copy(std::string(KAVRI_UPDATE_V2) + "/Contents/Info.plist", unverifiable + "/Contents/");
  // Changed after its digest was taken; the runtime left out as well.
  testing::writeFile(
      unverifiable + "/Contents/Resources/daemon.js",
      readFile(std::string(KAVRI_UPDATE_V2) + "/Contents/Resources/daemon.js") + "//\n");
  publish(exits, unverifiable);
  offer(exits, testing::signFile(key_, exits.archivePath()));

  std::string crashing = dir_.file("crashing/KavriDaemon.app");
  fs::create_directories(crashing + "/Contents/MacOS");
  fs::copy(std::string(KAVRI_UPDATE_V2) + "/Contents/Info.plist", crashing + "/Contents/");
  // No core file left behind.
  testing::writeFile(crashing + "/Contents/MacOS/KavriDaemon",
                     "#!/bin/sh\nulimit -c 0\nkill -s SEGV $$\n");
  fs::permissions(crashing + "/Contents/MacOS/KavriDaemon", fs::perms::owner_all,
                  fs::perm_options::add);
  publish(crashes, crashing);
  offer(crashes, testing::signFile(key_, crashes.archivePath()));

  // The package's bundle, which root could replace: it carries the
  // package's marker, and no updater module, so that loading one would say so.
  publish(packaged, KAVRI_UPDATE_V2);
  offer(packaged, testing::signFile(key_, packaged.archivePath()));
  testing::writeFile(packaged.app() + "/Contents/Resources/package-managed", "");
  fs::remove(packaged.app() + "/Contents/Frameworks/libkavri_updater.so");

  auto started = Clock::now();
  for (Site* site : {&good, &exits, &crashes, &packaged}) {
    start(*site);
    ASSERT_TRUE(waitUntil([&] { return site->serverPid() > 0; }, 30s)) << site->agent->log();
  }
  // The server asks at once; before the delayed start that is dropped, and
  // not remembered for later.
  kill(good.serverPid(), SIGUSR2);
  size_t threadsBefore = threadsOf(good.agent->pid());

  // The delayed start, a minute on, finds version 2 and refuses its signature.
  ASSERT_TRUE(waitUntil(
      [&] {
        return good.agent->log().find("Update error") != std::string::npos ||
               !good.agent->running();
      },
      90s))
      << good.agent->log();
  ASSERT_TRUE(good.agent->running()) << good.agent->log();
  // The check over, its module is unloaded, its thread gone with it.
  std::string maps = "/proc/" + std::to_string(good.agent->pid()) + "/maps";
  EXPECT_TRUE(waitUntil([&] {
    return readFile(maps).find(good.app() + "/Contents/Frameworks/libkavri_updater.so") ==
               std::string::npos &&
           threadsOf(good.agent->pid()) == threadsBefore;
  }, 10s)) << threadsOf(good.agent->pid()) << " threads, " << threadsBefore << " before";
  EXPECT_EQ(readFile(maps).find("libcurl"), std::string::npos);
  ASSERT_TRUE(firstFeedRequest(good));
  EXPECT_GE(*firstFeedRequest(good) - started, 60s);
  EXPECT_EQ(feedRequests(good), 1);
  auto log = splitLines(good.agent->log());
  size_t found = lineWith(log, "Found update: " + archiveURL(good), 0);
  size_t refused = lineWith(log, "Update error signature wrong: signature does not match the archive", found);
  EXPECT_LT(refused, log.size()) << good.agent->log();
  EXPECT_EQ(good.version(), "1");
  EXPECT_EQ(good.besideTheBundle(), std::vector<std::string>{"KavriDaemon.app"});

  // Version 2 of `exits` fails verification and ends with status 0; the
  // same process brings version 1 back, which says why and serves again.
  pid_t exitsServer = exits.serverPid();
  const std::string exitedWhy =
      "Update error version 2 did not come up and was rolled back: it exited before sending its "
      "first catalogue";
  ASSERT_TRUE(waitUntil(
      [&] {
        return (exits.agent->log().find(exitedWhy) != std::string::npos &&
                exits.serverPid() != exitsServer) ||
               !exits.agent->running();
      },
      60s))
      << exits.agent->log();
  EXPECT_TRUE(exits.agent->running());
  log = splitLines(exits.agent->log());
  size_t relaunching = lineWith(log, "Relaunching to install update", 0);
  size_t failed = lineWith(log, "validation failure", relaunching);
  EXPECT_LT(lineWith(log, exitedWhy, failed), log.size()) << exits.agent->log();
  EXPECT_EQ(exits.version(), "1");
  EXPECT_EQ(exits.besideTheBundle(),
            (std::vector<std::string>{".KavriDaemon.app.update-failed", "KavriDaemon.app"}));

  // Version 2 of `crashes` dies by a signal; like the service manager, the
  // test starts the installed executable again: version 1, which says why.
  ASSERT_TRUE(waitUntil([&] { return !crashes.agent->running(); }, 60s)) << crashes.agent->log();
  EXPECT_EQ(crashes.agent->status(), 128 + SIGSEGV) << crashes.agent->log();
  EXPECT_EQ(crashes.version(), "1");
  pid_t crashedServer = crashes.serverPid();
  crashes.agent->start();
  ASSERT_TRUE(waitUntil(
      [&] { return crashes.serverPid() != crashedServer || !crashes.agent->running(); }, 30s))
      << crashes.agent->log();
  EXPECT_NE(
      crashes.agent->log().find("Update error version 2 did not come up and was rolled back: "
                                "it crashed or was stopped before sending its first catalogue"),
      std::string::npos)
      << crashes.agent->log();
  EXPECT_TRUE(crashes.agent->running());
  EXPECT_EQ(crashes.besideTheBundle(),
            (std::vector<std::string>{".KavriDaemon.app.update-failed", "KavriDaemon.app"}));
  EXPECT_EQ(feedRequests(exits), 1);
  EXPECT_EQ(feedRequests(crashes), 1);

  // Signed properly, a check asked by the server installs good's version 2.
  offer(good, testing::signFile(key_, good.archivePath()));
  pid_t oldServer = good.serverPid();
  std::set<std::string> oldPipes = pipesOf(good.agent->pid());
  EXPECT_FALSE(oldPipes.empty());
  kill(oldServer, SIGUSR2);
  // It runs on trial from beside the bundle until its first catalogue is
  // sent, then takes the bundle's place and starts again from there, with a
  // server of its own: the trial's was reaped before the move.
  ASSERT_TRUE(waitUntil(
      [&] {
        pid_t server = good.serverPid();
        return (good.version() == "2" && server != oldServer && processAlive(server) &&
                parentOf(server) == good.agent->pid()) ||
               !good.agent->running();
      },
      60s))
      << good.agent->log();

  ASSERT_TRUE(good.agent->running()) << good.agent->status().value_or(-1) << "\n"
                                     << good.agent->log();
  struct stat running, installed;
  ASSERT_EQ(stat(("/proc/" + std::to_string(good.agent->pid()) + "/exe").c_str(), &running), 0);
  ASSERT_EQ(stat(good.exe().c_str(), &installed), 0);
  EXPECT_EQ(running.st_ino, installed.st_ino);  // the same process now runs the new file
  EXPECT_EQ(good.besideTheBundle(), std::vector<std::string>{"KavriDaemon.app"});

  log = splitLines(good.agent->log());
  size_t foundAgain = lineWith(log, "Found update: " + archiveURL(good), refused + 1);
  size_t installing = lineWith(log, "About to install update: " + archiveURL(good), foundAgain);
  relaunching = lineWith(log, "Relaunching to install update", installing);
  EXPECT_LT(relaunching, log.size()) << good.agent->log();
  EXPECT_EQ(good.agent->log().find("kavri-node died"), std::string::npos) << good.agent->log();
  EXPECT_EQ(good.agent->log().find("did not come up"), std::string::npos) << good.agent->log();
  EXPECT_EQ(feedRequests(good), 2);  // the server's one request after the start is one check

  // The old server is gone and reaped; nothing of it was carried over.
  EXPECT_FALSE(fs::exists("/proc/" + std::to_string(oldServer)));
  EXPECT_EQ(zombieChildren(good.agent->pid()), 0);
  for (const std::string& pipe : pipesOf(good.agent->pid()))
    EXPECT_EQ(oldPipes.count(pipe), 0u) << pipe;
  for (const std::string& target : descriptorTargets(good.agent->pid())) {
    EXPECT_EQ(target.find(".update"), std::string::npos) << target;
    EXPECT_EQ(target.find("(deleted)"), std::string::npos) << target;
  }

  // The package's bundle is left to the package manager: nothing is loaded,
  // the feed is never asked, and the check of the delayed start and the one
  // the server asks for are each answered with the one line.
  const std::string packagedLine =
      "updates come from the package manager, not checking for updates: " + packaged.app() +
      " was installed by the package manager";
  ASSERT_TRUE(waitUntil(
      [&] {
        return packaged.agent->log().find(packagedLine) != std::string::npos ||
               !packaged.agent->running();
      },
      90s))
      << packaged.agent->log();
  kill(packaged.serverPid(), SIGUSR2);
  auto answers = [&] {
    std::vector<std::string> updateLines;
    for (const std::string& line : splitLines(packaged.agent->log()))
      if (line.find("pdate") != std::string::npos) updateLines.push_back(line);
    return updateLines;
  };
  ASSERT_TRUE(waitUntil([&] { return answers().size() >= 2 || !packaged.agent->running(); }, 30s))
      << packaged.agent->log();
  EXPECT_TRUE(packaged.agent->running());
  EXPECT_EQ(answers().size(), 2u) << packaged.agent->log();
  for (const std::string& line : answers())
    EXPECT_EQ(line.substr(line.find("] ") + 2), packagedLine) << packaged.agent->log();
  EXPECT_EQ(packaged.agent->log().find("cannot load the updater"), std::string::npos);
  EXPECT_EQ(feedRequests(packaged), 0);
  EXPECT_EQ(packaged.version(), "1");
  EXPECT_EQ(packaged.besideTheBundle(), std::vector<std::string>{"KavriDaemon.app"});
}

}  // namespace
}  // namespace kavri
