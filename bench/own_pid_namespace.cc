#include "own_pid_namespace.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "test_util.h"

namespace kavri::bench {
namespace {

constexpr int kPassedOn[] = {SIGINT, SIGTERM, SIGHUP};

// The process group of the run inside: unshare, the shell that is process 1
// there, the bench and everything it starts.
volatile sig_atomic_t innerGroup = 0;

void passOn(int signal) {
  // unshare waits out INT and TERM for its child, but a hang-up would end
  // it before the bench inside has cleaned up.
  if (innerGroup > 0) kill(-static_cast<pid_t>(innerGroup), signal == SIGHUP ? SIGTERM : signal);
}

}  // namespace

std::optional<int> rerunInOwnPidNamespace(int argc, char** argv) {
  if (testing::insideOwnPidNamespace()) return std::nullopt;
  std::vector<std::string> command =
      testing::selfInOwnPidNamespace(std::vector<std::string>(argv + 1, argv + argc));
  if (command.empty()) {
    std::fprintf(stderr,
                 "%s: needs a PID namespace of its own, which the system refuses (unshare --pid "
                 "takes root); not run, since out here its agents' \"killall -u USER kavri-node\" "
                 "would end every such server of this account on the machine\n",
                 argv[0]);
    return 1;
  }
  std::vector<char*> args;
  for (std::string& arg : command) args.push_back(arg.data());
  args.push_back(nullptr);

  // Blocked until the handlers know the group, so that none is lost.
  sigset_t passed, previous;
  sigemptyset(&passed);
  for (int signal : kPassedOn) sigaddset(&passed, signal);
  sigprocmask(SIG_BLOCK, &passed, &previous);
  pid_t pid = fork();
  if (pid == 0) {
    // A group of its own, so that Ctrl-C reaches the bench once, through
    // passOn. Outside the terminal's foreground group, it must not read the
    // terminal; benches take no input.
    setpgid(0, 0);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    int null = open("/dev/null", O_RDONLY);
    if (null < 0 || dup2(null, STDIN_FILENO) < 0) _exit(127);
    if (null != STDIN_FILENO) close(null);
    execv(args[0], args.data());
    _exit(127);
  }
  if (pid < 0) {
    std::perror("fork");
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return 1;
  }
  setpgid(pid, pid);  // whichever of the two comes first
  innerGroup = pid;
  struct sigaction action = {};
  action.sa_handler = passOn;
  sigemptyset(&action.sa_mask);
  for (int signal : kPassedOn) sigaction(signal, &action, nullptr);
  sigprocmask(SIG_SETMASK, &previous, nullptr);

  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace kavri::bench
