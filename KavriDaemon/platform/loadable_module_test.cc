#include "platform/loadable_module.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <vector>

#include "platform/log.h"
#include "test_util.h"

namespace kavri {

// The build-ids of the two test modules, generated as they are linked.
extern const char kTestModuleBuildId[];
extern const char kUnfitTestModuleBuildId[];

namespace {

namespace fs = std::filesystem;

// A bundle whose Frameworks directory holds `module` as lib`name`.so.
std::string bundleWith(const testing::TempDir& dir, const std::string& module,
                       const std::string& name) {
  std::string frameworks = dir.file("Some.app/Contents/Frameworks");
  fs::create_directories(frameworks);
  fs::copy_file(module, frameworks + "/lib" + name + ".so");
  return dir.file("Some.app");
}

TEST(LoadableModuleTest, AModuleUsesTheLoadingProgramsOwnPlatformLayer) {
  testing::TempDir dir;
  Bundle bundle(bundleWith(dir, KAVRI_TEST_MODULE, "answer"));
  std::string err;
  std::unique_ptr<LoadableModule> module =
      LoadableModule::load(bundle, "answer", kTestModuleBuildId, &err);
  ASSERT_TRUE(module) << err;
  auto answer = reinterpret_cast<int (*)()>(module->symbol("kavriTestModuleAnswer", &err));
  ASSERT_TRUE(answer) << err;

  // The line reaches this program's log sink: the module holds no copy of
  // the platform layer, and so shares its state (the server's process, the
  // log) with the agent.
  std::vector<std::string> lines;
  setLogSinkForTesting([&](const std::string& line) { lines.push_back(line); });
  EXPECT_EQ(answer(), 42);
  setLogSinkForTesting(nullptr);
  EXPECT_EQ(lines, std::vector<std::string>{"answered from the module"});

  EXPECT_EQ(module->symbol("kavriTestNoSuchEntry", &err), nullptr);
  EXPECT_NE(err.find("kavriTestNoSuchEntry"), std::string::npos) << err;
}

TEST(LoadableModuleTest, AModuleThatNeedsWhatTheProgramLacksFailsToLoad) {
  testing::TempDir dir;
  Bundle bundle(bundleWith(dir, KAVRI_TEST_MODULE_UNFIT, "unfit"));
  std::string err;
  EXPECT_EQ(LoadableModule::load(bundle, "unfit", kUnfitTestModuleBuildId, &err), nullptr);
  EXPECT_NE(err.find("kavriTestFunctionNoProgramHas"), std::string::npos) << err;
}

TEST(LoadableModuleTest, AMissingModuleOrAPathForANameFails) {
  testing::TempDir dir;
  Bundle bundle(bundleWith(dir, KAVRI_TEST_MODULE, "answer"));
  std::string err;
  EXPECT_EQ(LoadableModule::load(bundle, "other", kTestModuleBuildId, &err), nullptr);
  EXPECT_NE(err.find("Contents/Frameworks/libother.so"), std::string::npos) << err;
  err.clear();
  EXPECT_EQ(LoadableModule::load(bundle, "../Frameworks/answer", kTestModuleBuildId, &err),
            nullptr);
  EXPECT_FALSE(err.empty());
  EXPECT_EQ(LoadableModule::load(bundle, "", kTestModuleBuildId, &err), nullptr);
}

// A module of another build, or a file that shows no build at all, is
// refused before any of its code has run.
TEST(LoadableModuleTest, AModuleOfAnotherBuildIsRefusedBeforeAnyOfItRuns) {
  testing::TempDir dir;
  Bundle bundle(bundleWith(dir, KAVRI_TEST_MODULE, "answer"));
  unsetenv("KAVRI_TEST_MODULE_RAN");
  std::string err;
  EXPECT_EQ(LoadableModule::load(bundle, "answer", kUnfitTestModuleBuildId, &err), nullptr);
  EXPECT_EQ(err, bundle.path() +
                     "/Contents/Frameworks/libanswer.so is of another build (build id " +
                     kTestModuleBuildId + ", expected " + kUnfitTestModuleBuildId + ")");
  EXPECT_EQ(getenv("KAVRI_TEST_MODULE_RAN"), nullptr);

  testing::writeFile(bundle.path() + "/Contents/Frameworks/libtext.so", "#!/bin/sh\n");
  EXPECT_EQ(LoadableModule::load(bundle, "text", kTestModuleBuildId, &err), nullptr);
  EXPECT_NE(err.find("libtext.so: not an ELF file"), std::string::npos) << err;

  // Its own build loads, and only then does its code run.
  ASSERT_TRUE(LoadableModule::load(bundle, "answer", kTestModuleBuildId, &err)) << err;
  EXPECT_NE(getenv("KAVRI_TEST_MODULE_RAN"), nullptr);
}

}  // namespace
}  // namespace kavri
