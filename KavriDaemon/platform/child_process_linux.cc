#include "platform/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/unique_fd.h"

extern char** environ;

namespace kavri {
namespace {

// How long a child asked to stop with SIGTERM gets before SIGKILL.
constexpr std::chrono::seconds kStopGrace{3};

// One started child, shared by its handle, its waiting thread and the
// registry that stopChildProcessesForRelaunch walks.
struct Child {
  explicit Child(pid_t p) : pid(p) {}
  const pid_t pid;
  std::mutex mu;
  std::condition_variable reapedChanged;
  bool armed = true;   // guarded by mu: the handler is still to run
  bool reaped = false; // guarded by mu: the pid is no longer ours
  std::function<void(const ChildTermination&)> onTermination;  // guarded by mu
};

struct Registry {
  std::mutex mu;
  std::vector<std::shared_ptr<Child>> children;  // guarded by mu
};

Registry& registry() {
  // Never destroyed: waiting threads may still use it while the process ends.
  static Registry* r = new Registry;
  return *r;
}

void unregister(const std::shared_ptr<Child>& child) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.children.erase(std::remove(r.children.begin(), r.children.end(), child), r.children.end());
}

ChildTermination terminationFrom(const siginfo_t& info) {
  ChildTermination t;
  if (info.si_code == CLD_EXITED) {
    t.status = info.si_status;
  } else {
    t.signaled = true;
    t.status = info.si_status;
  }
  return t;
}

ChildTermination terminationFrom(int waitStatus) {
  ChildTermination t;
  if (WIFSIGNALED(waitStatus)) {
    t.signaled = true;
    t.status = WTERMSIG(waitStatus);
  } else {
    t.status = WEXITSTATUS(waitStatus);
  }
  return t;
}

void waitForEnd(std::shared_ptr<Child> child) {
  // WNOWAIT leaves the child a zombie until it is reaped under the lock
  // below, so a concurrent stop can never signal a recycled pid.
  siginfo_t info{};
  int rc;
  do {
    rc = waitid(P_PID, static_cast<id_t>(child->pid), &info, WEXITED | WNOWAIT);
  } while (rc != 0 && errno == EINTR);
  ChildTermination termination = terminationFrom(info);

  std::function<void(const ChildTermination&)> handler;
  {
    std::lock_guard<std::mutex> lock(child->mu);
    int status = 0;
    pid_t reaped;
    do {
      reaped = waitpid(child->pid, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    if (rc != 0 && reaped == child->pid) termination = terminationFrom(status);
    child->reaped = true;
    if (child->armed) handler = std::move(child->onTermination);
    child->onTermination = nullptr;
    child->reapedChanged.notify_all();
  }
  unregister(child);
  if (handler) handler(termination);
}

void stopChild(Child& child) {
  std::unique_lock<std::mutex> lock(child.mu);
  child.armed = false;
  if (child.reaped) return;
  kill(child.pid, SIGTERM);
  if (child.reapedChanged.wait_for(lock, kStopGrace, [&] { return child.reaped; })) return;
  kill(child.pid, SIGKILL);
  child.reapedChanged.wait(lock, [&] { return child.reaped; });
}

// posix_spawn attributes shared by every child: default signal handling
// and an empty mask, whatever the agent changed for itself.
class SpawnAttributes {
 public:
  SpawnAttributes() {
    posix_spawnattr_init(&attr_);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr_, &all);
    posix_spawnattr_setsigmask(&attr_, &none);
    posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attr_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  const posix_spawnattr_t* get() const { return &attr_; }

 private:
  posix_spawnattr_t attr_;
};

class FileActions {
 public:
  FileActions() { posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

// Starts the program; false with `err` set when it cannot run at all.
bool spawnProcess(const std::string& path, const std::vector<std::string>& arguments, int stdinFd,
                  int stdoutFd, pid_t* pid, std::string* err) {
  // A source below 3 could be overwritten by the other dup2 before it is
  // used; lift both out of the way first.
  UniqueFd liftedIn, liftedOut;
  if (stdinFd >= 0 && stdinFd < 3) {
    liftedIn.reset(fcntl(stdinFd, F_DUPFD_CLOEXEC, 3));
    stdinFd = liftedIn.get();
  }
  if (stdoutFd >= 0 && stdoutFd < 3) {
    liftedOut.reset(fcntl(stdoutFd, F_DUPFD_CLOEXEC, 3));
    stdoutFd = liftedOut.get();
  }
  FileActions actions;
  if (stdinFd >= 0) posix_spawn_file_actions_adddup2(actions.get(), stdinFd, STDIN_FILENO);
  if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(actions.get(), stdoutFd, STDOUT_FILENO);
  // Close-on-exec covers our own descriptors; this also covers any a
  // library opened without it.
  posix_spawn_file_actions_addclosefrom_np(actions.get(), 3);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  SpawnAttributes attributes;
  int rc = posix_spawn(pid, path.c_str(), actions.get(), attributes.get(), argv.data(), environ);
  if (rc != 0) {
    if (err) *err = path + ": " + strerror(rc);
    return false;
  }
  return true;
}

class LinuxChildProcess : public ChildProcess {
 public:
  LinuxChildProcess(std::shared_ptr<Child> child, std::thread waiter)
      : child_(std::move(child)), waiter_(std::move(waiter)) {}
  ~LinuxChildProcess() override {
    stopChild(*child_);
    if (waiter_.get_id() == std::this_thread::get_id())
      waiter_.detach();  // destroyed from its own termination handler
    else
      waiter_.join();
  }
  int pid() const override { return child_->pid; }

 private:
  std::shared_ptr<Child> child_;
  std::thread waiter_;
};

}  // namespace

bool runAndWait(const std::string& path, const std::vector<std::string>& arguments,
                ChildTermination* termination, std::string* err) {
  pid_t pid;
  if (!spawnProcess(path, arguments, -1, -1, &pid, err)) return false;
  int status = 0;
  pid_t rc;
  do {
    rc = waitpid(pid, &status, 0);
  } while (rc < 0 && errno == EINTR);
  if (rc != pid) {
    if (err) *err = std::string("waitpid: ") + strerror(errno);
    return false;
  }
  if (termination) *termination = terminationFrom(status);
  return true;
}

std::unique_ptr<ChildProcess> ChildProcess::spawn(
    const SpawnRequest& request, std::function<void(const ChildTermination&)> onTermination,
    std::string* err) {
  pid_t pid;
  if (!spawnProcess(request.path, request.arguments, request.stdinFd, request.stdoutFd, &pid, err))
    return nullptr;
  auto child = std::make_shared<Child>(pid);
  child->onTermination = std::move(onTermination);
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    r.children.push_back(child);
  }
  std::thread waiter;
  try {
    waiter = std::thread(waitForEnd, child);
  } catch (const std::system_error& e) {
    // Without a waiting thread nobody would reap it: end it here.
    {
      std::lock_guard<std::mutex> lock(child->mu);
      child->armed = false;
    }
    kill(pid, SIGKILL);
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    unregister(child);
    if (err) *err = std::string("cannot start the waiting thread: ") + e.what();
    return nullptr;
  }
  return std::make_unique<LinuxChildProcess>(std::move(child), std::move(waiter));
}

void stopChildProcessesForRelaunch() {
  std::vector<std::shared_ptr<Child>> running;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    running = r.children;
  }
  for (const auto& child : running) stopChild(*child);
}

}  // namespace kavri
