#include "platform/resource_fork.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <string>

#include "fork_fixtures.h"
#include "test_util.h"

namespace kavri {
namespace {

using testing::appleDouble;
using testing::TempDir;
using testing::writeFile;

class ResourceForkLinuxTest : public ::testing::Test {
 protected:
  ResourceForks& forks_ = ResourceForks::shared();
  TempDir dir_;

  std::unique_ptr<OpenFork> open(const std::string& path) {
    std::string name;
    if (!forks_.resourceForkName(&name)) return nullptr;
    auto file = forks_.resolvePath(path.c_str());
    if (!file) return nullptr;
    return forks_.openFork(*file, name);
  }

  // The whole fork of `path`, or "<none>".
  std::string forkOf(const std::string& path) {
    auto fork = open(path);
    if (!fork) return "<none>";
    int64_t length = -1;
    if (!fork->length(&length) || length <= 0) return "<bad length>";
    std::string bytes(static_cast<size_t>(length), '\0');
    int64_t got = 0;
    if (!fork->readFromStart(bytes.data(), length, &got) || got != length) return "<bad read>";
    return bytes;
  }

  void setAttribute(const std::string& path, const std::string& value) {
    ASSERT_EQ(setxattr(path.c_str(), "user.com.apple.ResourceFork", value.data(), value.size(), 0), 0);
  }
};

TEST_F(ResourceForkLinuxTest, SidecarComesBeforeTheAttribute) {
  writeFile(dir_.file("a"), "data fork");
  setAttribute(dir_.file("a"), "from the attribute");
  EXPECT_EQ(forkOf(dir_.file("a")), "from the attribute");
  writeFile(dir_.file("._a"), appleDouble({{2, "from the sidecar"}}));
  EXPECT_EQ(forkOf(dir_.file("a")), "from the sidecar");
}

TEST_F(ResourceForkLinuxTest, EmptyBlankOrMalformedSidecarFallsThrough) {
  writeFile(dir_.file("a"), "");
  setAttribute(dir_.file("a"), "from the attribute");
  for (const std::string& sidecar :
       {appleDouble({{2, ""}}), testing::macOsSidecar(testing::blankResourceFork()),
        appleDouble({{2, "fork"}}).substr(0, 40), appleDouble({{2, "fork"}}, 0x00010000), std::string()}) {
    writeFile(dir_.file("._a"), sidecar);
    EXPECT_EQ(forkOf(dir_.file("a")), "from the attribute");
  }
}

TEST_F(ResourceForkLinuxTest, BlankOrEmptyEverywhereIsNoFork) {
  writeFile(dir_.file("a"), "data fork");
  EXPECT_FALSE(open(dir_.file("a")));
  setAttribute(dir_.file("a"), testing::blankResourceFork());
  writeFile(dir_.file("._a"), appleDouble({{2, testing::blankResourceFork()}}));
  EXPECT_FALSE(open(dir_.file("a")));
}

TEST_F(ResourceForkLinuxTest, SidecarThatIsNotARegularFileIsRefused) {
  writeFile(dir_.file("a"), "");
  writeFile(dir_.file("elsewhere"), appleDouble({{2, "through a link"}}));
  ASSERT_EQ(symlink(dir_.file("elsewhere").c_str(), dir_.file("._a").c_str()), 0);
  EXPECT_FALSE(open(dir_.file("a")));

  // A FIFO would block an open for reading until a writer came.
  writeFile(dir_.file("b"), "");
  ASSERT_EQ(mkfifo(dir_.file("._b").c_str(), 0600), 0);
  EXPECT_FALSE(open(dir_.file("b")));
}

TEST_F(ResourceForkLinuxTest, ResolvingFollowsLinksToTheRealFile) {
  ASSERT_EQ(mkdir(dir_.file("real").c_str(), 0700), 0);
  writeFile(dir_.file("real/f"), "");
  writeFile(dir_.file("real/._f"), appleDouble({{2, "beside the target"}}));
  ASSERT_EQ(symlink("real/f", dir_.file("link").c_str()), 0);
  auto file = forks_.resolvePath(dir_.file("link").c_str());
  ASSERT_TRUE(file);
  EXPECT_EQ(file->path, forks_.resolvePath(dir_.file("real/f").c_str())->path);
  EXPECT_EQ(forkOf(dir_.file("link")), "beside the target");
  EXPECT_FALSE(forks_.resolvePath(dir_.file("missing").c_str()));
  EXPECT_FALSE(forks_.resolvePath(""));
}

TEST_F(ResourceForkLinuxTest, DirectoriesHaveNoFork) {
  ASSERT_EQ(mkdir(dir_.file("d").c_str(), 0700), 0);
  writeFile(dir_.file("d/rsrc"), "a file inside");
  writeFile(dir_.file("._d"), appleDouble({{2, "beside"}}));
  setAttribute(dir_.file("d"), "an attribute");
  EXPECT_TRUE(forks_.resolvePath(dir_.file("d").c_str()));
  EXPECT_FALSE(open(dir_.file("d")));
  EXPECT_FALSE(open("/"));
}

TEST_F(ResourceForkLinuxTest, OnlyTheResourceForkOpens) {
  writeFile(dir_.file("a"), "");
  setAttribute(dir_.file("a"), "fork");
  auto file = forks_.resolvePath(dir_.file("a").c_str());
  ASSERT_TRUE(file);
  EXPECT_FALSE(forks_.openFork(*file, "data"));
  EXPECT_FALSE(forks_.openFork(*file, ""));
}

TEST_F(ResourceForkLinuxTest, LengthStaysAsOpenedAndAShrunkenForkReadsShort) {
  writeFile(dir_.file("a"), "");
  std::string sidecar = appleDouble({{2, "0123456789"}});
  writeFile(dir_.file("._a"), sidecar);
  auto fork = open(dir_.file("a"));
  ASSERT_TRUE(fork);
  ASSERT_EQ(truncate(dir_.file("._a").c_str(), static_cast<off_t>(sidecar.size() - 4)), 0);
  int64_t length = 0;
  ASSERT_TRUE(fork->length(&length));
  EXPECT_EQ(length, 10);
  char buffer[10];
  int64_t got = -1;
  ASSERT_TRUE(fork->readFromStart(buffer, 10, &got));
  EXPECT_EQ(got, 6);
  EXPECT_EQ(std::string(buffer, 6), "012345");
}

}  // namespace
}  // namespace kavri
