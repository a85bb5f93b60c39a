#include "platform/child_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "platform/pipe.h"

namespace kavri {
namespace {

std::string readAll(int fd) {
  std::string data;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    data.append(buffer, static_cast<size_t>(n));
  }
  return data;
}

std::vector<std::string> openDescriptorsAbove2() {
  std::vector<std::string> fds;
  DIR* dir = opendir("/proc/self/fd");
  int own = dirfd(dir);
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name[0] == '.' || std::stoi(name) < 3 || std::stoi(name) == own) continue;
    fds.push_back(name);
  }
  closedir(dir);
  return fds;
}

bool isOurUnreapedChild(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

// Runs `script` under /bin/sh -c with `extra` as its positional arguments,
// standard output on a pipe; returns what it printed.
std::string outputOf(const std::string& script, const std::vector<std::string>& extra = {}) {
  Pipe out;
  EXPECT_TRUE(createPipe(&out, nullptr));
  SpawnRequest request;
  request.path = "/bin/sh";
  request.arguments = {"-c", script, "sh"};
  request.arguments.insert(request.arguments.end(), extra.begin(), extra.end());
  request.stdoutFd = out.writeEnd.get();
  std::atomic<bool> ended{false};
  std::string err;
  auto child = ChildProcess::spawn(request, [&](const ChildTermination&) { ended = true; }, &err);
  EXPECT_TRUE(child) << err;
  out.writeEnd.reset();
  return readAll(out.readEnd.get());
}

TEST(ChildProcessTest, RunAndWaitReportsTheExitCodeOrTheSignal) {
  ChildTermination t;
  ASSERT_TRUE(runAndWait("/bin/sh", {"-c", "exit 7"}, &t, nullptr));
  EXPECT_FALSE(t.signaled);
  EXPECT_EQ(t.status, 7);
  ASSERT_TRUE(runAndWait("/bin/sh", {"-c", "kill -KILL $$"}, &t, nullptr));
  EXPECT_TRUE(t.signaled);
  EXPECT_EQ(t.status, 9);
  std::string err;
  EXPECT_FALSE(runAndWait("/nonexistent/killall", {}, &t, &err));
  EXPECT_NE(err.find("/nonexistent/killall"), std::string::npos);
}

TEST(ChildProcessTest, ChildInheritsNoDescriptorBeyondItsStandardOnes) {
  // One descriptor opened without close-on-exec, as a library might.
  UniqueFd careless(open("/dev/null", O_RDONLY));
  ASSERT_TRUE(careless.valid());
  std::vector<std::string> ours = openDescriptorsAbove2();
  ASSERT_FALSE(ours.empty());
  std::string report = outputOf(
      "for fd in \"$@\"; do [ -e /proc/$$/fd/$fd ] && echo leaked $fd; done; "
      "[ -e /proc/$$/fd/0 ] && [ -e /proc/$$/fd/1 ] && echo done",
      ours);
  EXPECT_EQ(report, "done\n");
}

TEST(ChildProcessTest, ChildStartsWithDefaultSignalHandlingAndAnEmptyMask) {
  signal(SIGHUP, SIG_IGN);
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  // exec: the shell itself blocks signals around its own forks.
  std::string report = outputOf("exec sed -n 's/^Sig\\(Blk\\|Ign\\):\\t//p' /proc/self/status");
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  signal(SIGHUP, SIG_DFL);
  ASSERT_EQ(report.size(), 34u) << report;
  // Standard signals only: the C library keeps two real-time ones for itself.
  unsigned long long standard = (1ull << 31) - 1;
  EXPECT_EQ(std::stoull(report.substr(0, 16), nullptr, 16) & standard, 0u) << report;
  EXPECT_EQ(std::stoull(report.substr(17, 16), nullptr, 16) & standard, 0u) << report;
}

TEST(ChildProcessTest, StopForRelaunchEndsAndReapsChildrenWithoutTheirHandlers) {
  std::atomic<int> handled{0};
  SpawnRequest polite{"/bin/sleep", {"1000"}};
  // Ignores SIGTERM, so only SIGKILL after the grace period ends it.
  SpawnRequest stubborn{"/bin/sh", {"-c", "trap '' TERM; exec sleep 1000"}};
  std::string err;
  auto first = ChildProcess::spawn(polite, [&](const ChildTermination&) { ++handled; }, &err);
  auto second = ChildProcess::spawn(stubborn, [&](const ChildTermination&) { ++handled; }, &err);
  ASSERT_TRUE(first && second) << err;

  std::thread other([] { stopChildProcessesForRelaunch(); });
  other.join();
  EXPECT_FALSE(isOurUnreapedChild(first->pid()));
  EXPECT_FALSE(isOurUnreapedChild(second->pid()));
  EXPECT_EQ(kill(first->pid(), 0), -1);
  first.reset();
  second.reset();
  EXPECT_EQ(handled.load(), 0);
}

}  // namespace
}  // namespace kavri
