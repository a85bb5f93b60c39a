#include "updater/update_trial.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/bundle.h"
#include "support/update_test_support.h"
#include "test_util.h"
#include "updater/update_install.h"

namespace kavri {
namespace {

namespace fs = std::filesystem;

// Version 1 installed, version 2 unpacked in its staging directory and
// prepared for a trial, as the updater leaves them just before the exec.
class UpdateTrialTest : public ::testing::Test {
 protected:
  UpdateTrialTest() {
    testing::makeBundle(installed(), "com.kavri.test", "1");
    fs::create_directories(UpdateStaging::pathFor(installed()) + "/unpacked");
    testing::makeBundle(unpacked(), "com.kavri.test", "2");
    std::string err;
    executable_ = UpdateTrial::prepare(unpacked(), installed(), "2", &err);
    EXPECT_TRUE(executable_) << err;
  }

  std::string installed() const { return apps_.file("KavriDaemon.app"); }
  std::string unpacked() const {
    return UpdateStaging::pathFor(installed()) + "/unpacked/Update.app";
  }
  std::string version(const std::string& bundle) const {
    return Bundle(bundle).infoString("CFBundleVersion").value_or("none");
  }
  std::vector<std::string> beside() const {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(apps_.path())) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  testing::TempDir apps_;
  std::optional<std::string> executable_;
};

TEST_F(UpdateTrialTest, TheNewVersionStartsBesideThePreviousAndReplacesItOnceUp) {
  std::string trialBundle = apps_.file(".KavriDaemon.app.update/KavriDaemon.app");
  EXPECT_EQ(executable_, trialBundle + "/Contents/MacOS/KavriDaemon");
  EXPECT_EQ(version(installed()), "1");

  UpdateTrial previous(installed());
  EXPECT_FALSE(previous.onTrial());
  UpdateTrial trial(trialBundle);
  ASSERT_TRUE(trial.onTrial());
  EXPECT_EQ(trial.installedBundle(), installed());

  std::string err;
  ASSERT_TRUE(trial.commit(&err)) << err;
  EXPECT_FALSE(trial.onTrial());
  EXPECT_EQ(version(installed()), "2");
  EXPECT_EQ(beside(), std::vector<std::string>{"KavriDaemon.app"});
  EXPECT_EQ(UpdateTrial(installed()).takeFailure(), std::nullopt);
}

TEST_F(UpdateTrialTest, AVersionThatEndsBeforeComingUpIsReportedOnceAndRemembered) {
  UpdateTrial trial(UpdateStaging::trialBundlePathFor(installed()));
  ASSERT_TRUE(trial.onTrial());
  EXPECT_EQ(trial.abandon("it exited before sending its first catalogue"),
            installed() + "/Contents/MacOS/KavriDaemon");

  UpdateTrial previous(installed());
  EXPECT_EQ(previous.takeFailure(),
            "version 2 did not come up and was rolled back: it exited before sending its first "
            "catalogue");
  EXPECT_EQ(previous.takeFailure(), std::nullopt);
  EXPECT_EQ(version(installed()), "1");
  EXPECT_EQ(failedUpdateVersion(installed()), "2");
  EXPECT_EQ(beside(),
            (std::vector<std::string>{".KavriDaemon.app.update-failed", "KavriDaemon.app"}));

  // A later version that comes up clears the memory of the failed one.
  fs::create_directories(UpdateStaging::pathFor(installed()) + "/unpacked");
  testing::makeBundle(unpacked(), "com.kavri.test", "3");
  std::string err;
  ASSERT_TRUE(UpdateTrial::prepare(unpacked(), installed(), "3", &err)) << err;
  ASSERT_TRUE(UpdateTrial(UpdateStaging::trialBundlePathFor(installed())).commit(&err)) << err;
  EXPECT_EQ(failedUpdateVersion(installed()), std::nullopt);
  EXPECT_EQ(beside(), std::vector<std::string>{"KavriDaemon.app"});
}

TEST_F(UpdateTrialTest, ACrashLeavesNoReasonButIsReportedAllTheSame) {
  EXPECT_EQ(UpdateTrial(installed()).takeFailure(),
            "version 2 did not come up and was rolled back: it crashed or was stopped before "
            "sending its first catalogue");
  EXPECT_EQ(version(installed()), "1");
}

TEST_F(UpdateTrialTest, ACommitCutShortIsFinishedAtTheNextStart) {
  // The exchange happened, then the process ended before clearing up.
  std::string trialBundle = UpdateStaging::trialBundlePathFor(installed());
  std::string err;
  ASSERT_TRUE(swapBundles(trialBundle, installed(), apps_.file("aside"), &err)) << err;
  EXPECT_EQ(UpdateTrial(installed()).takeFailure(), std::nullopt);
  EXPECT_EQ(version(installed()), "2");
  EXPECT_EQ(beside(), std::vector<std::string>{"KavriDaemon.app"});
}

TEST(UpdateTrialPaths, OnlyTheTrialPlaceCountsAsATrial) {
  EXPECT_EQ(UpdateStaging::installedPathForTrial("/a/.K.app.update/K.app"), "/a/K.app");
  EXPECT_EQ(UpdateStaging::installedPathForTrial("/a/.K.app.update/L.app"), std::nullopt);
  EXPECT_EQ(UpdateStaging::installedPathForTrial("/a/K.app"), std::nullopt);
  EXPECT_EQ(UpdateStaging::installedPathForTrial("K.app"), std::nullopt);
  EXPECT_EQ(UpdateStaging::installedPathForTrial(""), std::nullopt);
  // The right place without a record is not a trial either.
  testing::TempDir dir;
  testing::makeBundle(dir.file(".K.app.update/K.app"), "com.kavri.test", "2");
  EXPECT_FALSE(UpdateTrial(dir.file(".K.app.update/K.app")).onTrial());
}

}  // namespace
}  // namespace kavri
