#ifndef KAVRI_TESTS_E2E_AGENT_PROCESS_H_
#define KAVRI_TESTS_E2E_AGENT_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kavri::testing {

// A whole agent (or any program) started by the test, its standard error
// collected in a file so it can be read while the process runs.
class AgentProcess {
 public:
  struct Options {
    std::vector<std::string> argv;            // argv[0] is the path
    std::map<std::string, std::string> env;   // added to (or replacing) the test's environment
    std::vector<std::string> unsetEnv;        // removed from it
    bool asServiceManagerChild = true;        // MANAGERPID = the test's pid
    std::string stderrPath;                   // where standard error goes
  };

  explicit AgentProcess(Options options);
  ~AgentProcess();  // kills and reaps a process still running
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  pid_t pid() const { return pid_; }
  std::string stderrText() const;

  // Waits until `ready` holds for the standard error text; false on timeout
  // or when the process ended first (the text is checked once more then).
  bool waitForStderr(const std::function<bool(const std::string&)>& ready,
                     std::chrono::seconds timeout = std::chrono::seconds(60));

  // Waits for the process to end: its exit status, or 128 + signal. nullopt
  // on timeout.
  std::optional<int> waitForExit(std::chrono::seconds timeout = std::chrono::seconds(60));
  bool running();

 private:
  Options options_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// Waits until `done()` holds, checking every `interval`; false after
// `timeout`.
bool waitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(60),
               std::chrono::milliseconds interval = std::chrono::milliseconds(20));

bool processAlive(pid_t pid);

}  // namespace kavri::testing

#endif  // KAVRI_TESTS_E2E_AGENT_PROCESS_H_
