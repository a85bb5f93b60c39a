#include "platform/running_applications.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "platform/bundle.h"
#include "platform/unique_fd.h"

namespace kavri {
namespace {

// The Uid line comes within the first few hundred bytes of a status record.
constexpr size_t kStatusHeadBytes = 4096;

// Debian 12's <sys/pidfd.h> declares these without C linkage, so C++ cannot
// link against it; the system calls themselves are plain. A pidfd is always
// close-on-exec.
int openPidfd(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0u)); }

int signalThroughPidfd(int pidfd, int signal) {
  return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0u));
}

std::optional<pid_t> parsePid(std::string_view text) {
  pid_t pid = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), pid);
  if (ec != std::errc() || end != text.data() + text.size() || pid <= 0) return std::nullopt;
  return pid;
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// The executable that the link `link` in /proc names: "exe" under a
// process's /proc directory `procDir`, or AT_FDCWD and "/proc/self/exe".
std::optional<std::string> executableOf(int procDir, const char* link) {
  char buffer[4096];
  ssize_t n = readlinkat(procDir, link, buffer, sizeof buffer);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return std::nullopt;
  std::string path(buffer, static_cast<size_t>(n));
  // A copy whose bundle was replaced by an update still counts.
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.ends_with(kDeleted)) path.resize(path.size() - kDeleted.size());
  return path;
}

// The real uid in the status record of the process whose /proc directory
// is `procDir` ("Uid:\t<real>\t<effective>...").
std::optional<uid_t> realUidOf(int procDir) {
  UniqueFd fd(openat(procDir, "status", O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  std::string status(kStatusHeadBytes, '\0');
  size_t got = 0;
  while (got < status.size()) {
    ssize_t n = read(fd.get(), status.data() + got, status.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  status.resize(got);
  constexpr std::string_view kUid = "\nUid:\t";
  size_t at = status.find(kUid);
  if (at == std::string::npos) return std::nullopt;
  at += kUid.size();
  uid_t uid = 0;
  auto [end, ec] = std::from_chars(status.data() + at, status.data() + status.size(), uid);
  if (ec != std::errc() || end == status.data() + status.size() || *end != '\t')
    return std::nullopt;
  return uid;
}

class LinuxRunningApplication : public RunningApplication {
 public:
  LinuxRunningApplication(pid_t pid, UniqueFd pidfd) : pid_(pid), pidfd_(std::move(pidfd)) {}

  pid_t processIdentifier() const override { return pid_; }

  void forceTerminate() override { signalThroughPidfd(pidfd_.get(), SIGKILL); }

 private:
  pid_t pid_;
  UniqueFd pidfd_;  // the process itself, whatever later gets its number
};

// What makes a process a copy of the agent.
struct CopyIdentity {
  std::optional<std::string> bundleIdentifier;
  std::optional<std::string> executable;  // used when there is no identifier
};

// `pid` as a held copy, or nullptr when it is not one or cannot be
// inspected. The pidfd is taken first and /proc read through a directory
// opened while that process was still there, so everything read belongs to
// the process that a signal would reach.
std::unique_ptr<RunningApplication> holdIfCopy(pid_t pid, const CopyIdentity& identity) {
  UniqueFd pidfd(openPidfd(pid));
  if (!pidfd.valid()) return nullptr;
  std::string procPath = "/proc/" + std::to_string(pid);
  UniqueFd procDir(open(procPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!procDir.valid()) return nullptr;
  // Not yet reaped, so the number had not moved on when procDir was opened.
  if (signalThroughPidfd(pidfd.get(), 0) != 0) return nullptr;

  if (realUidOf(procDir.get()) != getuid()) return nullptr;
  std::optional<std::string> executable = executableOf(procDir.get(), "exe");
  if (!executable) return nullptr;
  if (identity.bundleIdentifier) {
    std::optional<Bundle> bundle = Bundle::forExecutable(*executable);
    if (!bundle || bundle->identifier() != identity.bundleIdentifier) return nullptr;
  } else if (executable != identity.executable) {
    return nullptr;
  }
  return std::make_unique<LinuxRunningApplication>(pid, std::move(pidfd));
}

class LinuxRunningApplications : public RunningApplications {
 public:
  pid_t currentProcessId() override { return getpid(); }

  pid_t parentProcessId() override {
    // The kernel's own record, as a process-information call would read it;
    // the command name may hold spaces and parentheses, so parse after the
    // last ')'.
    std::ifstream in("/proc/self/stat");
    std::string stat;
    if (!std::getline(in, stat)) return 0;
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::string rest = stat.substr(close + 1);
    char state = 0;
    long ppid = 0;
    if (sscanf(rest.c_str(), " %c %ld", &state, &ppid) != 2 || ppid < 0) return 0;
    return static_cast<pid_t>(ppid);
  }

  pid_t serviceManagerProcessId() override {
    const char* manager = getenv("MANAGERPID");
    if (!manager) return 0;
    return parsePid(manager).value_or(0);
  }

  std::vector<std::unique_ptr<RunningApplication>> runningCopies() override {
    std::vector<std::unique_ptr<RunningApplication>> copies;
    CopyIdentity identity;
    if (const Bundle* ownBundle = Bundle::main())
      identity.bundleIdentifier = ownBundle->identifier();
    if (!identity.bundleIdentifier) identity.executable = executableOf(AT_FDCWD, "/proc/self/exe");
    if (!identity.bundleIdentifier && !identity.executable) return copies;

    std::unique_ptr<DIR, DirCloser> proc(opendir("/proc"));
    if (!proc) return copies;
    while (struct dirent* entry = readdir(proc.get())) {
      std::optional<pid_t> pid = parsePid(entry->d_name);
      if (!pid) continue;
      if (auto copy = holdIfCopy(*pid, identity)) copies.push_back(std::move(copy));
    }
    return copies;
  }
};

}  // namespace

RunningApplications& RunningApplications::shared() {
  static LinuxRunningApplications* applications = new LinuxRunningApplications();
  return *applications;
}

}  // namespace kavri
