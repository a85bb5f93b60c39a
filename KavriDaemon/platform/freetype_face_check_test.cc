#include "platform/freetype_face_check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
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
  std::vector<std::string> files;
  std::vector<FaceToCheck> faces;
  for (int i = 0; i < 100; ++i) {
    std::string path = dir.file("face-" + std::to_string(100 + i) + ".ttc");
    ASSERT_EQ(symlink(testing::kWenQuanYiZenHei, path.c_str()), 0) << path;
    files.push_back(path);
  }
  files.push_back(dir.file("inter.ttf"));
  ASSERT_EQ(symlink(testing::kInterVariable, files.back().c_str()), 0);
  files.push_back(dir.file("missing.ttf"));
  for (size_t i = 0; i < 100; ++i) faces.push_back({&files[i], static_cast<int>(i % 3), 0});
  faces.insert(faces.begin() + 1, {&files[0], 7, 0});  // no such face
  faces.push_back({&files[100], 2 << 16, 0});          // the second named instance
  faces.push_back({&files[101], 0, 0});

  FaceCheckCache parallel;
  parallel.refresh(faces);
  for (size_t i = 0; i < faces.size(); ++i) {
    FaceCheckCache single;
    single.refresh({faces[i]});
    const FaceCheck& expected = single.check(0);
    const FaceCheck& got = parallel.check(i);
    EXPECT_EQ(got.opened, expected.opened) << *faces[i].file << " " << faces[i].index;
    EXPECT_EQ(got.postscriptName, expected.postscriptName) << *faces[i].file;
  }
  EXPECT_TRUE(parallel.check(0).opened);
  EXPECT_FALSE(parallel.check(1).opened);
  EXPECT_TRUE(parallel.check(2).opened);
  EXPECT_EQ(parallel.check(101).postscriptName, "Inter-ExtraLight");
  EXPECT_FALSE(parallel.check(102).opened);
}

TEST(FaceCheckCacheTest, FileUnchangedSinceIndexingIsNotReopened) {
  testing::TempDir dir;
  std::string junk = dir.file("junk.ttf");
  testing::writeFile(junk, "no font at all");
  // Written before the (pretended) indexing: taken as fontconfig found it.
  FaceCheckCache cache;
  cache.refresh({{&junk, 0, INT64_MAX}});
  EXPECT_TRUE(cache.check(0).opened);
  // Indexed before it was written: FreeType is asked, and says no.
  FaceCheckCache fresh;
  fresh.refresh({{&junk, 0, 1}});
  EXPECT_FALSE(fresh.check(0).opened);
  // Gone is gone, whenever it was indexed.
  unlink(junk.c_str());
  EXPECT_FALSE(cache.check(0).opened);
}

TEST(FaceCheckCacheTest, UnchangedFilesKeepTheirChecksAcrossRefreshes) {
  testing::TempDir dir;
  std::string a = dir.file("a.ttf"), b = dir.file("b.ttf"), c = dir.file("c.ttf");
  ASSERT_TRUE(testing::copyFile(testing::kDejaVuSans, a));
  ASSERT_TRUE(testing::copyFile(testing::kDejaVuSans, c));
  FaceCheckCache cache;
  cache.refresh({{&a, 0, 0}, {&c, 0, 0}});
  EXPECT_TRUE(cache.check(0).opened);
  EXPECT_TRUE(cache.check(1).opened);
  // b joins in between, c is rewritten as junk: only c's verdict changes.
  ASSERT_TRUE(testing::copyFile(testing::kDejaVuSans, b));
  testing::writeFile(c, "junk");
  cache.refresh({{&a, 0, 0}, {&b, 0, 0}, {&c, 0, 0}});
  EXPECT_TRUE(cache.check(0).opened);
  EXPECT_TRUE(cache.check(1).opened);
  EXPECT_FALSE(cache.check(2).opened);
}

}  // namespace
}  // namespace kavri
