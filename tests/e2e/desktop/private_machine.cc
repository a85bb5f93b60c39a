#include "private_machine.h"

#include <grp.h>
#include <net/if.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

#include "platform/unique_fd.h"

namespace kavri::testing {
namespace {

namespace fs = std::filesystem;

constexpr char kJournalStream[] = "/run/systemd/journal/stdout";

bool fail(std::string* err, const std::string& what) {
  *err = what + ": " + strerror(errno);
  return false;
}

bool mountFresh(const std::string& where, const std::string& mode, std::string* err) {
  std::string options = "mode=" + mode;
  if (mount("tmpfs", where.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0)
    return fail(err, "cannot mount a tmpfs on " + where);
  return true;
}

bool mountOverlay(const std::string& where, std::string* err) {
  std::string layers = std::string(kPrivateMachineDirectory) + "/overlay" + where;
  std::error_code error;
  fs::create_directories(layers + "/upper", error);
  fs::create_directories(layers + "/work", error);
  std::string options =
      "lowerdir=" + where + ",upperdir=" + layers + "/upper,workdir=" + layers + "/work";
  if (mount("overlay", where.c_str(), "overlay", 0, options.c_str()) != 0)
    return fail(err, "cannot mount an overlay on " + where);
  return true;
}

bool loopbackUp(std::string* err) {
  UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  struct ifreq request = {};
  strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  if (!socket.valid() || ioctl(socket.get(), SIOCGIFFLAGS, &request) != 0)
    return fail(err, "cannot read loopback's flags");
  request.ifr_flags |= IFF_UP;
  if (ioctl(socket.get(), SIOCSIFFLAGS, &request) != 0)
    return fail(err, "cannot bring loopback up");
  return true;
}

bool makeDirectory(const std::string& path, mode_t mode, uid_t owner, gid_t group,
                   std::string* err) {
  if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST) return fail(err, "cannot make " + path);
  // Past the umask, and with the set-group-ID bit that mkdir leaves out.
  if (chmod(path.c_str(), mode) != 0 || chown(path.c_str(), owner, group) != 0)
    return fail(err, "cannot hand over " + path);
  return true;
}

// /etc/machine-id names the journal's directory; a container may lack one.
std::string machineId() {
  std::string id = readFile("/etc/machine-id");
  if (!id.empty() && id.back() == '\n') id.pop_back();
  if (id.size() == 32 && id.find_first_not_of("0123456789abcdef") == std::string::npos) return id;
  std::random_device random;
  id.clear();
  for (int i = 0; i < 32; ++i) id += "0123456789abcdef"[random() % 16];
  writeFile("/etc/machine-id", id + "\n");
  return id;
}

bool isSocket(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

}  // namespace

std::string mountNamespace() {
  std::error_code error;
  return fs::read_symlink("/proc/self/ns/mnt", error).string();
}

bool PrivateMachine::start(const std::string& package, const std::string& outerMounts,
                           const CgroupPath& init, std::string* err) {
  if (outerMounts.empty() || mountNamespace() == outerMounts) {
    *err = "refusing to lay out a machine in the host's own mount namespace";
    return false;
  }
  // Read before /run and /tmp are covered, wherever it lies.
  std::string packageBytes = readFile(package);
  if (packageBytes.empty()) {
    *err = "cannot read the package " + package;
    return false;
  }
  setenv("PATH", "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", 1);
  if (!loopbackUp(err) || !mountFresh("/run", "0755", err)) return false;
  fs::create_directories(kPrivateMachineDirectory);
  writeFile(std::string(kPrivateMachineDirectory) + "/package.deb", packageBytes);
  if (!layOut(err) || !init.create(0, err) || !init.add(1, err) || !startJournal(init, err))
    return false;

  RunResult dpkg =
      run({"/usr/bin/dpkg", "-i", std::string(kPrivateMachineDirectory) + "/package.deb"});
  if (dpkg.exitStatus != 0) {
    *err = "dpkg -i failed:\n" + dpkg.out + dpkg.err;
    return false;
  }
  return true;
}

bool PrivateMachine::layOut(std::string* err) {
  for (const char* layered : {"/usr", "/etc", "/var"})
    if (!mountOverlay(layered, err)) return false;
  for (auto [where, mode] : {std::pair{"/var/log", "0755"},
                             {"/tmp", "1777"},
                             {"/home", "0755"},
                             {"/root", "0700"},
                             {"/dev/shm", "1777"}})
    if (!mountFresh(where, mode, err)) return false;

  std::error_code error;
  struct group* journal = getgrnam("systemd-journal");
  if (!journal) {
    *err = "no group systemd-journal: is systemd installed?";
    return false;
  }
  std::string journalDirectory = "/run/log/journal/" + machineId();
  // As systemd-tmpfiles leaves them on a booted machine: the group reads it.
  if (!makeDirectory("/run/log", 0755, 0, 0, err) ||
      !makeDirectory("/run/log/journal", 02755, 0, journal->gr_gid, err) ||
      !makeDirectory(journalDirectory, 02750, 0, journal->gr_gid, err))
    return false;
  for (const char* directory : {"/run/systemd", "/run/systemd/system", "/run/systemd/journal",
                                "/run/user", "/etc/systemd/journald.conf.d"})
    if (!makeDirectory(directory, 0755, 0, 0, err)) return false;
  // man-db's own switch: the manual page index is not rebuilt for one
  // package, seconds saved.
  fs::remove("/var/lib/man-db/auto-update", error);
  // Nothing leaves the machine: no kernel log, no console, no wall.
  writeFile("/etc/systemd/journald.conf.d/private-machine.conf",
            "[Journal]\nStorage=volatile\nReadKMsg=no\nAudit=no\nForwardToSyslog=no\n"
            "ForwardToKMsg=no\nForwardToConsole=no\nForwardToWall=no\n");
  return true;
}

bool PrivateMachine::startJournal(const CgroupPath& init, std::string* err) {
  AgentProcess::Options options;
  options.argv = init.commandInside({"/lib/systemd/systemd-journald"});
  options.asServiceManagerChild = false;
  options.stderrPath = std::string(kPrivateMachineDirectory) + "/journald.log";
  journald_ = std::make_unique<AgentProcess>(options);
  if (!waitUntil([&] { return isSocket(kJournalStream) || !journald_->running(); },
                 std::chrono::seconds(30)) ||
      !journald_->running()) {
    *err = "the journal daemon did not start: " + journald_->stderrText();
    return false;
  }
  return true;
}

std::optional<Account> PrivateMachine::account(const std::string& name, std::string* err) {
  if (!getpwnam(name.c_str())) {
    RunResult added =
        run({"/usr/sbin/useradd", "--no-create-home", "--home-dir", "/home/" + name, "--groups",
             "systemd-journal", "--shell", "/bin/sh", "--user-group", name});
    if (added.exitStatus != 0) {
      *err = "useradd " + name + " failed: " + added.err;
      return std::nullopt;
    }
  }
  struct passwd* entry = getpwnam(name.c_str());
  if (!entry) {
    *err = "no account " + name + " after useradd";
    return std::nullopt;
  }
  Account account{name, entry->pw_uid, entry->pw_gid, entry->pw_dir,
                  "/run/user/" + std::to_string(entry->pw_uid)};
  if (!makeDirectory(account.home, 0700, account.uid, account.gid, err) ||
      !makeDirectory(account.runtimeDirectory, 0700, account.uid, account.gid, err))
    return std::nullopt;
  return account;
}

RunResult PrivateMachine::journalctl(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {"/usr/bin/journalctl", "--no-pager"};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv);
}

}  // namespace kavri::testing
