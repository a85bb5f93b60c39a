#ifndef KAVRI_TESTS_E2E_DESKTOP_CGROUP_PATH_H_
#define KAVRI_TESTS_E2E_DESKTOP_CGROUP_PATH_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace kavri::testing {

// One cgroup below the test's own, in every hierarchy systemd tracks
// processes in: the unified one, and the named "systemd" one of a hybrid or
// legacy layout. The directories are only named here; create() makes them.
class CgroupPath {
 public:
  CgroupPath() = default;
  explicit CgroupPath(const std::string& belowOwn);

  CgroupPath child(const std::string& name) const;

  // Makes the directories, handed to `owner` as systemd delegates a cgroup
  // (the directory and the files that move processes and enable
  // controllers). False with the reason in *err.
  bool create(uid_t owner, std::string* err) const;

  // Moves process `pid` (as this PID namespace numbers it) in.
  bool add(pid_t pid, std::string* err) const;

  // `argv` (argv[0] a path) wrapped so that it runs in here from its first
  // instruction on: a shell moves itself in, then becomes the command.
  std::vector<std::string> commandInside(const std::vector<std::string>& argv) const;

  // Removes the directories and every cgroup under them, once the processes
  // in them have gone (waits a bounded time for the dead to leave). False
  // with what is left in *err.
  bool removeTree(std::string* err) const;

  bool empty() const { return directories_.empty(); }

 private:
  std::vector<std::string> directories_;
};

}  // namespace kavri::testing

#endif  // KAVRI_TESTS_E2E_DESKTOP_CGROUP_PATH_H_
