#include "platform/running_applications.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "platform/bundle.h"

namespace kavri {
namespace {

std::optional<pid_t> parsePid(std::string_view text) {
  pid_t pid = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), pid);
  if (ec != std::errc() || end != text.data() + text.size() || pid <= 0) return std::nullopt;
  return pid;
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

std::optional<std::string> executableOf(const std::string& procEntry) {
  char buffer[4096];
  ssize_t n = readlink((procEntry + "/exe").c_str(), buffer, sizeof buffer - 1);
  if (n <= 0) return std::nullopt;
  std::string path(buffer, static_cast<size_t>(n));
  // A copy whose bundle was replaced by an update still counts.
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.ends_with(kDeleted)) path.resize(path.size() - kDeleted.size());
  return path;
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

  std::vector<pid_t> runningCopies() override {
    std::vector<pid_t> copies;
    std::optional<std::string> ownExecutable = executableOf("/proc/self");
    const Bundle* ownBundle = Bundle::main();
    std::optional<std::string> identifier = ownBundle ? ownBundle->identifier() : std::nullopt;
    if (!identifier && !ownExecutable) return copies;

    std::unique_ptr<DIR, DirCloser> proc(opendir("/proc"));
    if (!proc) return copies;
    while (struct dirent* entry = readdir(proc.get())) {
      std::optional<pid_t> pid = parsePid(entry->d_name);
      if (!pid) continue;
      std::optional<std::string> executable = executableOf(std::string("/proc/") + entry->d_name);
      if (!executable) continue;
      if (identifier) {
        std::optional<Bundle> bundle = Bundle::forExecutable(*executable);
        if (bundle && bundle->identifier() == identifier) copies.push_back(*pid);
      } else if (executable == ownExecutable) {
        copies.push_back(*pid);
      }
    }
    return copies;
  }

  void forceTerminate(pid_t pid) override { kill(pid, SIGKILL); }
};

}  // namespace

RunningApplications& RunningApplications::shared() {
  static LinuxRunningApplications* applications = new LinuxRunningApplications();
  return *applications;
}

}  // namespace kavri
