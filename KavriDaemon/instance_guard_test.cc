#include "instance_guard.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace kavri {
namespace {

class FakeRunningApplications : public RunningApplications {
 public:
  pid_t self = 500;
  pid_t parent = 400;
  pid_t manager = 0;
  std::vector<pid_t> copies;
  std::vector<pid_t> terminated;

  class Copy : public RunningApplication {
   public:
    Copy(pid_t pid, std::vector<pid_t>& terminated) : pid_(pid), terminated_(terminated) {}
    pid_t processIdentifier() const override { return pid_; }
    void forceTerminate() override { terminated_.push_back(pid_); }

   private:
    pid_t pid_;
    std::vector<pid_t>& terminated_;
  };

  pid_t currentProcessId() override { return self; }
  pid_t parentProcessId() override { return parent; }
  pid_t serviceManagerProcessId() override { return manager; }
  std::vector<std::unique_ptr<RunningApplication>> runningCopies() override {
    std::vector<std::unique_ptr<RunningApplication>> held;
    for (pid_t pid : copies) held.push_back(std::make_unique<Copy>(pid, terminated));
    return held;
  }
};

TEST(InstanceGuardTest, ServiceManagedCopiesGoOnAndSignalNobody) {
  FakeRunningApplications init;
  init.parent = 1;
  init.copies = {500, 600};
  EXPECT_FALSE(stopOtherCopiesUnlessServiceManaged(init));
  EXPECT_TRUE(init.terminated.empty());

  FakeRunningApplications userManager;
  userManager.parent = 321;
  userManager.manager = 321;
  EXPECT_FALSE(stopOtherCopiesUnlessServiceManaged(userManager));
}

TEST(InstanceGuardTest, StopperKillsEveryOtherCopyButNeverItself) {
  FakeRunningApplications shell;
  shell.parent = 4242;
  shell.manager = 321;  // a manager exists, but it is not our parent
  shell.copies = {77, 500, 78};
  EXPECT_TRUE(stopOtherCopiesUnlessServiceManaged(shell));
  EXPECT_EQ(shell.terminated, (std::vector<pid_t>{77, 78}));
}

TEST(InstanceGuardTest, UnreadableParentIsAStopper) {
  FakeRunningApplications unreadable;
  unreadable.parent = 0;
  unreadable.copies = {77};
  EXPECT_TRUE(stopOtherCopiesUnlessServiceManaged(unreadable));
  EXPECT_EQ(unreadable.terminated, std::vector<pid_t>{77});

  // Without MANAGERPID an unreadable parent must not match "no manager".
  FakeRunningApplications noManager;
  noManager.parent = 0;
  noManager.manager = 0;
  EXPECT_FALSE(startedByServiceManager(noManager));
}

TEST(InstanceGuardTest, LinuxParentIsReadFromTheKernel) {
  RunningApplications& real = RunningApplications::shared();
  EXPECT_EQ(real.parentProcessId(), getppid());
  EXPECT_EQ(real.currentProcessId(), getpid());
}

}  // namespace
}  // namespace kavri
