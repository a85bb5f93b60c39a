#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <mutex>

#include "app_delegate.h"
#include "platform/bundle.h"
#include "platform/log.h"
#include "test_util.h"

namespace kavri {
namespace {

// Records what the update controller asks of the updater.
class FakeUpdater : public Updater {
 public:
  AppDelegate* owner = nullptr;
  std::vector<std::string> calls;

  void setDelegate(UpdaterDelegate* delegate) override {
    calls.push_back(std::string("setDelegate") + (delegate == owner ? "(app)" : "(other)") +
                    (owner && owner->updater() == this ? " stored" : " not stored"));
  }
  void setAutomaticallyChecksForUpdates(bool on) override {
    calls.push_back("automaticChecks " + std::to_string(on));
  }
  void setAutomaticallyDownloadsUpdates(bool on) override {
    calls.push_back("automaticDownloads " + std::to_string(on));
  }
  void setFeedURL(const std::string& url) override { calls.push_back("feed " + url); }
  void checkForUpdatesInBackground() override { calls.push_back("check"); }
};

constexpr char kNoFeed[] = "no update feed configured (SUFeedURL), not checking for updates";

FakeUpdater* fake = nullptr;
int fakeLoads = 0;
Updater& fakeShared() { return *fake; }
// The real URL check, beside the fake updater.
const UpdaterModule* fakeModule() {
  static const UpdaterModule module{&fakeShared, kavriUpdaterModule()->isURL};
  ++fakeLoads;
  return &module;
}

class UpdateController : public ::testing::Test {
 protected:
  UpdateController() {
    fake = &updater_;
    updater_.owner = &app_;
    setLogSinkForTesting([this](const std::string& line) {
      std::lock_guard lock(mutex_);
      log_.push_back(line);
    });
  }
  ~UpdateController() override {
    setLogSinkForTesting(nullptr);
    fake = nullptr;
  }

  std::vector<std::string> log() {
    std::lock_guard lock(mutex_);
    return log_;
  }

  FakeUpdater updater_;
  AppDelegate app_{&fakeModule};
  std::mutex mutex_;
  std::vector<std::string> log_;
};

// The steps of the delayed start as this process sees them, one per line:
// run inside a bundle (below), it reads that bundle's SUFeedURL. There
// KAVRI_EXPECT_FEED is the feed it sets, and KAVRI_EXPECT_NO_UPDATER says
// that it has nothing to check.
TEST_F(UpdateController, DelayedStartStoresTheUpdaterFirstThenConfiguresIt) {
  EXPECT_EQ(app_.updater(), nullptr);
  fakeLoads = 0;
  app_.startUpdater();
  if (getenv("KAVRI_EXPECT_NO_UPDATER")) {
    // Nothing loaded; this start's check and the server's are answered.
    EXPECT_EQ(fakeLoads, 0);
    ASSERT_NE(app_.updater(), nullptr);
    app_.serverAskedForUpdateCheck();
    EXPECT_EQ(updater_.calls, std::vector<std::string>{});
    EXPECT_EQ(log(), (std::vector<std::string>{kNoFeed, kNoFeed}));
    return;
  }
  EXPECT_EQ(fakeLoads, 1);
  EXPECT_EQ(app_.updater(), &updater_);
  std::vector<std::string> expected = {"setDelegate(app) stored", "automaticChecks 1",
                                       "automaticDownloads 1"};
  if (getenv("KAVRI_EXPECT_FEED")) {
    std::string feed = getenv("KAVRI_EXPECT_FEED");
    if (!feed.empty()) {
      expected.push_back("feed " + feed);
      expected.push_back("check");
    }
  }
  EXPECT_EQ(updater_.calls, expected);
  auto lines = log();
  if (expected.size() == 5) {
    EXPECT_TRUE(lines.empty());
  } else {
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("SUFeedURL"), std::string::npos) << lines[0];
  }
}

TEST_F(UpdateController, CallbacksLogAndInstallAtOnce) {
  UpdateItem item{"https://updates.example.com/KavriDaemon-2.tar.xz", "2", "2.0"};
  app_.updaterDidFindValidUpdate(item);
  app_.updaterWillInstallUpdate(item);
  app_.updaterWillRelaunchApplication();
  int installs = 0;
  app_.updaterWillInstallUpdateOnQuit(item, [&] { ++installs; });
  EXPECT_EQ(installs, 1);
  app_.updaterDidAbortWithError("signature wrong: signature does not match the archive");
  std::vector<std::string> expected = {
      "Found update: https://updates.example.com/KavriDaemon-2.tar.xz",
      "About to install update: https://updates.example.com/KavriDaemon-2.tar.xz",
      "Relaunching to install update",
      "Update error signature wrong: signature does not match the archive",
  };
  EXPECT_EQ(log(), expected);
}

// What a bundle holds beyond the test binary and its Info.plist.
struct BundleContents {
  bool packageManaged = false;  // the package's marker
  bool noFeedKey = false;       // Info.plist without SUFeedURL
  std::string updaterModule;    // copied in as Contents/Frameworks/libkavri_updater.so
};

// Runs this test binary again from inside a bundle whose Info.plist holds
// `feed`, so that the delayed start reads it as the agent would.
testing::RunResult runInBundle(const std::string& feed, const std::string& expected,
                               const std::string& filter = "UpdateController.DelayedStart*",
                               const BundleContents& contents = {}) {
  testing::TempDir dir;
  std::string macos = dir.file("KavriDaemon.app/Contents/MacOS");
  std::filesystem::create_directories(macos);
  if (contents.packageManaged) {
    std::filesystem::create_directories(dir.file("KavriDaemon.app/Contents/Resources"));
    testing::writeFile(dir.file("KavriDaemon.app/Contents/Resources/package-managed"), "");
  }
  if (!contents.updaterModule.empty()) {
    std::filesystem::create_directories(dir.file("KavriDaemon.app/Contents/Frameworks"));
    std::filesystem::copy_file(contents.updaterModule,
                               dir.file("KavriDaemon.app/Contents/Frameworks/libkavri_updater.so"));
  }
  testing::writeFile(dir.file("KavriDaemon.app/Contents/Info.plist"),
                     "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                     "<key>CFBundleIdentifier</key><string>com.kavri.test</string>" +
                     (contents.noFeedKey ? "" : "<key>SUFeedURL</key><string>" + feed + "</string>") +
                     "</dict></plist>");
  std::filesystem::copy_file("/proc/self/exe", macos + "/KavriDaemon");
  std::filesystem::permissions(macos + "/KavriDaemon", std::filesystem::perms::owner_all);
  setenv("KAVRI_EXPECT_FEED", expected.c_str(), 1);
  auto result = testing::run(
      {macos + "/KavriDaemon", "--gtest_filter=" + filter});
  unsetenv("KAVRI_EXPECT_FEED");
  return result;
}

TEST(UpdateControllerInBundle, SetsTheFeedFromInfoPlistOrLogsWhyNot) {
  if (Bundle::main()) GTEST_SKIP() << "already inside a bundle";
  for (auto [feed, expected] : std::vector<std::pair<std::string, std::string>>{
           {"https://updates.example.com/appcast.xml", "https://updates.example.com/appcast.xml"},
           {"not a url", ""},
           {"http://exa mple.com/feed", ""}}) {
    SCOPED_TRACE(feed);
    auto result = runInBundle(feed, expected);
    EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("1 test"), std::string::npos) << result.out;
  }
  // An empty feed, or none at all: nothing to check, and no updater loaded.
  setenv("KAVRI_EXPECT_NO_UPDATER", "1", 1);
  for (bool noFeedKey : {false, true}) {
    SCOPED_TRACE(noFeedKey ? "no SUFeedURL" : "empty SUFeedURL");
    auto result = runInBundle("", "", "UpdateController.DelayedStart*", {.noFeedKey = noFeedKey, .updaterModule = ""});
    EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("[  PASSED  ] 1 test"), std::string::npos) << result.out;
  }
  unsetenv("KAVRI_EXPECT_NO_UPDATER");
}

// The agent's own loader: outside a bundle there is nothing to load, and in
// the bundles it runs in below the module is missing, or of another build
// (KAVRI_EXPECT_LOAD_ERROR names why).
TEST(UpdaterLoad, AnUpdaterThatCannotBeLoadedLeavesTheAgentWithoutOne) {
  std::vector<std::string> lines;
  setLogSinkForTesting([&](const std::string& line) { lines.push_back(line); });
  AppDelegate app;
  app.startUpdater();
  setLogSinkForTesting(nullptr);
  EXPECT_EQ(app.updater(), nullptr);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("cannot load the updater: ", 0), 0u) << lines[0];
  if (Bundle::main()) {
    EXPECT_NE(lines[0].find("Contents/Frameworks/libkavri_updater.so"), std::string::npos)
        << lines[0];
  }
  if (const char* why = getenv("KAVRI_EXPECT_LOAD_ERROR")) {
    EXPECT_NE(lines[0].find(why), std::string::npos) << lines[0];
  }
}

TEST(UpdaterLoadInBundle, AMissingModuleIsLoggedAndLeavesTheAgentWithoutAnUpdater) {
  if (Bundle::main()) GTEST_SKIP() << "already inside a bundle";
  setenv("KAVRI_EXPECT_LOAD_ERROR", "No such file or directory", 1);
  auto result = runInBundle("https://updates.example.com/appcast.xml", "",
                            "UpdaterLoad.AnUpdaterThatCannotBeLoaded*");
  unsetenv("KAVRI_EXPECT_LOAD_ERROR");
  EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("[  PASSED  ] 1 test"), std::string::npos) << result.out;
}

// The module in the agent's bundle was replaced by another version's (a
// package upgrade under a running agent): it is refused with one line
// before any of its code runs, and the agent runs on without an updater.
TEST(UpdaterLoadInBundle, AnUpdaterOfAnotherBuildIsRefusedBeforeAnyOfItRuns) {
  if (Bundle::main()) GTEST_SKIP() << "already inside a bundle";
  setenv("KAVRI_EXPECT_LOAD_ERROR", "libkavri_updater.so is of another build (build id ", 1);
  auto result = runInBundle("https://updates.example.com/appcast.xml", "",
                            "UpdaterLoad.AnUpdaterThatCannotBeLoaded*",
                            {.updaterModule = KAVRI_OTHER_BUILD_UPDATER});
  unsetenv("KAVRI_EXPECT_LOAD_ERROR");
  EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("[  PASSED  ] 1 test"), std::string::npos) << result.out;
}

// The agent's own loader, in a bundle (below) that names no feed and holds a
// module: nothing of it is loaded, nor even looked at (a module of another
// build would be refused with a line of its own).
TEST(UpdaterLoad, ABundleWithoutAFeedLoadsNoUpdater) {
  if (!Bundle::main()) GTEST_SKIP() << "runs inside a bundle without a feed";
  const std::string module = Bundle::main()->path() + "/Contents/Frameworks/libkavri_updater.so";
  ASSERT_TRUE(std::filesystem::exists(module));
  std::vector<std::string> lines;
  setLogSinkForTesting([&](const std::string& line) { lines.push_back(line); });
  AppDelegate app;
  app.startUpdater();
  app.serverAskedForUpdateCheck();
  setLogSinkForTesting(nullptr);
  EXPECT_EQ(lines, (std::vector<std::string>{kNoFeed, kNoFeed}));
  EXPECT_EQ(testing::readFile("/proc/self/maps").find(module), std::string::npos);
}

TEST(UpdaterLoadInBundle, ABundleWithoutAFeedLoadsNoUpdater) {
  if (Bundle::main()) GTEST_SKIP() << "already inside a bundle";
  auto result = runInBundle("", "", "UpdaterLoad.ABundleWithoutAFeed*",
                            {.noFeedKey = true, .updaterModule = KAVRI_OTHER_BUILD_UPDATER});
  EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("[  PASSED  ] 1 test"), std::string::npos) << result.out;
}

// Inside a bundle with the package's marker (below), which this process, as
// root, could replace: it is left to the package manager all the same.
TEST(UpdaterLoad, APackageManagedBundleLoadsNoUpdaterAndAnswersEachCheckWithOneLine) {
  const Bundle* bundle = Bundle::main();
  if (!bundle || !bundle->isPackageManaged()) GTEST_SKIP() << "runs inside a package's bundle";
  static bool loaded = false;
  std::vector<std::string> lines;
  setLogSinkForTesting([&](const std::string& line) { lines.push_back(line); });
  AppDelegate app([]() -> const UpdaterModule* {
    loaded = true;
    return nullptr;
  });
  app.startUpdater();
  app.serverAskedForUpdateCheck();
  setLogSinkForTesting(nullptr);
  EXPECT_FALSE(loaded);
  const std::string line = "updates come from the package manager, not checking for updates: " +
                           bundle->path() + " was installed by the package manager";
  EXPECT_EQ(lines, (std::vector<std::string>{line, line}));
}

TEST(UpdaterLoadInBundle, APackageManagedBundleIsLeftToThePackageManagerEvenByRoot) {
  if (Bundle::main()) GTEST_SKIP() << "already inside a bundle";
  auto result = runInBundle("https://updates.example.com/appcast.xml", "",
                            "UpdaterLoad.APackageManaged*", {.packageManaged = true, .updaterModule = ""});
  EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("[  PASSED  ] 1 test"), std::string::npos) << result.out;
  EXPECT_EQ(result.out.find("SKIPPED"), std::string::npos) << result.out;
}

}  // namespace
}  // namespace kavri
