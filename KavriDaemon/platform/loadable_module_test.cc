#include "platform/loadable_module.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "platform/log.h"
#include "test_util.h"

namespace kavri {
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
  std::unique_ptr<LoadableModule> module = LoadableModule::load(bundle, "answer", &err);
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
  EXPECT_EQ(LoadableModule::load(bundle, "unfit", &err), nullptr);
  EXPECT_NE(err.find("kavriTestFunctionNoProgramHas"), std::string::npos) << err;
}

TEST(LoadableModuleTest, AMissingModuleOrAPathForANameFails) {
  testing::TempDir dir;
  Bundle bundle(bundleWith(dir, KAVRI_TEST_MODULE, "answer"));
  std::string err;
  EXPECT_EQ(LoadableModule::load(bundle, "other", &err), nullptr);
  EXPECT_NE(err.find("Contents/Frameworks/libother.so"), std::string::npos) << err;
  err.clear();
  EXPECT_EQ(LoadableModule::load(bundle, "../Frameworks/answer", &err), nullptr);
  EXPECT_FALSE(err.empty());
  EXPECT_EQ(LoadableModule::load(bundle, "", &err), nullptr);
}

}  // namespace
}  // namespace kavri
