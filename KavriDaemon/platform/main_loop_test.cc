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
