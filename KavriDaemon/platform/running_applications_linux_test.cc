// The Linux running-applications layer against real processes. The test
// binary runs outside a bundle, so its copies are the processes running its
// own executable: the children it forks (HeldChild).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/running_applications.h"
#include "test_util.h"

namespace kavri {
namespace {

using testing::HeldChild;

RunningApplication* find(const std::vector<std::unique_ptr<RunningApplication>>& copies,
                         pid_t pid) {
  auto it = std::find_if(copies.begin(), copies.end(),
                         [pid](const auto& copy) { return copy->processIdentifier() == pid; });
  return it == copies.end() ? nullptr : it->get();
}

TEST(RunningApplicationsLinuxTest, OnlyProcessesOfTheCallersOwnUserAreCopies) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to start a process of another user";
  HeldChild own;
  HeldChild nobody([] { return setresuid(65534, 65534, 65534) == 0; });
  auto copies = RunningApplications::shared().runningCopies();
  EXPECT_TRUE(find(copies, getpid()));
  EXPECT_TRUE(find(copies, own.pid()));
  EXPECT_FALSE(find(copies, nobody.pid()));
  EXPECT_EQ(nobody.release(), "exited 0");
}

TEST(RunningApplicationsLinuxTest, ACopyWhoseProcessIdWentToAnotherProcessIsNotSignalled) {
  // Process ids are handed out afresh only in a PID namespace of our own;
  // there the next one can be chosen (ns_last_pid), so the reuse is certain.
  if (testing::rerunInOwnPidNamespace()) return;
  if (!testing::insideOwnPidNamespace()) GTEST_SKIP() << "no PID namespace of our own here";

  HeldChild live;
  auto recycled = std::make_unique<HeldChild>();
  pid_t recycledPid = recycled->pid();
  auto copies = RunningApplications::shared().runningCopies();
  ASSERT_TRUE(find(copies, live.pid()));
  ASSERT_TRUE(find(copies, recycledPid));

  // The copy ends after it was found, and an unrelated process gets its id.
  recycled.reset();
  std::string last = std::to_string(recycledPid - 1);
  int fd = open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
  if (fd < 0 || write(fd, last.data(), last.size()) != static_cast<ssize_t>(last.size()))
    GTEST_SKIP() << "cannot choose the next process id: " << strerror(errno);
  close(fd);
  HeldChild unrelated;
  ASSERT_EQ(unrelated.pid(), recycledPid);

  find(copies, recycledPid)->forceTerminate();
  find(copies, live.pid())->forceTerminate();
  EXPECT_EQ(unrelated.release(), "exited 0");
  EXPECT_EQ(live.release(), std::string("killed by ") + strsignal(SIGKILL));
}

}  // namespace
}  // namespace kavri
