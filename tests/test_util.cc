#include "test_util.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/pipe.h"

extern char** environ;

namespace kavri::testing {

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/kavri-test-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> result;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    result.push_back(text.substr(start, end - start));
  return result;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream data;
  data << in.rdbuf();
  return data.str();
}

RunResult run(const std::vector<std::string>& argv) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  if (rc != 0) {
    close(out[0]);
    close(err[0]);
    throw std::runtime_error("posix_spawn " + argv[0]);
  }
  RunResult result;
  struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[65536];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

bool dropPrivilegesTo(uid_t uid) {
  gid_t gid = static_cast<gid_t>(uid);
  return setgroups(0, nullptr) == 0 && setresgid(gid, gid, gid) == 0 &&
         setresuid(uid, uid, uid) == 0;
}

std::string inChildAs(uid_t uid, const std::function<std::string()>& body) {
  Pipe result;
  if (!createPipe(&result, nullptr)) return "no pipe";
  pid_t pid = fork();
  if (pid == 0) {
    result.readEnd.reset();
    if (!dropPrivilegesTo(uid)) _exit(2);
    std::string text = body();
    (void)!write(result.writeEnd.get(), text.data(), text.size());
    _exit(0);
  }
  result.writeEnd.reset();
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(result.readEnd.get(), buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) text.append(buffer, static_cast<size_t>(n));
  int status = 0;
  while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? text : "child failed";
}

HeldChild::HeldChild(const std::function<bool()>& prepare) {
  Pipe ready, release;
  if (!createPipe(&ready, nullptr) || !createPipe(&release, nullptr))
    throw std::runtime_error("pipe");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    release.writeEnd.reset();
    if (!prepare()) _exit(2);
    char byte = 1;
    if (write(ready.writeEnd.get(), &byte, 1) != 1) _exit(2);
    while (read(release.readEnd.get(), &byte, 1) != 0) {
    }
    _exit(0);
  }
  release_ = std::move(release.writeEnd);
  ready.writeEnd.reset();
  char byte;
  EXPECT_EQ(read(ready.readEnd.get(), &byte, 1), 1) << "the child did not get ready";
}

HeldChild::~HeldChild() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

std::string HeldChild::release() {
  release_.reset();
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  if (WIFSIGNALED(status)) return std::string("killed by ") + strsignal(WTERMSIG(status));
  return "exited " + std::to_string(WEXITSTATUS(status));
}

namespace {

constexpr const char* kInsideMark = "KAVRI_TEST_OWN_PID_NAMESPACE";

std::string selfPath() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

}  // namespace

bool insideOwnPidNamespace() { return getenv(kInsideMark) != nullptr; }

std::vector<std::string> selfInOwnPidNamespace(const std::vector<std::string>& args,
                                               const std::vector<std::string>& moreNamespaces) {
  std::vector<std::string> unshare = {"/usr/bin/unshare", "--pid", "--fork", "--mount-proc"};
  unshare.insert(unshare.end(), moreNamespaces.begin(), moreNamespaces.end());
  std::vector<std::string> probe = unshare;
  probe.push_back("/bin/true");
  if (run(probe).exitStatus != 0) return {};
  // "; exit" keeps the shell from replacing itself with the program.
  std::string script = std::string(kInsideMark) + "=1 \"$0\" \"$@\"; exit $?";
  unshare.insert(unshare.end(), {"/bin/sh", "-c", script, selfPath()});
  unshare.insert(unshare.end(), args.begin(), args.end());
  return unshare;
}

bool rerunInOwnPidNamespace(const std::vector<std::string>& moreNamespaces) {
  if (insideOwnPidNamespace()) return false;
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::vector<std::string> argv = selfInOwnPidNamespace(
      {std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name()},
      moreNamespaces);
  if (argv.empty()) {
    // Run out here, its agents would reach every server of this account.
    [] { GTEST_SKIP() << "needs namespaces of its own, which the system refuses"; }();
    return true;
  }
  RunResult inner = run(argv);
  EXPECT_EQ(inner.exitStatus, 0) << inner.out << inner.err;
  // A filter that matched nothing would pass as well.
  EXPECT_NE(inner.out.find("[==========] 1 test from"), std::string::npos) << inner.out;
  return true;
}

}  // namespace kavri::testing
