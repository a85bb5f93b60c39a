#include "updater/updater.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/bundle.h"
#include "platform/log.h"
#include "support/update_test_support.h"
#include "test_util.h"

namespace kavri {
namespace {

using namespace std::chrono_literals;
using testing::HttpResponse;
using testing::TestHttpServer;

const char kIdentifier[] = "com.kavri.test";
constexpr auto kWait = 30s;

// Records the updater's calls in order; installs at once when asked to.
class RecordingDelegate : public UpdaterDelegate {
 public:
  bool installNow = true;

  void updaterDidFindValidUpdate(const UpdateItem& item) override { add("found " + item.fileURL); }
  void updaterWillInstallUpdate(const UpdateItem& item) override { add("install " + item.fileURL); }
  void updaterWillRelaunchApplication() override { add("relaunch"); }
  void updaterWillInstallUpdateOnQuit(const UpdateItem&, std::function<void()> now) override {
    add("offered");
    if (installNow) now();
  }
  void updaterDidAbortWithError(const std::string& description) override {
    add("error " + description);
  }

  void add(const std::string& event) {
    {
      std::lock_guard lock(mutex_);
      events_.push_back(event);
    }
    changed_.notify_all();
  }

  // Waits until an event starting with either prefix has been recorded.
  bool waitForEither(const std::string& a, const std::string& b) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] {
      for (const std::string& e : events_)
        if (e.rfind(a, 0) == 0 || e.rfind(b, 0) == 0) return true;
      return false;
    });
  }

  // Waits until `count` events starting with `prefix` have been recorded.
  bool waitFor(const std::string& prefix, int count = 1) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] {
      int seen = 0;
      for (const std::string& e : events_) seen += e.rfind(prefix, 0) == 0;
      return seen >= count;
    });
  }

  void clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
  }

  std::vector<std::string> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
};

// A running bundle at version 1 in its own directory, and a feed server
// offering a signed archive of version 2.
class UpdaterTest : public ::testing::Test {
 protected:
  UpdaterTest() : server_([this](const std::string& path) { return serve(path); }) {
    key_ = testing::makeSigningKey(keys_.path());
    testing::makeBundle(running(), kIdentifier, "1", key_.publicKeyBase64);
    setRelease("2", kIdentifier, "2");
  }

  std::string apps() const { return apps_.path(); }
  std::string running() const { return apps_.file("KavriDaemon.app"); }
  std::string feedURL() const { return server_.url("/appcast.xml"); }
  std::string archiveURL() const { return server_.url("/update.tar.gz"); }

  // Builds the archive the feed offers: a bundle with `bundleVersion`,
  // offered as `feedVersion`, signed by the bundle's key.
  void setRelease(const std::string& feedVersion, const std::string& identifier,
                  const std::string& bundleVersion) {
    testing::TempDir build;
    testing::makeBundle(build.file("KavriDaemon.app"), identifier, bundleVersion, key_.publicKeyBase64);
    auto tar = testing::run({"/usr/bin/tar", "-C", build.path(), "-czf", build.file("a.tar.gz"),
                             "KavriDaemon.app"});
    ASSERT_EQ(tar.exitStatus, 0) << tar.err;
    setArchive(feedVersion, testing::readFile(build.file("a.tar.gz")));
  }

  void setArchive(const std::string& feedVersion, const std::string& bytes,
                  std::optional<std::string> signature = std::nullopt) {
    std::string file = keys_.file("archive");
    testing::writeFile(file, bytes);
    std::lock_guard lock(mutex_);
    archive_ = bytes;
    feed_ = feedFor(feedVersion, archive_.size(), signature ? *signature : testing::signFile(key_, file));
  }

  std::string feedFor(const std::string& version, size_t length, const std::string& signature) {
    return "<?xml version=\"1.0\"?><rss version=\"2.0\" "
           "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel>"
           "<item><enclosure url=\"" + archiveURL() + "\" length=\"" + std::to_string(length) +
           "\" sparkle:version=\"" + version + "\"" +
           (signature.empty() ? "" : " sparkle:edSignature=\"" + signature + "\"") +
           "/></item></channel></rss>";
  }

  void setFeed(const std::string& feed) {
    std::lock_guard lock(mutex_);
    feed_ = feed;
  }

  HttpResponse serve(const std::string& path) {
    HttpResponse r;
    std::unique_lock lock(mutex_);
    if (path == "/appcast.xml") {
      ++feedRequests_;
      gateOpened_.notify_all();
      gateOpened_.wait(lock, [this] { return gateOpen_; });
      r.body = feed_;
    } else if (path == "/update.tar.gz") {
      r.body = archive_;
    } else {
      r.status = 404;
    }
    return r;
  }

  void closeGate() {
    std::lock_guard lock(mutex_);
    gateOpen_ = false;
  }
  void openGate() {
    {
      std::lock_guard lock(mutex_);
      gateOpen_ = true;
    }
    gateOpened_.notify_all();
  }

  bool waitForFeedRequests(int count) {
    std::unique_lock lock(mutex_);
    return gateOpened_.wait_for(lock, kWait, [&] { return feedRequests_ >= count; });
  }

  std::unique_ptr<Updater> makeUpdater(bool relaunchSucceeds = true) {
    UpdaterOptions options;
    options.bundlePath = running();
    options.stallTimeout = 5s;
    options.relaunch = [this, relaunchSucceeds](const std::string& executable, std::string* err) {
      delegate_.add("exec " + executable + " " + testing::readFile(executable) + " beside " +
                    runningVersion());
      if (!relaunchSucceeds) *err = "refused by the test";
      return relaunchSucceeds;
    };
    options.afterFailedRelaunch = [this] { delegate_.add("recovered"); };
    auto updater = Updater::create(std::move(options));
    updater->setDelegate(&delegate_);
    updater->setAutomaticallyDownloadsUpdates(true);
    updater->setFeedURL(feedURL());
    return updater;
  }

  // Runs one check and returns once it has ended with an error or an exec.
  std::vector<std::string> check(bool relaunchSucceeds = true) {
    delegate_.clear();
    auto updater = makeUpdater(relaunchSucceeds);
    updater->checkForUpdatesInBackground();
    EXPECT_TRUE(relaunchSucceeds ? delegate_.waitForEither("exec", "error")
                                 : delegate_.waitFor("recovered"));
    updater.reset();
    return delegate_.events();
  }

  // The delayed start's check, then either the end of that check or one
  // more the server asks for: the log lines and the first word of each of
  // the delegate's events.
  std::string checkAsThisUser(bool waitForTheCheck) {
    std::vector<std::string> log;
    std::mutex logMutex;
    setLogSinkForTesting([&](const std::string& line) {
      std::lock_guard lock(logMutex);
      log.push_back(line);
    });
    auto updater = makeUpdater();
    updater->setAutomaticallyChecksForUpdates(true);
    updater->checkForUpdatesInBackground();
    if (waitForTheCheck)
      delegate_.waitForEither("exec", "error");
    else
      updater->checkForUpdatesInBackground();
    updater.reset();
    setLogSinkForTesting(nullptr);
    std::string result;
    for (const std::string& line : log) result += "log " + line + "\n";
    for (const std::string& event : delegate_.events())
      result += event.substr(0, event.find(' ')) + "\n";
    return result;
  }

  std::string runningVersion() const {
    return Bundle(running()).infoString("CFBundleVersion").value_or("none");
  }

  // Only the running bundle lies beside it: no staging, no archive.
  void expectNoLeftovers() {
    std::vector<std::string> names;
    for (auto& e : std::filesystem::directory_iterator(apps())) names.push_back(e.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"KavriDaemon.app"});
  }

  testing::TempDir keys_;
  testing::TempDir apps_;
  testing::SigningKey key_;
  RecordingDelegate delegate_;
  std::mutex mutex_;
  std::condition_variable gateOpened_;
  bool gateOpen_ = true;  // guarded by mutex_
  int feedRequests_ = 0;  // guarded by mutex_
  std::string feed_;      // guarded by mutex_
  std::string archive_;   // guarded by mutex_
  TestHttpServer server_;  // last: stops before the rest goes
};

// The new version starts on trial beside the installed one, which it
// replaces once it has come up (update_trial_test.cc).
TEST_F(UpdaterTest, InstallsASignedNewerVersionAndRelaunchesIntoIt) {
  auto events = check();
  std::string exe =
      apps_.file(".KavriDaemon.app.update/KavriDaemon.app/Contents/MacOS/KavriDaemon");
  std::vector<std::string> expected = {"found " + archiveURL(), "offered",
                                       "install " + archiveURL(), "relaunch",
                                       "exec " + exe + " #!/bin/sh\necho 2\n beside 1"};
  EXPECT_EQ(events, expected);
}

TEST_F(UpdaterTest, AVersionThatDidNotComeUpIsNotFetchedAgain) {
  testing::writeFile(apps_.file(".KavriDaemon.app.update-failed"), "2.0\n");
  auto events = check();
  EXPECT_EQ(events.back(), "error update not installed: version 2.0 did not come up here before");
  EXPECT_EQ(server_.requests("/update.tar.gz"), 0);

  setRelease("3", kIdentifier, "3");
  events = check();
  EXPECT_EQ(events.back().rfind("exec ", 0), 0u) << events.back();
}

TEST_F(UpdaterTest, AWrongOrMissingSignatureChangesNothing) {
  std::string bytes;
  {
    std::lock_guard lock(mutex_);
    bytes = archive_;
  }
  testing::writeFile(keys_.file("other"), "something else");
  setArchive("2", bytes, testing::signFile(key_, keys_.file("other")));
  auto events = check();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), "error signature wrong: signature does not match the archive");
  EXPECT_EQ(runningVersion(), "1");
  expectNoLeftovers();

  setArchive("2", bytes, "");
  events = check();
  EXPECT_EQ(events.back(), "error signature missing from the feed");
  EXPECT_EQ(server_.requests("/update.tar.gz"), 1);  // not even downloaded
  EXPECT_EQ(runningVersion(), "1");
}

TEST_F(UpdaterTest, EveryFailureEndsTheCheckWithAReason) {
  struct Case {
    std::function<void()> arrange;
    std::string error;
  };
  const Case cases[] = {
      {[&] { setFeed(feedFor("1", 10, testing::base64(std::string(64, 'x')))); },
       "error no update available: version 1 is the newest"},
      {[&] { setFeed(feedFor("1.0.0", 10, "")); }, "error no update available"},
      {[&] { setFeed("<rss><channel><item><enclosure/></item></channel></rss>"); },
       "error feed malformed: item with a missing"},
      {[&] { setFeed("<!DOCTYPE rss [<!ENTITY x \"y\">]><rss/>"); }, "error feed malformed: DOCTYPE"},
      {[&] { setRelease("2", "com.example.other", "2"); }, "error update rejected: the update's CFBundleIdentifier"},
      {[&] { setRelease("2", kIdentifier, "1"); }, "error update rejected: the update's CFBundleVersion (1)"},
      {[&] {
         std::string file = keys_.file("evil.tar.gz");
         testing::writeArchive(file, "tar", "gzip", {testing::fileMember("../escaped", "x")});
         setArchive("2", testing::readFile(file));
       },
       "error archive unsafe: member name '../escaped'"},
      {[&] {
         std::string file = keys_.file("evil.tar.gz");
         testing::writeArchive(file, "tar", "gzip", {testing::fileMember("KavriDaemon.app/s", "x", 04755)});
         setArchive("2", testing::readFile(file));
       },
       "error archive unsafe: set-id bit"},
      {[&] {
         std::string file = keys_.file("evil.tar.gz");
         testing::writeArchive(file, "tar", "gzip",
                               {testing::symlinkMember("KavriDaemon.app/Contents/Resources/daemon.js",
                                                       "../../../escaped")});
         setArchive("2", testing::readFile(file));
       },
       "error archive unsafe: link KavriDaemon.app/Contents/Resources/daemon.js -> ../../../escaped"},
      {[&] { setArchive("2", "not an archive"); }, "error archive unreadable"},
      {[&] {
         setRelease("2", kIdentifier, "2");
         std::lock_guard lock(mutex_);
         archive_ += std::string(1000, 'x');  // more than the feed declares
       },
       "error download failed: response larger than"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    RecordingDelegate fresh;
    c.arrange();
    auto updater = makeUpdater();
    updater->setDelegate(&fresh);
    updater->checkForUpdatesInBackground();
    ASSERT_TRUE(fresh.waitFor("error"));
    updater.reset();
    auto events = fresh.events();
    EXPECT_EQ(events.back().rfind(c.error, 0), 0u) << events.back();
    EXPECT_EQ(runningVersion(), "1");
    expectNoLeftovers();
    EXPECT_FALSE(std::filesystem::exists(apps_.file("escaped")));
  }
}

TEST_F(UpdaterTest, AFailedRelaunchLeavesTheInstalledBundleAsItWas) {
  auto events = check(false);
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events[events.size() - 2], "error install failed: cannot start the new version: refused by the test");
  EXPECT_EQ(events.back(), "recovered");
  EXPECT_EQ(runningVersion(), "1");
  expectNoLeftovers();
}

TEST_F(UpdaterTest, WithoutAutomaticDownloadsOnlyReportsTheUpdate) {
  auto updater = makeUpdater();
  updater->setAutomaticallyDownloadsUpdates(false);
  updater->checkForUpdatesInBackground();
  ASSERT_TRUE(delegate_.waitFor("found"));
  updater.reset();
  EXPECT_EQ(delegate_.events(), std::vector<std::string>{"found " + archiveURL()});
  EXPECT_EQ(server_.requests("/update.tar.gz"), 0);
}

TEST_F(UpdaterTest, AnUpdateNotInstalledAtOnceIsDropped) {
  delegate_.installNow = false;
  auto events = check();
  EXPECT_EQ(events.back(), "error update not installed: installing at quit is not supported");
  EXPECT_EQ(runningVersion(), "1");
  expectNoLeftovers();
}

TEST_F(UpdaterTest, ChecksAskedFromEightThreadsRunOneAtATime) {
  std::vector<std::string> log;
  std::mutex logMutex;
  setLogSinkForTesting([&](const std::string& line) {
    std::lock_guard lock(logMutex);
    log.push_back(line);
  });
  setFeed(feedFor("1", 10, ""));
  closeGate();
  auto updater = makeUpdater();
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([&] { updater->checkForUpdatesInBackground(); });
  for (std::thread& t : threads) t.join();
  openGate();
  ASSERT_TRUE(delegate_.waitFor("error no update available"));
  updater->checkForUpdatesInBackground();  // the first check has ended: a new one runs
  ASSERT_TRUE(delegate_.waitFor("error no update available", 2));
  updater.reset();
  setLogSinkForTesting(nullptr);
  EXPECT_EQ(server_.requests("/appcast.xml"), 2);
  EXPECT_EQ(server_.maxConcurrent("/appcast.xml"), 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), "update check already in progress, request dropped"), 7);
}

TEST_F(UpdaterTest, DestroyingTheUpdaterEndsACheckUnderWay) {
  closeGate();
  auto updater = makeUpdater();
  updater->checkForUpdatesInBackground();
  ASSERT_TRUE(waitForFeedRequests(1));
  updater.reset();  // returns without the feed ever answering
  openGate();
  EXPECT_TRUE(delegate_.waitFor("error feed unreachable: cancelled"));
}

TEST_F(UpdaterTest, AutomaticChecksRepeatOnTheirIntervalOneAtATime) {
  setFeed(feedFor("1", 10, ""));
  UpdaterOptions options;
  options.bundlePath = running();
  options.checkInterval = 100ms;
  auto updater = Updater::create(std::move(options));
  updater->setDelegate(&delegate_);
  updater->setFeedURL(feedURL());
  updater->setAutomaticallyChecksForUpdates(true);
  // Each ends, then the next follows an interval later, unasked.
  ASSERT_TRUE(delegate_.waitFor("error no update available", 3)) << ::testing::PrintToString(delegate_.events());
  updater->setAutomaticallyChecksForUpdates(false);
  updater.reset();
  EXPECT_GE(server_.requests("/appcast.xml"), 3);
  EXPECT_EQ(server_.maxConcurrent("/appcast.xml"), 1);
}

// The agent destroys the updater, and unloads its module, once told that a
// check has ended: only after its end was reported, once per check. A host
// name is resolved by the check itself, with no thread of curl's left
// behind to run after the module is gone.
TEST_F(UpdaterTest, EachCheckEndsOnceAfterItsEndIsReported) {
  setFeed(feedFor("1", 10, ""));
  UpdaterOptions options;
  options.bundlePath = running();
  options.checkEnded = [this] { delegate_.add("ended"); };
  auto updater = Updater::create(std::move(options));
  updater->setDelegate(&delegate_);
  updater->setFeedURL("http://localhost:" + std::to_string(server_.port()) + "/appcast.xml");
  for (int check = 1; check <= 2; ++check) {
    updater->checkForUpdatesInBackground();
    ASSERT_TRUE(delegate_.waitFor("ended", check));
  }
  updater.reset();
  EXPECT_EQ(delegate_.events(),
            (std::vector<std::string>{"error no update available: version 1 is the newest", "ended",
                                      "error no update available: version 1 is the newest", "ended"}));
}

TEST_F(UpdaterTest, WithoutAFeedNothingIsChecked) {
  std::vector<std::string> log;
  std::mutex logMutex;
  setLogSinkForTesting([&](const std::string& line) {
    std::lock_guard lock(logMutex);
    log.push_back(line);
  });
  UpdaterOptions options;
  options.bundlePath = running();
  auto updater = Updater::create(std::move(options));
  updater->setDelegate(&delegate_);
  updater->setAutomaticallyChecksForUpdates(true);
  updater->checkForUpdatesInBackground();
  updater.reset();
  setLogSinkForTesting(nullptr);
  EXPECT_EQ(log, std::vector<std::string>{"no update feed set, update check request dropped"});
  EXPECT_TRUE(delegate_.events().empty());
  EXPECT_EQ(server_.requests("/appcast.xml"), 0);
}

TEST_F(UpdaterTest, APackageManagedBundleIsLeftToThePackageManager) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to nobody";
#ifdef __SANITIZE_THREAD__
  // The child forked from this threaded test starts the updater's thread,
  // which ThreadSanitizer cannot follow; the other builds run it.
  GTEST_SKIP() << "threads after a fork are beyond ThreadSanitizer";
#endif
  // Installed by root in root's directory, as a package is: others may read
  // and run it, not replace it.
  ASSERT_EQ(chmod(apps().c_str(), 0755), 0);
  std::string result = testing::inChildAs(testing::kNobody, [&] { return checkAsThisUser(false); });
  std::string line =
      "log updates come from the package manager, not checking for updates: " + apps() +
      " is not writable by this user: Permission denied\n";
  EXPECT_EQ(result, line + line);
  EXPECT_EQ(server_.requests("/appcast.xml"), 0);
  EXPECT_EQ(server_.requests("/update.tar.gz"), 0);

  // The same bundle installed by the user in their own directory updates.
  for (auto& entry : std::filesystem::recursive_directory_iterator(apps()))
    ASSERT_EQ(lchown(entry.path().c_str(), 65534, 65534), 0);
  ASSERT_EQ(chown(apps().c_str(), 65534, 65534), 0);
  result = testing::inChildAs(testing::kNobody, [&] { return checkAsThisUser(true); });
  EXPECT_EQ(result, "found\noffered\ninstall\nrelaunch\nexec\n");
  EXPECT_EQ(server_.requests("/appcast.xml"), 1);
  EXPECT_EQ(server_.requests("/update.tar.gz"), 1);
}

TEST(UpdaterSchedule, IntervalComesFromInfoPlistWithinBounds) {
  EXPECT_EQ(scheduledCheckInterval(std::nullopt), 86400s);
  EXPECT_EQ(scheduledCheckInterval(60), 3600s);
  EXPECT_EQ(scheduledCheckInterval(-5), 3600s);
  EXPECT_EQ(scheduledCheckInterval(7200), 7200s);
}

}  // namespace
}  // namespace kavri
