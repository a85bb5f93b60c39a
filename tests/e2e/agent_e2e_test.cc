// The whole agent, started as its service manager would start it, with real
// bundles, real Node.js servers and real fonts under a private fontconfig
// configuration.

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>

#include "agent_process.h"
#include "test_util.h"

namespace kavri::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

std::string copyBundle(const std::string& executable, const std::string& into) {
  fs::path app = fs::path(executable).parent_path().parent_path().parent_path();
  fs::path target = fs::path(into) / app.filename();
  fs::copy(app, target, fs::copy_options::recursive);
  return (target / "Contents/MacOS/KavriDaemon").string();
}

size_t collect(char* data, size_t size, size_t count, void* sink) {
  static_cast<std::string*>(sink)->append(data, size * count);
  return size * count;
}

// GET from the server on loopback at the address it printed.
std::optional<std::string> httpGet(const std::string& address, const std::string& path) {
  CURL* curl = curl_easy_init();
  std::string body;
  std::string url = address + path;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  CURLcode rc = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  if (rc != CURLE_OK || status != 200) return std::nullopt;
  return body;
}

// Every agent runs "killall kavri-node", and a stopper signals every copy of
// its user: each scenario runs in a PID namespace of its own, so that it
// reaches only its own processes and other test runs cannot reach it.
class AgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fontDir_ = dir_.file("fonts");
    recordDir_ = dir_.file("record");
    fs::create_directories(fontDir_);
    fs::create_directories(recordDir_);
    fs::create_directories(dir_.file("cache"));
    installFont("DejaVuSans.ttf");
    writeFile(dir_.file("fonts.conf"),
              "<?xml version=\"1.0\"?>\n<!DOCTYPE fontconfig SYSTEM \"fonts.dtd\">\n"
              "<fontconfig><dir>" + fontDir_ + "</dir><cachedir>" + dir_.file("cache") +
                  "</cachedir></fontconfig>\n");
  }

  void installFont(const std::string& name) {
    // Copied under a temporary name and renamed, as an installer would.
    fs::copy_file(std::string(KAVRI_E2E_FONTS) + "/" + name, dir_.file(name + ".part"));
    fs::rename(dir_.file(name + ".part"), fontDir_ + "/" + name);
  }

  std::unique_ptr<AgentProcess> start(const std::string& executable, bool managed = true,
                                      std::map<std::string, std::string> env = {},
                                      const std::string& log = "agent.log") {
    env["FONTCONFIG_FILE"] = dir_.file("fonts.conf");
    env["KAVRI_RECORD_DIR"] = recordDir_;
    env["KAVRI_PORT"] = "0";
    env["XDG_RUNTIME_DIR"] = dir_.file("run");  // the page's address goes here, not the real one
    AgentProcess::Options options;
    options.argv = {executable};
    options.env = env;
    options.asServiceManagerChild = managed;
    options.stderrPath = dir_.file(log);
    return std::make_unique<AgentProcess>(options);
  }

  // A stand-in process in a bundle of the agent's shape at `app` (a copy of
  // sleep as its executable): with the test agent's Info.plist when `plist`
  // is given, else with none yet. Returns the executable.
  std::string lookAlike(const std::string& app, const std::string& plist) {
    fs::path contents = fs::path(app) / "Contents";
    fs::create_directories(contents / "MacOS");
    if (!plist.empty())
      fs::copy_file(fs::path(KAVRI_E2E_RECORDER).parent_path().parent_path() / plist,
                    contents / plist);
    fs::copy_file("/bin/sleep", contents / "MacOS/KavriDaemon");
    for (fs::path p = contents / "MacOS/KavriDaemon"; p.string().size() > app.size();
         p = p.parent_path())
      fs::permissions(p,
                      fs::perms::group_read | fs::perms::others_read | fs::perms::group_exec |
                          fs::perms::others_exec,
                      fs::perm_options::add);
    fs::permissions(app, fs::perms::group_exec | fs::perms::others_exec, fs::perm_options::add);
    return (contents / "MacOS/KavriDaemon").string();
  }

  std::unique_ptr<AgentProcess> startLookAlike(std::vector<std::string> argv) {
    AgentProcess::Options options;
    options.argv = std::move(argv);
    options.asServiceManagerChild = false;
    options.stderrPath = dir_.file("look-alike-" + std::to_string(++lookAlikes_) + ".log");
    return std::make_unique<AgentProcess>(options);
  }

  static std::string executableOf(pid_t pid) {
    std::error_code error;
    return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", error).string();
  }

  std::vector<std::string> received() const { return splitLines(readFile(recordDir_ + "/stdin")); }

  pid_t serverPid() const {
    std::string text = readFile(recordDir_ + "/server.pid");
    return text.empty() ? 0 : std::stoi(text);
  }

  TempDir dir_;
  int lookAlikes_ = 0;
  std::string fontDir_;
  std::string recordDir_;
};

TEST_F(AgentTest, HandshakeComesFirstThenCatalogueAndEachFontChange) {
  if (rerunInOwnPidNamespace()) return;
  auto agent = start(KAVRI_E2E_RECORDER);
  ASSERT_TRUE(waitUntil([&] { return received().size() >= 2; })) << agent->stderrText();

  std::vector<std::string> got = received();
  EXPECT_TRUE(std::regex_match(got[0], std::regex("[A-Za-z0-9+/]+=*;[0-9A-F]{128}")));
  auto catalogue = nlohmann::json::parse(got[1]);
  ASSERT_TRUE(catalogue.contains(fontDir_ + "/DejaVuSans.ttf")) << got[1];
  EXPECT_EQ(catalogue[fontDir_ + "/DejaVuSans.ttf"][0]["family"], "DejaVu Sans");
  // The updater, and what only it uses, is loaded when it starts, a minute on.
  std::string maps = readFile("/proc/" + std::to_string(agent->pid()) + "/maps");
  for (const char* library : {"libkavri_updater", "libcurl", "libarchive", "libsodium"})
    EXPECT_EQ(maps.find(library), std::string::npos) << library;

  installFont("DejaVuSerif.ttf");
  ASSERT_TRUE(waitUntil([&] { return received().size() >= 3; })) << agent->stderrText();
  auto updated = nlohmann::json::parse(received()[2]);
  EXPECT_TRUE(updated.contains(fontDir_ + "/DejaVuSerif.ttf"));
  EXPECT_TRUE(updated.contains(fontDir_ + "/DejaVuSans.ttf"));
  EXPECT_TRUE(agent->running());
}

TEST_F(AgentTest, TheRealServerShowsTheFontsAndAFontInstalledLater) {
  if (rerunInOwnPidNamespace()) return;
  auto agent = start(KAVRI_E2E_AGENT);
  std::string address;
  std::regex printed(R"(listening on (http://127\.0\.0\.1:\d+)/\n)");
  ASSERT_TRUE(agent->waitForStderr([&](const std::string& text) {
    std::smatch match;
    if (!std::regex_search(text, match, printed)) return false;
    address = match[1];
    return true;
  })) << agent->stderrText();

  auto hasFont = [&](const std::string& name) {
    auto body = httpGet(address, "/catalogue.json");
    return body && body->find(fontDir_ + "/" + name) != std::string::npos;
  };
  ASSERT_TRUE(waitUntil([&] { return hasFont("DejaVuSans.ttf"); })) << agent->stderrText();
  installFont("DejaVuSansMono.ttf");
  EXPECT_TRUE(waitUntil([&] { return hasFont("DejaVuSansMono.ttf"); })) << agent->stderrText();
  auto page = httpGet(address, "/");
  ASSERT_TRUE(page);
  EXPECT_NE(page->find("<html"), std::string::npos);
}

TEST_F(AgentTest, ACopyStartedFromAShellStopsTheRunningAgentAndStartsNoServer) {
  if (rerunInOwnPidNamespace()) return;
  auto agent = start(KAVRI_E2E_RECORDER);
  ASSERT_TRUE(waitUntil([&] { return received().size() >= 2; })) << agent->stderrText();
  pid_t server = serverPid();
  std::string before = readFile(recordDir_ + "/stdin");

  // Look-alikes that are not this user's running copies: the same bundle
  // identifier under another user, and a bundle of this user whose
  // Info.plist is a FIFO that nobody ever writes.
  TempDir others;
  fs::permissions(others.path(),
                  fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  std::string otherUsers = lookAlike(others.file("other-user"), "Info.plist");
  std::string fifo = lookAlike(others.file("fifo"), "");
  ASSERT_EQ(mkfifo((fs::path(fifo).parent_path().parent_path() / "Info.plist").c_str(), 0644), 0);
  auto otherUser = startLookAlike(
      {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", otherUsers, "600"});
  auto fifoOne = startLookAlike({fifo, "600"});
  ASSERT_TRUE(waitUntil([&] { return executableOf(otherUser->pid()) == otherUsers; }));

  auto stopper = start(KAVRI_E2E_RECORDER, /*managed=*/false, {}, "stopper.log");
  EXPECT_EQ(stopper->waitForExit(), 0);
  EXPECT_EQ(agent->waitForExit(), 128 + SIGKILL);
  // The stopper neither started a server nor wrote to one.
  EXPECT_EQ(serverPid(), server);
  EXPECT_EQ(readFile(recordDir_ + "/stdin"), before);
  EXPECT_EQ(stopper->stderrText(), "");

  // Had the stopper signalled them, its SIGKILL would have ended them
  // whatever comes after it.
  for (AgentProcess* survivor : {otherUser.get(), fifoOne.get()}) {
    kill(survivor->pid(), SIGTERM);
    EXPECT_EQ(survivor->waitForExit(), 128 + SIGTERM) << survivor->stderrText();
  }
}

TEST_F(AgentTest, AStopperNeverKillsItself) {
  if (rerunInOwnPidNamespace()) return;
  auto stopper = start(KAVRI_E2E_RECORDER, /*managed=*/false);
  EXPECT_EQ(stopper->waitForExit(), 0);
  EXPECT_EQ(serverPid(), 0);
}

TEST_F(AgentTest, AnUnreadableParentMakesAStopper) {
  // With its /proc stat record hidden the parent cannot be read, although
  // MANAGERPID names it.
  if (geteuid() != 0) GTEST_SKIP() << "needs root to hide a /proc record";
  if (rerunInOwnPidNamespace()) return;
  AgentProcess::Options options;
  options.argv = {"/usr/bin/unshare", "--mount", "/bin/sh", "-c",
                  std::string("mount --bind /dev/null /proc/$$/stat && exec ") + KAVRI_E2E_RECORDER};
  options.env = {{"FONTCONFIG_FILE", dir_.file("fonts.conf")}, {"KAVRI_RECORD_DIR", recordDir_}};
  options.stderrPath = dir_.file("unreadable.log");
  AgentProcess agent(options);
  std::optional<int> status = agent.waitForExit();
  if (agent.stderrText().find("unshare") != std::string::npos ||
      agent.stderrText().find("mount") != std::string::npos)
    GTEST_SKIP() << "cannot make a mount namespace here: " << agent.stderrText();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(serverPid(), 0);
}

TEST_F(AgentTest, AServerThatDiesEndsTheAgentWithStatusOne) {
  if (rerunInOwnPidNamespace()) return;
  auto agent = start(KAVRI_E2E_RECORDER);
  ASSERT_TRUE(waitUntil([&] { return received().size() >= 2; })) << agent->stderrText();
  kill(serverPid(), SIGTERM);
  EXPECT_EQ(agent->waitForExit(), 1);
  EXPECT_NE(agent->stderrText().find("kavri-node died (15), exiting"), std::string::npos)
      << agent->stderrText();
}

TEST_F(AgentTest, AWriteToAServerThatStoppedReadingDoesNotKillTheAgent) {
  if (rerunInOwnPidNamespace()) return;
  auto agent = start(KAVRI_E2E_RECORDER, true, {{"KAVRI_CLOSE_INPUT", "1"}});
  ASSERT_TRUE(waitUntil([&] { return fs::exists(recordDir_ + "/input-closed"); }))
      << agent->stderrText();
  // The rescan's catalogue meets a pipe with no reader.
  installFont("DejaVuSerif.ttf");
  ASSERT_TRUE(agent->waitForStderr([](const std::string& text) {
    return text.find("font scanner found 2 fonts") != std::string::npos;
  })) << agent->stderrText();
  EXPECT_TRUE(agent->running());
  // The server's end still ends the agent as it should.
  kill(serverPid(), SIGTERM);
  EXPECT_EQ(agent->waitForExit(), 1);
  EXPECT_NE(agent->stderrText().find("kavri-node died (15), exiting"), std::string::npos);
}

TEST_F(AgentTest, ATamperedServerFileStopsTheAgentAndSparesTheOldServer) {
  if (rerunInOwnPidNamespace()) return;
  for (const char* file : {"kavri-node", "daemon.js"}) {
    SCOPED_TRACE(file);
    TempDir copy;
    std::string executable = copyBundle(KAVRI_E2E_RECORDER, copy.path());
    std::string resource = fs::path(executable).parent_path().parent_path() / "Resources" / file;
    std::string bytes = readFile(resource);
    bytes[bytes.size() / 2] ^= 0x01;
    writeFile(resource, bytes);

    // A server left from an earlier agent: a process named kavri-node.
    fs::copy_file("/bin/sleep", copy.file("kavri-node"));
    fs::permissions(copy.file("kavri-node"), fs::perms::owner_all);
    AgentProcess::Options old;
    old.argv = {copy.file("kavri-node"), "600"};
    old.stderrPath = copy.file("old.log");
    AgentProcess oldServer(old);

    auto agent = start(executable);
    EXPECT_EQ(agent->waitForExit(), 0);
    EXPECT_NE(agent->stderrText().find("validation failure"), std::string::npos)
        << agent->stderrText();
    EXPECT_EQ(serverPid(), 0);
    EXPECT_TRUE(oldServer.running());
  }
}

}  // namespace
}  // namespace kavri::testing
