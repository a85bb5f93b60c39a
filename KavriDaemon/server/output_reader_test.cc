#include "server/output_reader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app_delegate.h"
#include "support/counting_updater_for_test.h"

namespace kavri {
namespace {

class OutputReaderTest : public ::testing::Test {
 protected:
  void SetUp() override { CountingUpdater::instance().reset(); }
  int checks() { return CountingUpdater::instance().checks(); }

  AppDelegate delegate{&CountingUpdater::module};
  OutputReader reader{[this] { delegate.serverAskedForUpdateCheck(); }};
};

TEST_F(OutputReaderTest, RequestBeforeTheUpdaterStartsIsDroppedNotRemembered) {
  reader.consume("CHECK FOR UPDATES\n");
  delegate.startUpdater();
  EXPECT_EQ(checks(), 0);
  reader.consume("CHECK FOR UPDATES\n");
  EXPECT_EQ(checks(), 1);
}

TEST_F(OutputReaderTest, TwoCommandsInOneReadAreBothActedOn) {
  delegate.startUpdater();
  reader.consume("CHECK FOR UPDATES\nCHECK FOR UPDATES\n");
  EXPECT_EQ(checks(), 2);
}

TEST_F(OutputReaderTest, CommandSplitAcrossReadsIsActedOnOnceWhenComplete) {
  delegate.startUpdater();
  reader.consume("CHECK FOR UP");
  EXPECT_EQ(checks(), 0);
  reader.consume("DATES");
  EXPECT_EQ(checks(), 0);
  reader.consume("\n");
  EXPECT_EQ(checks(), 1);
}

TEST_F(OutputReaderTest, OnlyTheExactLineIsACommand) {
  delegate.startUpdater();
  static constexpr char kNearMisses[] =
      "CHECK FOR UPDATES\r\n"
      " CHECK FOR UPDATES\n"
      "CHECK FOR UPDATES \n"
      "check for updates\n"
      "CHECK FOR UPDATES\xFF\n"
      "\xC3\x28\n"
      "CHECK\0FOR UPDATES\n"
      "\n"
      "CHECK FOR UPDATES";  // unfinished: never acted on
  reader.consume(std::string_view(kNearMisses, sizeof kNearMisses - 1));
  EXPECT_EQ(checks(), 0);
}

TEST_F(OutputReaderTest, FloodWithoutLineFeedIsBoundedAndDropped) {
  delegate.startUpdater();
  std::string flood(1 << 20, 'C');
  for (int i = 0; i < 8; ++i) {
    reader.consume(flood);
    ASSERT_LE(reader.bufferedBytes(), LineReader::kMaxLineBytes);
  }
  reader.consume("CHECK FOR UPDATES\nCHECK FOR UPDATES\n");
  EXPECT_EQ(checks(), 1);
}

TEST_F(OutputReaderTest, UpdaterSetOnTheMainThreadIsSeenByTheReadingThread) {
  std::atomic<bool> stop{false};
  std::thread readingThread([&] {
    while (!stop.load()) reader.consume("CHECK FOR UPDATES\n");
  });
  delegate.startUpdater();
  EXPECT_TRUE(CountingUpdater::instance().waitForChecks(1));
  stop.store(true);
  readingThread.join();
}

}  // namespace
}  // namespace kavri
