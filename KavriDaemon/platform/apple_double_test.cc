#include "platform/apple_double.h"

#include <gtest/gtest.h>

#include <string>

#include "fork_fixtures.h"

namespace kavri {
namespace {

using testing::appleDouble;
using testing::blankResourceFork;
using testing::putBigEndian;

std::optional<AppleDoubleFork> find(const std::string& file) {
  return findAppleDoubleResourceFork(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(file.data()), file.size()));
}

std::string forkOf(const std::string& file) {
  auto fork = find(file);
  if (!fork) return "<none>";
  return file.substr(fork->offset, fork->length);
}

// Rewrites entry `index` of the table.
void setEntry(std::string& file, size_t index, uint32_t id, uint64_t offset, uint64_t length) {
  putBigEndian(file, 26 + 12 * index, id, 4);
  putBigEndian(file, 30 + 12 * index, offset, 4);
  putBigEndian(file, 34 + 12 * index, length, 4);
}

TEST(AppleDoubleTest, FindsTheForkWhereverItsEntryStands) {
  EXPECT_EQ(forkOf(appleDouble({{2, "fork bytes"}})), "fork bytes");
  EXPECT_EQ(forkOf(appleDouble({{9, std::string(32, 'F')}, {2, "after finder info"}})), "after finder info");
  EXPECT_EQ(forkOf(appleDouble({{2, "first"}, {3, "name"}, {4, "comment"}, {9, std::string(32, 'F')}})), "first");
  EXPECT_EQ(forkOf(testing::macOsSidecar("the fork", {{"com.apple.quarantine", "0081;5f;Safari;"}})), "the fork");
}

TEST(AppleDoubleTest, NoForkEntryOrAnEmptyOne) {
  EXPECT_FALSE(find(appleDouble({})));
  EXPECT_FALSE(find(appleDouble({{9, std::string(32, 'F')}})));
  auto empty = find(appleDouble({{9, std::string(32, 'F')}, {2, ""}}));
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->length, 0u);
}

TEST(AppleDoubleTest, RefusesOtherFormatsAndVersions) {
  EXPECT_FALSE(find(appleDouble({{2, "fork"}}, 0x00010000)));  // version 1
  EXPECT_FALSE(find(appleDouble({{2, "fork"}}, 0x00020001)));
  std::string single = appleDouble({{2, "fork"}});
  putBigEndian(single, 0, 0x00051600, 4);  // AppleSingle, which holds the data fork too
  EXPECT_FALSE(find(single));
  EXPECT_FALSE(find(""));
  EXPECT_FALSE(find(std::string(25, '\0')));
}

TEST(AppleDoubleTest, EveryTruncationIsNoFork) {
  std::string file = testing::macOsSidecar("0123456789", {{"user.a", "value"}});
  for (size_t size = 0; size < file.size(); ++size) {
    std::string cut = file.substr(0, size);
    auto fork = find(cut);
    if (fork) ADD_FAILURE() << "a sidecar cut to " << size << " bytes still has a fork";
  }
}

TEST(AppleDoubleTest, EntryTableMustLieWithinTheFile) {
  std::string file = appleDouble({{2, "fork"}});
  putBigEndian(file, 24, 2, 2);  // claims a second entry the file does not hold
  EXPECT_FALSE(find(file));
  putBigEndian(file, 24, 0xffff, 2);
  EXPECT_FALSE(find(file));
}

TEST(AppleDoubleTest, EntriesMustLieWithinTheFileWithoutWrapping) {
  std::string file = appleDouble({{9, std::string(32, 'F')}, {2, "fork"}});
  setEntry(file, 1, 2, 82, 5);  // one byte past the end
  EXPECT_FALSE(find(file));
  setEntry(file, 1, 2, 0xffffffff, 0xffffffff);  // wraps in 32 bits
  EXPECT_FALSE(find(file));
  setEntry(file, 1, 2, 87, 0);  // an empty entry past the end
  EXPECT_FALSE(find(file));
  setEntry(file, 0, 9, 0xfffffff0, 0x20);  // a non-fork entry past the end
  setEntry(file, 1, 2, 82, 4);
  EXPECT_FALSE(find(file));
}

TEST(AppleDoubleTest, EntriesMustNotOverlapEachOtherOrTheTable) {
  std::string file = appleDouble({{9, std::string(32, 'F')}, {2, "fork"}});
  setEntry(file, 1, 2, 81, 4);  // shares a byte with the Finder info
  EXPECT_FALSE(find(file));
  setEntry(file, 1, 2, 40, 4);  // inside the entry table
  EXPECT_FALSE(find(file));
  setEntry(file, 1, 2, 0, 4);  // the header itself
  EXPECT_FALSE(find(file));
  setEntry(file, 1, 2, 50, 32);  // the same bytes as the Finder info
  EXPECT_FALSE(find(file));
  setEntry(file, 1, 2, 60, 0);  // an empty entry overlaps nothing
  EXPECT_TRUE(find(file));
}

TEST(AppleDoubleTest, TwoForkEntriesAreRefused) {
  EXPECT_FALSE(find(appleDouble({{2, "one"}, {2, "two"}})));
  EXPECT_FALSE(find(appleDouble({{2, "one"}, {9, "info"}, {2, ""}})));
}

TEST(AppleDoubleTest, AFailingReadIsNoFork) {
  std::string file = appleDouble({{2, "fork"}});
  int reads = 0;
  auto fork = findAppleDoubleResourceFork(file.size(), [&](uint64_t, std::span<uint8_t>) {
    ++reads;
    return false;
  });
  EXPECT_FALSE(fork);
  EXPECT_EQ(reads, 1);
}

TEST(AppleDoubleTest, ReadsOnlyTheHeaderAndTable) {
  std::string file = appleDouble({{9, std::string(32, 'F')}, {2, std::string(100000, 'R')}});
  uint64_t highest = 0;
  auto fork = findAppleDoubleResourceFork(file.size(), [&](uint64_t offset, std::span<uint8_t> into) {
    highest = std::max(highest, offset + into.size());
    std::copy_n(file.data() + offset, into.size(), into.data());
    return true;
  });
  ASSERT_TRUE(fork);
  EXPECT_EQ(highest, 50u);
}

std::span<const uint8_t> bytesOf(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(BlankResourceForkTest, ThePlaceholderIsBlank) {
  std::string blank = blankResourceFork();
  EXPECT_TRUE(isBlankResourceFork(bytesOf(blank)));
  // The reserved bytes vary between writers and do not matter.
  std::string reserved = blank;
  reserved.replace(256, 16, blank.substr(0, 16));
  EXPECT_TRUE(isBlankResourceFork(bytesOf(reserved)));
}

TEST(BlankResourceForkTest, AnythingElseIsAFork) {
  std::string blank = blankResourceFork();
  EXPECT_FALSE(isBlankResourceFork(bytesOf(blank.substr(0, 285))));
  EXPECT_FALSE(isBlankResourceFork(bytesOf(blank + '\0')));
  for (size_t at : {3, 15, 16, 58, 281, 285}) {
    std::string changed = blank;
    changed[at] ^= 1;
    EXPECT_FALSE(isBlankResourceFork(bytesOf(changed))) << "byte " << at;
  }
  EXPECT_FALSE(isBlankResourceFork({}));
}

}  // namespace
}  // namespace kavri
