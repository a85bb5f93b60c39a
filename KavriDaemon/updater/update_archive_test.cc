#include "updater/update_archive.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/unique_fd.h"
#include "updater/update_signature.h"
#include "support/update_test_support.h"
#include "test_util.h"

namespace kavri {
namespace {

using testing::ArchiveMember;
using Type = ArchiveMember::Type;

class UpdateArchive : public ::testing::Test {
 protected:
  // Writes `members` as an archive and unpacks it into a fresh directory.
  bool unpack(const std::vector<ArchiveMember>& members, std::string* err,
              const std::string& format = "tar", const std::string& filter = "gzip",
              UnpackLimits limits = {}) {
    std::string archive = dir_.file("archive");
    unlink(archive.c_str());
    testing::writeArchive(archive, format, filter, members);
    return unpackFile(archive, err, limits);
  }

  bool unpackFile(const std::string& archive, std::string* err, UnpackLimits limits = {}) {
    std::filesystem::remove_all(out());
    std::filesystem::create_directory(out());
    UniqueFd fd(open(archive.c_str(), O_RDONLY | O_CLOEXEC));
    return unpackArchive(fd.get(), out(), limits, err);
  }

  std::string out() const { return dir_.file("out"); }

  // Nothing may appear beside the destination.
  void expectNothingOutside() {
    for (auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      std::string name = entry.path().filename();
      EXPECT_TRUE(name == "out" || name == "archive" || name == "outside") << name;
    }
  }

  testing::TempDir dir_;
};

std::vector<ArchiveMember> bundle() {
  return {
      testing::directoryMember("KavriDaemon.app/", 0755),
      testing::fileMember("KavriDaemon.app/Contents/Info.plist", "<plist/>", 0644),
      testing::fileMember("KavriDaemon.app/Contents/MacOS/KavriDaemon", "#!/bin/sh\n", 0755),
      testing::symlinkMember("KavriDaemon.app/Contents/Current", "MacOS"),
  };
}

TEST_F(UpdateArchive, UnpacksTarInEveryCompressionAndZip) {
  std::vector<ArchiveMember> members = bundle();
  members.push_back(testing::hardlinkMember("KavriDaemon.app/Contents/Hard", "KavriDaemon.app/Contents/Info.plist"));
  for (auto [format, filter] : std::vector<std::pair<std::string, std::string>>{
           {"tar", ""}, {"tar", "gzip"}, {"tar", "bzip2"}, {"tar", "xz"}, {"tar", "zstd"}, {"zip", ""}}) {
    SCOPED_TRACE(format + "/" + filter);
    if (format == "zip") members.pop_back();  // zip has no hard links
    std::string err;
    ASSERT_TRUE(unpack(members, &err, format, filter)) << err;
    std::string exe = out() + "/KavriDaemon.app/Contents/MacOS/KavriDaemon";
    EXPECT_EQ(testing::readFile(exe), "#!/bin/sh\n");
    struct stat st;
    ASSERT_EQ(stat(exe.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_EQ(std::filesystem::read_symlink(out() + "/KavriDaemon.app/Contents/Current"), "MacOS");
  }
}

TEST_F(UpdateArchive, UnpacksArchivesMadeByTheUsualTools) {
  testing::TempDir src;
  std::filesystem::create_directories(src.file("A.app/Contents/MacOS"));
  testing::writeFile(src.file("A.app/Contents/MacOS/A"), "binary");
  auto tar = testing::run({"/usr/bin/tar", "-C", src.path(), "--zstd", "-cf", dir_.file("a.tar.zst"), "A.app"});
  ASSERT_EQ(tar.exitStatus, 0) << tar.err;
  std::string err;
  ASSERT_TRUE(unpackFile(dir_.file("a.tar.zst"), &err)) << err;
  EXPECT_EQ(testing::readFile(out() + "/A.app/Contents/MacOS/A"), "binary");

  auto zip = testing::run({"/bin/sh", "-c", "cd '" + src.path() + "' && zip -qry '" + dir_.file("a.zip") + "' A.app"});
  ASSERT_EQ(zip.exitStatus, 0) << zip.err;
  ASSERT_TRUE(unpackFile(dir_.file("a.zip"), &err)) << err;
  EXPECT_EQ(testing::readFile(out() + "/A.app/Contents/MacOS/A"), "binary");
}

TEST_F(UpdateArchive, RefusesTraversalAndAbsoluteNames) {
  for (std::string name : {"../outside", "A.app/../../outside", "/tmp/outside", "A.app/..", "..",
                           "A.app/Contents/../../../outside"}) {
    SCOPED_TRACE(name);
    std::string err;
    EXPECT_FALSE(unpack({testing::fileMember(name, "evil")}, &err));
    EXPECT_NE(err.find("archive unsafe"), std::string::npos) << err;
    expectNothingOutside();
  }
}

TEST_F(UpdateArchive, RefusesLinksLeadingOutOfTheirBundle) {
  const std::vector<std::vector<ArchiveMember>> cases = {
      {testing::symlinkMember("A.app/l", "/etc/passwd")},
      {testing::symlinkMember("A.app/l", "../../outside")},
      {testing::symlinkMember("A.app/sub/l", "../../..")},
      // Inside the unpack directory, but beside the bundle once installed.
      {testing::symlinkMember("A.app/Contents/Resources/daemon.js", "../../../outside-target")},
      {testing::symlinkMember("A.app/l", "..")},
      {testing::symlinkMember("A.app/l", "../B.app/x")},
      {testing::symlinkMember("top", "A.app")},
      // Each reads as inside; together they climb out.
      {testing::symlinkMember("q", "."), testing::symlinkMember("l", "q/../outside")},
      {testing::symlinkMember("A.app/sub/q", ".."), testing::symlinkMember("A.app/sub/l", "q/../x")},
      // Writing through a link made earlier.
      {testing::symlinkMember("A.app/d", "."), testing::fileMember("A.app/d/f", "x")},
      {testing::symlinkMember("A.app/up", ".."), testing::fileMember("A.app/up/up/outside", "x")},
      {testing::hardlinkMember("A.app/h", "/etc/passwd")},
      {testing::hardlinkMember("A.app/h", "../outside")},
      {testing::symlinkMember("A.app/l", "x"), testing::hardlinkMember("A.app/h", "A.app/l")},
  };
  testing::writeFile(dir_.file("outside"), "keep");
  for (const auto& members : cases) {
    SCOPED_TRACE(members.back().name + " -> " + members.back().target);
    std::string err;
    EXPECT_FALSE(unpack(members, &err));
    EXPECT_NE(err.find("archive unsafe"), std::string::npos) << err;
    expectNothingOutside();
    EXPECT_EQ(testing::readFile(dir_.file("outside")), "keep");
  }
}

TEST_F(UpdateArchive, LinksWithinTheBundleStay) {
  std::vector<ArchiveMember> members = {
      testing::fileMember("A.app/Contents/Resources/daemon.js", "js"),
      testing::symlinkMember("A.app/Contents/Current", "Resources"),
      testing::symlinkMember("A.app/Contents/Resources/up", "../.."),
      testing::symlinkMember("A.app/Contents/Resources/again", "up/Contents/Current/daemon.js"),
  };
  std::string err;
  ASSERT_TRUE(unpack(members, &err)) << err;
  EXPECT_EQ(testing::readFile(out() + "/A.app/Contents/Resources/again"), "js");
}

// Other users must never be able to change the agent: whatever modes the
// archive stores, the umask applies and nothing is group- or other-writable.
TEST_F(UpdateArchive, ModesFollowTheUmaskAndNeverLetOthersWrite) {
  std::vector<ArchiveMember> members = {
      testing::directoryMember("A.app/", 0777),
      testing::directoryMember("A.app/Contents/", 0777),
      testing::fileMember("A.app/Contents/KavriDaemon", "#!/bin/sh\n", 0777),
      testing::fileMember("A.app/Contents/Info.plist", "<plist/>", 0666),
      testing::hardlinkMember("A.app/Contents/Hard", "A.app/Contents/KavriDaemon"),
      testing::fileMember("A.app/Contents/Private", "x", 0600),
  };
  struct Expected {
    mode_t umask;
    unsigned directory, executable, plist, hard, privateFile;
  };
  for (Expected e : {Expected{022, 0755, 0755, 0644, 0755, 0600},
                     Expected{002, 0755, 0755, 0644, 0755, 0600},
                     Expected{077, 0700, 0700, 0600, 0700, 0600}}) {
    SCOPED_TRACE(e.umask);
    mode_t previous = umask(e.umask);
    std::string err;
    bool unpacked = unpack(members, &err);
    umask(previous);
    ASSERT_TRUE(unpacked) << err;
    auto mode = [&](const std::string& name) {
      struct stat st;
      EXPECT_EQ(lstat((out() + "/" + name).c_str(), &st), 0) << name;
      return static_cast<unsigned>(st.st_mode & 07777);
    };
    EXPECT_EQ(mode("A.app"), e.directory);
    EXPECT_EQ(mode("A.app/Contents"), e.directory);
    EXPECT_EQ(mode("A.app/Contents/KavriDaemon"), e.executable);
    EXPECT_EQ(mode("A.app/Contents/Info.plist"), e.plist);
    EXPECT_EQ(mode("A.app/Contents/Hard"), e.hard);
    EXPECT_EQ(mode("A.app/Contents/Private"), e.privateFile);
  }
}

TEST_F(UpdateArchive, RefusesDevicesSetIdBitsAndDuplicates) {
  const std::vector<std::vector<ArchiveMember>> cases = {
      {testing::specialMember("A.app/null", Type::kCharDevice)},
      {testing::specialMember("A.app/fifo", Type::kFifo)},
      {testing::fileMember("A.app/suid", "x", 04755)},
      {testing::fileMember("A.app/sgid", "x", 02755)},
      {testing::directoryMember("A.app/dir", 02755)},
      {testing::fileMember("A.app/f", "x"), testing::fileMember("A.app/f", "y")},
  };
  for (const auto& members : cases) {
    SCOPED_TRACE(members.back().name);
    std::string err;
    EXPECT_FALSE(unpack(members, &err));
    EXPECT_NE(err.find("archive unsafe"), std::string::npos) << err;
  }
}

TEST_F(UpdateArchive, StopsSizeBombsAsTheyInflate) {
  // 64 MiB of zeros compresses to a few kilobytes.
  std::vector<ArchiveMember> bomb = {testing::fileMember("A.app/zeros", std::string(1 << 20, 0), 0644, 64)};
  UnpackLimits limits;
  limits.maxTotalBytes = 8 << 20;
  std::string err;
  EXPECT_FALSE(unpack(bomb, &err, "tar", "zstd", limits));
  EXPECT_NE(err.find("more than 8388608 bytes"), std::string::npos) << err;
  EXPECT_LT(std::filesystem::file_size(dir_.file("archive")), 1u << 20);
  EXPECT_LE(std::filesystem::file_size(out() + "/A.app/zeros"), 8u << 20);

  limits = {};
  limits.maxEntries = 10;
  std::vector<ArchiveMember> many;
  for (int i = 0; i < 20; ++i) many.push_back(testing::fileMember("A.app/f" + std::to_string(i), "x"));
  EXPECT_FALSE(unpack(many, &err, "tar", "", limits));
  EXPECT_NE(err.find("more than 10 entries"), std::string::npos) << err;
}

TEST_F(UpdateArchive, RefusesWhatIsNotAnArchive) {
  std::string err;
  testing::writeFile(dir_.file("archive"), "this is not an archive at all");
  EXPECT_FALSE(unpackFile(dir_.file("archive"), &err));
  EXPECT_NE(err.find("archive unreadable"), std::string::npos) << err;
  testing::writeArchive(dir_.file("archive"), "tar", "gzip", bundle());
  std::string bytes = testing::readFile(dir_.file("archive"));
  testing::writeFile(dir_.file("archive"), bytes.substr(0, bytes.size() / 2));
  EXPECT_FALSE(unpackFile(dir_.file("archive"), &err));
}

TEST(UpdateSignature, AcceptsOnlyTheSignatureOfTheWholeFile) {
  testing::TempDir dir;
  testing::SigningKey key = testing::makeSigningKey(dir.path());
  std::string file = dir.file("archive");
  testing::writeFile(file, std::string(100000, 'a'));
  std::string signature = testing::signFile(key, file);
  UniqueFd fd(open(file.c_str(), O_RDONLY | O_CLOEXEC));
  std::string err;
  EXPECT_TRUE(verifyEdSignature(fd.get(), signature, key.publicKeyBase64, &err)) << err;

  EXPECT_FALSE(verifyEdSignature(fd.get(), "", key.publicKeyBase64, &err));
  EXPECT_EQ(err, "signature missing");
  EXPECT_FALSE(verifyEdSignature(fd.get(), signature, "", &err));
  EXPECT_FALSE(verifyEdSignature(fd.get(), "bm9wZQ==", key.publicKeyBase64, &err));
  EXPECT_FALSE(verifyEdSignature(fd.get(), signature, "bm9wZQ==", &err));

  std::string wrong = testing::signFile(key, dir.file("ed25519.pem"));
  EXPECT_FALSE(verifyEdSignature(fd.get(), wrong, key.publicKeyBase64, &err));
  EXPECT_EQ(err, "signature does not match the archive");

  testing::writeFile(file, std::string(99999, 'a') + "b");
  UniqueFd changed(open(file.c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_FALSE(verifyEdSignature(changed.get(), signature, key.publicKeyBase64, &err));
}

}  // namespace
}  // namespace kavri
