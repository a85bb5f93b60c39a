#include "agent_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "test_util.h"

extern char** environ;

namespace kavri::testing {

AgentProcess::AgentProcess(Options options) : options_(std::move(options)) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    size_t eq = entry.find('=');
    if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  env.erase("MANAGERPID");
  if (options_.asServiceManagerChild) env["MANAGERPID"] = std::to_string(getpid());
  for (const auto& name : options_.unsetEnv) env.erase(name);
  for (const auto& [name, value] : options_.env) env[name] = value;

  std::vector<std::string> envStrings;
  for (const auto& [name, value] : env) envStrings.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<char*> argv;
  for (auto& a : options_.argv) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, options_.stderrPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
  int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + options_.argv[0] + ": " + strerror(rc));
}

AgentProcess::~AgentProcess() {
  if (!status_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    int status;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

std::string AgentProcess::stderrText() const { return readFile(options_.stderrPath); }

bool AgentProcess::running() {
  if (status_) return false;
  int status;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
  }
  return true;
}

bool AgentProcess::waitForStderr(const std::function<bool(const std::string&)>& ready,
                                 std::chrono::seconds timeout) {
  waitUntil([&] { return ready(stderrText()) || !running(); }, timeout);
  return ready(stderrText());
}

std::optional<int> AgentProcess::waitForExit(std::chrono::seconds timeout) {
  waitUntil([&] { return !running(); }, timeout);
  return status_;
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(interval);
  }
  return true;
}

bool processAlive(pid_t pid) {
  if (kill(pid, 0) != 0) return false;
  // A zombie has ended; it only waits to be reaped.
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'Z';
}

}  // namespace kavri::testing
