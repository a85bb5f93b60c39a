#include "platform/bundle.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

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
