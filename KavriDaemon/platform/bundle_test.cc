#include "platform/bundle.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "test_util.h"

namespace kavri {
namespace {

using testing::TempDir;
using testing::writeFile;

std::string makeBundle(const TempDir& dir, const std::string& plist) {
  std::string app = dir.file("Some.app");
  mkdir(app.c_str(), 0755);
  mkdir((app + "/Contents").c_str(), 0755);
  mkdir((app + "/Contents/MacOS").c_str(), 0755);
  mkdir((app + "/Contents/Resources").c_str(), 0755);
  writeFile(app + "/Contents/Info.plist", plist);
  return app;
}

const char* kPlist = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
  <key>CFBundleIdentifier</key><string>com.example.agent</string>
  <key>SUFeedURL</key><string>https://example.com/feed.xml</string>
  <key>SUScheduledCheckInterval</key><integer>7200</integer>
  <key>Nested</key><dict><key>x</key><string>y</string></dict>
</dict></plist>)";

TEST(BundleTest, ReadsStringAndIntegerKeys) {
  TempDir dir;
  Bundle bundle(makeBundle(dir, kPlist));
  EXPECT_EQ(bundle.identifier(), "com.example.agent");
  EXPECT_EQ(bundle.infoString("SUFeedURL"), "https://example.com/feed.xml");
  EXPECT_EQ(bundle.infoInteger("SUScheduledCheckInterval"), 7200);
  EXPECT_EQ(bundle.infoString("Nested"), std::nullopt);
  EXPECT_EQ(bundle.infoString("Missing"), std::nullopt);
  EXPECT_EQ(bundle.infoInteger("SUFeedURL"), std::nullopt);
}

TEST(BundleTest, MalformedOrMissingPlistGivesEmptyDictionary) {
  TempDir dir;
  Bundle truncated(makeBundle(dir, std::string(kPlist).substr(0, 200)));
  EXPECT_EQ(truncated.identifier(), std::nullopt);
  Bundle missing(dir.file("Nowhere.app"));
  EXPECT_EQ(missing.identifier(), std::nullopt);
}

TEST(BundleTest, OnlyARegularInfoPlistWithinTheSizeCapIsRead) {
  TempDir dir;
  std::string app = makeBundle(dir, kPlist);
  std::string plist = app + "/Contents/Info.plist";
  std::string elsewhere = dir.file("elsewhere.plist");
  ASSERT_EQ(rename(plist.c_str(), elsewhere.c_str()), 0);

  // A link, even to a good dictionary, is not followed.
  ASSERT_EQ(symlink(elsewhere.c_str(), plist.c_str()), 0);
  EXPECT_EQ(Bundle(app).identifier(), std::nullopt);

  // A FIFO with no writer would block a plain open for good; the alarm
  // turns such a hang into a failure.
  ASSERT_EQ(unlink(plist.c_str()), 0);
  ASSERT_EQ(mkfifo(plist.c_str(), 0644), 0);
  alarm(60);
  EXPECT_EQ(Bundle(app).identifier(), std::nullopt);
  alarm(0);

  ASSERT_EQ(unlink(plist.c_str()), 0);
  ASSERT_EQ(mkdir(plist.c_str(), 0755), 0);
  EXPECT_EQ(Bundle(app).identifier(), std::nullopt);

  // Past 1 MiB it is not an information dictionary, whatever it holds.
  ASSERT_EQ(rmdir(plist.c_str()), 0);
  std::string padded = kPlist;
  writeFile(plist, padded + std::string((1 << 20) - padded.size(), '\n'));
  EXPECT_EQ(Bundle(app).identifier(), "com.example.agent");
  writeFile(plist, padded + std::string((1 << 20) - padded.size() + 1, '\n'));
  EXPECT_EQ(Bundle(app).identifier(), std::nullopt);
}

// The parser keeps NUL bytes inside a string and its plain accessor aborts
// the process on them; such a value is left out, the rest still read.
TEST(BundleTest, AStringHoldingANulByteIsLeftOut) {
  TempDir dir;
  std::string plist = kPlist;
  std::string feed = "https://example.com/feed.xml";
  plist.replace(plist.find(feed), feed.size(), std::string("https://example.com/\0feed.xml", 29));
  Bundle bundle(makeBundle(dir, plist));
  EXPECT_EQ(bundle.infoString("SUFeedURL"), std::nullopt);
  EXPECT_EQ(bundle.identifier(), "com.example.agent");
}

TEST(BundleTest, ResourcesAreFoundByWholeNameOnly) {
  TempDir dir;
  std::string app = makeBundle(dir, kPlist);
  writeFile(app + "/Contents/Resources/daemon.js", "x");
  Bundle bundle(app);
  EXPECT_EQ(bundle.pathForResource("daemon.js"), app + "/Contents/Resources/daemon.js");
  EXPECT_EQ(bundle.pathForResource("daemon"), std::nullopt);
  EXPECT_EQ(bundle.pathForResource("kavri-node"), std::nullopt);
  EXPECT_EQ(bundle.pathForResource("../Info.plist"), std::nullopt);
  EXPECT_EQ(bundle.pathForResource(""), std::nullopt);
}

TEST(BundleTest, ExecutableMustSitInContentsMacOS) {
  auto bundle = Bundle::forExecutable("/opt/x/Agent.app/Contents/MacOS/KavriDaemon");
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->path(), "/opt/x/Agent.app");
  EXPECT_FALSE(Bundle::forExecutable("/usr/bin/KavriDaemon"));
  EXPECT_FALSE(Bundle::forExecutable("/opt/x/Contents/bin/KavriDaemon"));
  EXPECT_FALSE(Bundle::forExecutable("KavriDaemon"));
}

TEST(BundleTest, TestBinaryRunsOutsideABundle) { EXPECT_EQ(Bundle::main(), nullptr); }

}  // namespace
}  // namespace kavri
