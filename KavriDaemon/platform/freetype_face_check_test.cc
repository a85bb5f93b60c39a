#include "platform/freetype_face_check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "font_fixtures/private_fonts.h"
#include "test_util.h"

namespace kavri {
namespace {

// Enough faces that the checks are spread over helper threads.
TEST(FaceCheckCacheTest, ParallelChecksAgreeWithSingleChecks) {
  testing::TempDir dir;
  std::vector<std::pair<std::string, int>> faces;
  for (int i = 0; i < 100; ++i) {
    std::string path = dir.file("face-" + std::to_string(i) + ".ttc");
    ASSERT_EQ(symlink(testing::kWenQuanYiZenHei, path.c_str()), 0) << path;
    faces.emplace_back(path, i % 3);  // the collection holds faces 0..2
  }
  faces.emplace_back(dir.file("face-0.ttc"), 7);  // no such face
  faces.emplace_back(dir.file("missing.ttf"), 0);
  std::string variable = dir.file("inter.ttf");
  ASSERT_EQ(symlink(testing::kInterVariable, variable.c_str()), 0);
  faces.emplace_back(variable, 2 << 16);  // the second named instance

  FaceCheckCache parallel;
  parallel.refresh(faces);
  for (const auto& [file, index] : faces) {
    FaceCheckCache single;
    const FaceCheck& expected = single.check(file, index);
    const FaceCheck& got = parallel.check(file, index);
    EXPECT_EQ(got.opened, expected.opened) << file << " " << index;
    EXPECT_EQ(got.postscriptName, expected.postscriptName) << file << " " << index;
  }
  EXPECT_TRUE(parallel.check(dir.file("face-5.ttc"), 2).opened);
  EXPECT_FALSE(parallel.check(dir.file("face-0.ttc"), 7).opened);
  EXPECT_FALSE(parallel.check(dir.file("missing.ttf"), 0).opened);
  EXPECT_EQ(parallel.check(variable, 2 << 16).postscriptName, "Inter-ExtraLight");
}

}  // namespace
}  // namespace kavri
