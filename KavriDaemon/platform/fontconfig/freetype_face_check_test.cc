#include "platform/fontconfig/freetype_face_check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "font_fixtures/private_fonts.h"
#include "platform/fontconfig/font_file_stream.h"
#include "test_util.h"

namespace kavri {
namespace {

FaceCheckJob job(const std::string* file, int index, int64_t readAtNs = 0) {
  return FaceCheckJob{file->c_str(), index, readAtNs, fileVersion(*file), {}};
}

// Enough faces that the checks are spread over helper threads.
TEST(FaceCheckTest, ParallelChecksAgreeWithSingleChecks) {
  testing::TempDir dir;
  std::vector<std::string> files;
  for (int i = 0; i < 100; ++i) {
    std::string path = dir.file("face-" + std::to_string(100 + i) + ".ttc");
    ASSERT_EQ(symlink(testing::kWenQuanYiZenHei, path.c_str()), 0) << path;
    files.push_back(path);
  }
  files.push_back(dir.file("inter.ttf"));
  ASSERT_EQ(symlink(testing::kInterVariable, files.back().c_str()), 0);
  files.push_back(dir.file("missing.ttf"));
  std::vector<FaceCheckJob> jobs;
  for (size_t i = 0; i < 100; ++i) jobs.push_back(job(&files[i], static_cast<int>(i % 3)));
  jobs.insert(jobs.begin() + 1, job(&files[0], 7));  // no such face
  jobs.push_back(job(&files[100], 2 << 16));         // the second named instance
  jobs.push_back(job(&files[101], 0));

  std::vector<FaceCheckJob> parallel = jobs;
  checkFaces(&parallel);
  for (size_t i = 0; i < jobs.size(); ++i) {
    FaceCheckJob single = jobs[i];
    checkFace(&single);
    EXPECT_EQ(parallel[i].result.opened, single.result.opened)
        << jobs[i].file << " " << jobs[i].index;
    EXPECT_EQ(parallel[i].result.postscriptName, single.result.postscriptName) << jobs[i].file;
  }
  EXPECT_TRUE(parallel[0].result.opened);
  EXPECT_FALSE(parallel[1].result.opened);
  EXPECT_TRUE(parallel[2].result.opened);
  EXPECT_EQ(parallel[101].result.postscriptName, "Inter-ExtraLight");
  EXPECT_FALSE(parallel[102].result.opened);
}

TEST(FaceCheckTest, FileUnchangedSinceFontconfigReadItIsNotReopened) {
  testing::TempDir dir;
  std::string junk = dir.file("junk.ttf");
  testing::writeFile(junk, "no font at all");
  // Written before the (pretended) read: taken as fontconfig found it.
  FaceCheckJob trusted = job(&junk, 0, INT64_MAX);
  checkFace(&trusted);
  EXPECT_TRUE(trusted.result.opened);
  // Read before it was written: FreeType is asked, and says no.
  FaceCheckJob asked = job(&junk, 0, 1);
  checkFace(&asked);
  EXPECT_FALSE(asked.result.opened);
  // Gone is gone, whenever it was read.
  unlink(junk.c_str());
  FaceCheckJob gone = job(&junk, 0, INT64_MAX);
  checkFace(&gone);
  EXPECT_FALSE(gone.result.opened);
}

// A font cut short while FreeType reads it (rewritten in place, its drive
// gone) fails to load or open, where a mapping of it would end the process
// with SIGBUS.
TEST(FaceCheckTest, FileCutShortWhileReadFailsToOpen) {
  testing::TempDir dir;
  const std::string path = dir.file("cut.ttc");
  ASSERT_TRUE(testing::copyFile(testing::kWenQuanYiZenHei, path));
  FontFile file(path.c_str());
  FontFace face;
  ASSERT_TRUE(file.open(mainThreadFreeType(), 1, &face));
  EXPECT_EQ(FT_Load_Char(face.get(), 'A', FT_LOAD_NO_SCALE), 0);
  ASSERT_EQ(truncate(path.c_str(), 0), 0);
  EXPECT_NE(FT_Load_Char(face.get(), 0x4e2d, FT_LOAD_NO_SCALE), 0);
  EXPECT_FALSE(file.open(mainThreadFreeType(), 0, &face));
  EXPECT_EQ(face.get(), nullptr);
  FaceCheckJob check = job(&path, 0);
  checkFace(&check);
  EXPECT_FALSE(check.result.opened);
}

}  // namespace
}  // namespace kavri
