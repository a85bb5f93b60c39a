// The Linux running-applications layer against real processes. The test
// binary runs outside a bundle, so its copies are the processes running its
// own executable: the children it forks.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/pipe.h"
#include "platform/running_applications.h"
#include "test_util.h"

namespace kavri {
namespace {

// A forked copy of the test, as `uid`, that waits until the test lets it go
// (closes the pipe) and then exits with status 0.
class Child {
 public:
  explicit Child(uid_t uid = getuid()) {
    Pipe ready, release;
    EXPECT_TRUE(createPipe(&ready, nullptr));
    EXPECT_TRUE(createPipe(&release, nullptr));
    pid_ = fork();
    if (pid_ == 0) {
      release.writeEnd.reset();
      if (uid != getuid() && setresuid(uid, uid, uid) != 0) _exit(2);
      char byte = 1;
      if (write(ready.writeEnd.get(), &byte, 1) != 1) _exit(2);
      while (read(release.readEnd.get(), &byte, 1) != 0) {
      }
      _exit(0);
    }
    release_ = std::move(release.writeEnd);
    ready.writeEnd.reset();
    char byte;
    EXPECT_EQ(read(ready.readEnd.get(), &byte, 1), 1);
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }

  // Lets it go and reaps it: "exited 0", or how a signal ended it.
  std::string finish() {
    release_.reset();
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (WIFSIGNALED(status)) return std::string("killed by ") + strsignal(WTERMSIG(status));
    return "exited " + std::to_string(WEXITSTATUS(status));
  }

 private:
  pid_t pid_ = -1;
  UniqueFd release_;
};

RunningApplication* find(const std::vector<std::unique_ptr<RunningApplication>>& copies,
                         pid_t pid) {
  auto it = std::find_if(copies.begin(), copies.end(),
                         [pid](const auto& copy) { return copy->processIdentifier() == pid; });
  return it == copies.end() ? nullptr : it->get();
}

TEST(RunningApplicationsLinuxTest, OnlyProcessesOfTheCallersOwnUserAreCopies) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to start a process of another user";
  Child own;
  Child nobody(65534);
  auto copies = RunningApplications::shared().runningCopies();
  EXPECT_TRUE(find(copies, getpid()));
  EXPECT_TRUE(find(copies, own.pid()));
  EXPECT_FALSE(find(copies, nobody.pid()));
  EXPECT_EQ(nobody.finish(), "exited 0");
}

TEST(RunningApplicationsLinuxTest, ACopyWhoseProcessIdWentToAnotherProcessIsNotSignalled) {
  // Process ids are handed out afresh only in a PID namespace of our own;
  // there the next one can be chosen (ns_last_pid), so the reuse is certain.
  if (testing::rerunInOwnPidNamespace()) return;
  if (!testing::insideOwnPidNamespace()) GTEST_SKIP() << "no PID namespace of our own here";

  Child live;
  auto recycled = std::make_unique<Child>();
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
  Child unrelated;
  ASSERT_EQ(unrelated.pid(), recycledPid);

  find(copies, recycledPid)->forceTerminate();
  find(copies, live.pid())->forceTerminate();
  EXPECT_EQ(unrelated.finish(), "exited 0");
  EXPECT_EQ(live.finish(), std::string("killed by ") + strsignal(SIGKILL));
}

}  // namespace
}  // namespace kavri
