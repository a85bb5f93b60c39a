#include "server/line_reader.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace kavri {
namespace {

struct Recorder : LineReader::Reporter {
  std::vector<std::string> lines;
  std::vector<size_t> drops;
  void lineDropped(size_t bytes) override { drops.push_back(bytes); }
};

class LineReaderTest : public ::testing::Test {
 protected:
  Recorder seen;
  LineReader reader{[this](std::string_view line) { seen.lines.emplace_back(line); }, &seen};
};

TEST_F(LineReaderTest, TwoLinesInOneChunkComeOutInOrder) {
  reader.append("CHECK FOR UPDATES\nsecond\n");
  EXPECT_EQ(seen.lines, (std::vector<std::string>{"CHECK FOR UPDATES", "second"}));
}

TEST_F(LineReaderTest, LineSplitAcrossChunksComesOutOnceWhenItsLineFeedArrives) {
  reader.append("CHECK FOR");
  reader.append(" UPD");
  EXPECT_TRUE(seen.lines.empty());
  reader.append("ATES\nnext");
  EXPECT_EQ(seen.lines, (std::vector<std::string>{"CHECK FOR UPDATES"}));
}

TEST_F(LineReaderTest, OnlyLineFeedEndsALine) {
  reader.append("CHECK FOR UPDATES\r\n\r\n\n");
  EXPECT_EQ(seen.lines, (std::vector<std::string>{"CHECK FOR UPDATES\r", "\r", ""}));
}

TEST_F(LineReaderTest, PartialLineWaitsForNewlineAndIsNeverHandedOverAlone) {
  reader.append("done\nCHECK FOR UPDATES");
  EXPECT_EQ(seen.lines, (std::vector<std::string>{"done"}));
  EXPECT_EQ(reader.bufferedBytes(), 17u);
}

TEST_F(LineReaderTest, FloodWithoutLineFeedStaysBoundedThenIsDroppedWhole) {
  std::string chunk(4096, 'x');
  for (int i = 0; i < 2560; ++i) {  // 10 MiB
    reader.append(chunk);
    ASSERT_LE(reader.bufferedBytes(), LineReader::kMaxLineBytes);
  }
  reader.append("CHECK FOR UPDATES\nCHECK FOR UPDATES\n");
  // The flood's tail must not pass for a command.
  EXPECT_EQ(seen.lines, (std::vector<std::string>{"CHECK FOR UPDATES"}));
  EXPECT_EQ(seen.drops, (std::vector<size_t>{10u * 1024 * 1024 + 17}));
  EXPECT_EQ(reader.bufferedBytes(), 0u);
}

TEST_F(LineReaderTest, LineAtTheLimitIsKeptOneByteMoreIsDropped) {
  std::string atLimit(LineReader::kMaxLineBytes, 'a');
  std::string over(LineReader::kMaxLineBytes + 1, 'b');
  reader.append(atLimit.substr(0, 1000));
  reader.append(atLimit.substr(1000) + "\n");
  reader.append(over.substr(0, 5) + "\nshort\n" + over + "\nlast\n");
  ASSERT_EQ(seen.lines.size(), 4u);
  EXPECT_EQ(seen.lines[0], atLimit);
  EXPECT_EQ(seen.lines[1], "bbbbb");
  EXPECT_EQ(seen.lines[2], "short");
  EXPECT_EQ(seen.lines[3], "last");
  EXPECT_EQ(seen.drops, (std::vector<size_t>{LineReader::kMaxLineBytes + 1}));
}

TEST_F(LineReaderTest, AnyChunkingGivesTheSameLines) {
  std::string stream;
  std::vector<std::string> expected;
  std::mt19937 random(7);
  for (int i = 0; i < 300; ++i) {
    std::string line(random() % 200, static_cast<char>('a' + i % 26));
    expected.push_back(line);
    stream += line + "\n";
  }
  for (size_t maxChunk : {1u, 2u, 3u, 17u, 4096u}) {
    seen.lines.clear();
    for (size_t at = 0; at < stream.size();) {
      size_t n = std::min<size_t>(1 + random() % maxChunk, stream.size() - at);
      reader.append(std::string_view(stream).substr(at, n));
      at += n;
    }
    EXPECT_EQ(seen.lines, expected) << "chunks of up to " << maxChunk;
  }
}

}  // namespace
}  // namespace kavri
