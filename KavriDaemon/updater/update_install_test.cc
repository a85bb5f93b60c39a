#include "updater/update_install.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/unique_fd.h"
#include "support/update_test_support.h"
#include "test_util.h"

namespace kavri {
namespace {

std::string openDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return "?";
  std::string list;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.' || atoi(entry->d_name) == dirfd(dir)) continue;
    list += std::string(entry->d_name) + " ";
  }
  closedir(dir);
  return list;
}

// The test binary re-executes itself as a probe: with KAVRI_FD_PROBE=exec it
// notes the descriptors it was started with, opens more the way the agent
// does and replaces itself through execInPlace; with =list the new image
// prints what it has and what it started with.
const bool kProbe = [] {
  const char* mode = getenv("KAVRI_FD_PROBE");
  if (!mode) return false;
  if (std::string(mode) == "exec") {
    setenv("KAVRI_FD_AT_START", openDescriptors().c_str(), 1);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) _exit(3);
    UniqueFd file(open("/proc/self/exe", O_RDONLY | O_CLOEXEC));
    setenv("KAVRI_FD_PROBE", "list", 1);
    std::string err;
    execInPlace("/proc/self/exe", ownArguments(), &err);
    _exit(4);
  }
  std::string report = openDescriptors() + "| " + getenv("KAVRI_FD_AT_START");
  (void)!write(1, report.data(), report.size());
  _exit(0);
}();

TEST(UpdateInstall, ExecKeepsNoDescriptorButTheStandardOnes) {
  setenv("KAVRI_FD_PROBE", "exec", 1);
  auto result = testing::run({"/proc/self/exe", "--gtest_filter=None"});
  unsetenv("KAVRI_FD_PROBE");
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  size_t bar = result.out.find("| ");
  ASSERT_NE(bar, std::string::npos) << result.out;
  EXPECT_EQ(result.out.substr(0, bar), result.out.substr(bar + 2));
  EXPECT_EQ(result.out.substr(0, 6), "0 1 2 ");
}

TEST(UpdateInstall, StagingLiesBesideTheBundleAndIsRemoved) {
  testing::TempDir dir;
  std::string app = dir.file("KavriDaemon.app");
  testing::makeBundle(app, "com.kavri.test", "1");
  std::string err;
  EXPECT_EQ(UpdateStaging::pathFor(app), dir.file(".KavriDaemon.app.update"));
  {
    auto staging = UpdateStaging::create(app, &err);
    ASSERT_TRUE(staging) << err;
    testing::writeFile(staging->file("leftover"), "x");
    // A second install replaces what the first left.
    auto again = UpdateStaging::create(app, &err);
    ASSERT_TRUE(again) << err;
    EXPECT_FALSE(std::filesystem::exists(again->file("leftover")));
    symlink(app.c_str(), again->file("link").c_str());
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file(".KavriDaemon.app.update")));
  EXPECT_TRUE(std::filesystem::exists(app + "/Contents/Info.plist"));  // links not followed
  EXPECT_FALSE(UpdateStaging::create("", &err));
}

TEST(UpdateInstall, SwapsBundlesBothWaysAndBack) {
  for (bool exchange : {true, false}) {
    SCOPED_TRACE(exchange ? "exchange" : "renames");
    testing::TempDir dir;
    std::string running = dir.file("KavriDaemon.app"), staged = dir.file("new.app");
    testing::makeBundle(running, "com.kavri.test", "1");
    testing::makeBundle(staged, "com.kavri.test", "2");
    std::string err;
    ASSERT_TRUE(swapBundles(staged, running, dir.file("aside"), &err, exchange)) << err;
    EXPECT_EQ(Bundle(running).infoString("CFBundleVersion"), "2");
    EXPECT_EQ(Bundle(staged).infoString("CFBundleVersion"), "1");
    ASSERT_TRUE(swapBundles(staged, running, dir.file("aside"), &err, exchange)) << err;
    EXPECT_EQ(Bundle(running).infoString("CFBundleVersion"), "1");
    EXPECT_FALSE(std::filesystem::exists(dir.file("aside")));

    // Nothing to swap in: the running bundle stays where it is.
    EXPECT_FALSE(swapBundles(dir.file("missing.app"), running, dir.file("aside"), &err, exchange));
    EXPECT_EQ(Bundle(running).infoString("CFBundleVersion"), "1");
  }
}

TEST(UpdateInstall, AcceptsOnlyTheSameIdentifierAtANewerVersionWithAProgram) {
  testing::TempDir dir;
  testing::makeBundle(dir.file("running.app"), "com.kavri.test", "1.0");
  Bundle running(dir.file("running.app"));
  std::string err;
  testing::makeBundle(dir.file("good.app"), "com.kavri.test", "1.0.1");
  EXPECT_TRUE(validateReplacement(Bundle(dir.file("good.app")), running, &err)) << err;
  testing::makeBundle(dir.file("same.app"), "com.kavri.test", "1.0.0");
  EXPECT_FALSE(validateReplacement(Bundle(dir.file("same.app")), running, &err));
  testing::makeBundle(dir.file("beta.app"), "com.kavri.test", "1.0b1");
  EXPECT_FALSE(validateReplacement(Bundle(dir.file("beta.app")), running, &err));
  testing::makeBundle(dir.file("other.app"), "com.kavri.other", "2");
  EXPECT_FALSE(validateReplacement(Bundle(dir.file("other.app")), running, &err));
  testing::makeBundle(dir.file("noexec.app"), "com.kavri.test", "2");
  chmod(dir.file("noexec.app/Contents/MacOS/KavriDaemon").c_str(), 0644);
  EXPECT_FALSE(validateReplacement(Bundle(dir.file("noexec.app")), running, &err));
  testing::makeBundle(dir.file("link.app"), "com.kavri.test", "2");
  std::string exe = dir.file("link.app/Contents/MacOS/KavriDaemon");
  unlink(exe.c_str());
  symlink("/bin/sh", exe.c_str());
  EXPECT_FALSE(validateReplacement(Bundle(dir.file("link.app")), running, &err));
  testing::makeBundle(dir.file("data.app"), "com.kavri.test", "2");
  testing::writeFile(dir.file("data.app/Contents/MacOS/KavriDaemon"), "just data");
  EXPECT_FALSE(validateReplacement(Bundle(dir.file("data.app")), running, &err));
}

TEST(UpdateInstall, FindsTheOneBundleOfAnArchive) {
  testing::TempDir dir;
  std::string err;
  EXPECT_FALSE(findUnpackedBundle(dir.path(), &err));
  testing::makeBundle(dir.file("A.app"), "x", "1");
  testing::writeFile(dir.file("README"), "x");
  symlink(dir.file("A.app").c_str(), dir.file("L.app").c_str());
  EXPECT_EQ(findUnpackedBundle(dir.path(), &err), dir.file("A.app"));
  testing::makeBundle(dir.file("B.app"), "x", "1");
  EXPECT_FALSE(findUnpackedBundle(dir.path(), &err));
}

}  // namespace
}  // namespace kavri
