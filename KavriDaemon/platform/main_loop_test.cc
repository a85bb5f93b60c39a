#include "platform/main_loop.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace kavri {
namespace {

TEST(MainLoopTest, TimersFireInDeadlineOrderOnce) {
  MainLoop& loop = MainLoop::shared();
  std::vector<int> fired;
  loop.runAfter(std::chrono::milliseconds(30), [&] { fired.push_back(30); });
  loop.runAfter(std::chrono::milliseconds(0), [&] { fired.push_back(0); });
  loop.runAfter(std::chrono::milliseconds(60), [&] {
    fired.push_back(60);
    loop.stop();
  });
  loop.run();
  EXPECT_EQ(fired, (std::vector<int>{0, 30, 60}));
}

// Start-up hashes the server and scans every font before the loop first
// turns, and a callback may work as long; neither may shorten a timer
// scheduled afterwards.
TEST(MainLoopTest, ATimerCountsFromWhenItIsScheduledHoweverLongTheLoopWasBusy) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kBusy = std::chrono::milliseconds(400);
  constexpr auto kDelay = std::chrono::milliseconds(200);
  MainLoop& loop = MainLoop::shared();
  Clock::time_point scheduled[2], fired[2];
  int pending = 2;
  auto schedule = [&](int which) {
    scheduled[which] = Clock::now();
    loop.runAfter(kDelay, [&, which] {
      fired[which] = Clock::now();
      if (--pending == 0) loop.stop();
    });
  };

  // Busy before the loop runs, as start-up is.
  std::this_thread::sleep_for(kBusy);
  schedule(0);
  // Busy inside a callback.
  loop.post([&] {
    std::this_thread::sleep_for(kBusy);
    schedule(1);
  });
  loop.run();
  EXPECT_GE(fired[0] - scheduled[0], kDelay);
  EXPECT_GE(fired[1] - scheduled[1], kDelay);
}

TEST(MainLoopTest, WorkPostedFromOtherThreadsRunsOnTheMainThreadInOrder) {
  MainLoop& loop = MainLoop::shared();
  const std::thread::id mainThread = std::this_thread::get_id();
  std::vector<int> seen;
  bool allOnMain = true;
  std::thread poster([&] {
    for (int i = 0; i < 1000; ++i)
      loop.post([&, i] {
        allOnMain = allOnMain && std::this_thread::get_id() == mainThread;
        seen.push_back(i);
        if (i == 999) loop.stop();
      });
  });
  loop.run();
  poster.join();
  ASSERT_EQ(seen.size(), 1000u);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(seen[i], i);
  EXPECT_TRUE(allOnMain);
}

}  // namespace
}  // namespace kavri
