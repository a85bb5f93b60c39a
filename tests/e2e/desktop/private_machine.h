#ifndef KAVRI_TESTS_E2E_DESKTOP_PRIVATE_MACHINE_H_
#define KAVRI_TESTS_E2E_DESKTOP_PRIVATE_MACHINE_H_

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agent_process.h"
#include "cgroup_path.h"
#include "test_util.h"

namespace kavri::testing {

// Where the machine keeps its own files: overlay layers, the package, logs.
inline constexpr char kPrivateMachineDirectory[] = "/run/kavri-machine";

struct Account {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
  std::string home;
  std::string runtimeDirectory;  // /run/user/UID
};

// The inside of a private mount, PID and network namespace, laid out as a
// small machine of its own that a package can be installed on: /usr, /etc
// and /var are overlays whose changes stay in here; /run, /tmp, /home,
// /root, /var/log and /dev/shm are fresh; loopback is up; a journal daemon
// of its own runs. Nothing of it outlives the namespace: ending the
// namespace's process 1 ends every process, and the mounts go with it.
// Only the cgroups (CgroupPath) are the machine's to remove.
class PrivateMachine {
 public:
  PrivateMachine() = default;
  PrivateMachine(const PrivateMachine&) = delete;
  PrivateMachine& operator=(const PrivateMachine&) = delete;

  // Lays the machine out, moves process 1 and the journal daemon into
  // `init`, and installs the Debian package `package` with dpkg. Refuses
  // unless this process's mount namespace differs from `outerMounts` (the
  // readlink of /proc/self/ns/mnt outside): the host's own /usr, /etc, /var
  // and /run are never touched. False with the reason in *err.
  bool start(const std::string& package, const std::string& outerMounts, const CgroupPath& init,
             std::string* err);

  // An account of the machine's: added to its /etc unless there already
  // (root is), in the group that reads the whole journal, with a home and a
  // runtime directory of its own.
  std::optional<Account> account(const std::string& name, std::string* err);

  // journalctl run as root, for the whole machine's journal.
  RunResult journalctl(const std::vector<std::string>& args) const;

 private:
  bool layOut(std::string* err);
  bool startJournal(const CgroupPath& init, std::string* err);

  std::unique_ptr<AgentProcess> journald_;
};

// What /proc/self/ns/mnt names: the mount namespace this process is in.
std::string mountNamespace();

}  // namespace kavri::testing

#endif  // KAVRI_TESTS_E2E_DESKTOP_PRIVATE_MACHINE_H_
