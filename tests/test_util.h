#ifndef KAVRI_TESTS_TEST_UTIL_H_
#define KAVRI_TESTS_TEST_UTIL_H_

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace kavri::testing {

// A fresh directory under $TMPDIR, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void writeFile(const std::string& path, const std::string& bytes);

// The complete lines of `text`, without their line feeds; a final partial
// line is left out.
std::vector<std::string> splitLines(const std::string& text);
std::string readFile(const std::string& path);

// A finished child process: its output and how it ended.
struct RunResult {
  std::string out;
  std::string err;
  int exitStatus = -1;  // exit code, or -1 when ended by a signal
  int signal = 0;       // the ending signal, or 0
};

// Runs `argv` (argv[0] a path) with stdin from /dev/null and waits for it.
RunResult run(const std::vector<std::string>& argv);

// The account that tests drop to when they need a user other than root.
inline constexpr uid_t kNobody = 65534;

// Makes the calling process (a forked child) belong to `uid` alone, with
// the group of the same number and no supplementary groups. False when the
// system refuses.
bool dropPrivilegesTo(uid_t uid);

// Runs `body` in a forked child that has dropped to `uid` and returns what
// it returns, or "child failed".
std::string inChildAs(uid_t uid, const std::function<std::string()>& body);

// A forked copy of the test process that runs `prepare` (false ends it
// with status 2), tells the test it is ready, then waits until the test lets
// it go and exits with status 0. Destruction kills and reaps it.
class HeldChild {
 public:
  explicit HeldChild(const std::function<bool()>& prepare = [] { return true; });
  ~HeldChild();
  HeldChild(const HeldChild&) = delete;
  HeldChild& operator=(const HeldChild&) = delete;

  pid_t pid() const { return pid_; }

  // Lets it go and reaps it: how it ended, "exited N" or "killed by NAME"
  // (strsignal), so that a signal someone else sent it shows.
  std::string release();

 private:
  pid_t pid_ = -1;
  UniqueFd release_;
};

// The command that runs this program again with `args`, in a PID namespace
// of its own with its own /proc, where it sees and signals only its own
// processes (an agent runs "killall kavri-node"; a stopper signals every
// copy it finds). A shell is process 1 in there, not the program, so the
// program's children do not count as started by init. `moreNamespaces` are
// further unshare(1) options, such as "--net". Empty when the system
// refuses namespaces.
std::vector<std::string> selfInOwnPidNamespace(const std::vector<std::string>& args,
                                               const std::vector<std::string>& moreNamespaces = {});

// Runs the current test again that way. Returns true when it did, having
// checked the inner run's outcome, and when the system refuses namespaces,
// having skipped the test: the caller then returns. False inside that run:
// the caller goes on.
bool rerunInOwnPidNamespace(const std::vector<std::string>& moreNamespaces = {});

// True inside a run that selfInOwnPidNamespace() started.
bool insideOwnPidNamespace();

}  // namespace kavri::testing

#endif  // KAVRI_TESTS_TEST_UTIL_H_
