#ifndef KAVRI_TESTS_E2E_DESKTOP_USER_SESSION_H_
#define KAVRI_TESTS_E2E_DESKTOP_USER_SESSION_H_

#include <memory>
#include <string>
#include <vector>

#include "agent_process.h"
#include "cgroup_path.h"
#include "private_machine.h"
#include "test_util.h"

namespace kavri::testing {

// One account's service manager, `systemd --user`, started as a login
// starts user@UID.service: in a cgroup of that name delegated to the
// account (the journal tells its units apart by it), with the account's
// home and runtime directory in its environment and its log in the journal.
// Commands are run as the account, as the account would type them.
class UserSession {
 public:
  explicit UserSession(Account account) : account_(std::move(account)) {}
  UserSession(const UserSession&) = delete;
  UserSession& operator=(const UserSession&) = delete;

  // Starts the manager in `machine`/user@UID.service; ready() waits for it.
  // False with the reason in *err.
  bool start(const CgroupPath& machine, std::string* err);

  // Waits until the manager has finished starting up. False with the reason
  // (its own log) in *err.
  bool ready(std::string* err);

  RunResult systemctl(const std::vector<std::string>& args) const;  // systemctl --user ...
  // One property of `unit`, as "systemctl --user show --value" prints it.
  std::string property(const std::string& unit, const std::string& name) const;

  const Account& account() const { return account_; }

 private:
  RunResult runAs(const std::vector<std::string>& argv) const;

  Account account_;
  std::unique_ptr<AgentProcess> manager_;
};

}  // namespace kavri::testing

#endif  // KAVRI_TESTS_E2E_DESKTOP_USER_SESSION_H_
