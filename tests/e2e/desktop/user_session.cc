#include "user_session.h"

#include <sys/stat.h>

namespace kavri::testing {
namespace {

constexpr char kPath[] = "PATH=/usr/local/bin:/usr/bin:/bin";

std::vector<std::string> asAccount(const Account& account) {
  return {"/usr/bin/setpriv",
          "--reuid=" + std::to_string(account.uid),
          "--regid=" + std::to_string(account.gid),
          "--init-groups",
          "/usr/bin/env",
          "-i",
          "HOME=" + account.home,
          "USER=" + account.name,
          "LOGNAME=" + account.name,
          "SHELL=/bin/sh",
          kPath,
          "XDG_RUNTIME_DIR=" + account.runtimeDirectory};
}

}  // namespace

bool UserSession::start(const CgroupPath& machine, std::string* err) {
  CgroupPath own = machine.child("user@" + std::to_string(account_.uid) + ".service");
  if (!own.create(account_.uid, err)) return false;
  AgentProcess::Options options;
  options.argv = asAccount(account_);
  options.argv.insert(options.argv.end(),
                      {"SYSTEMD_LOG_TARGET=journal", "/lib/systemd/systemd", "--user"});
  options.argv = own.commandInside(options.argv);
  options.asServiceManagerChild = false;
  options.stderrPath =
      std::string(kPrivateMachineDirectory) + "/user@" + std::to_string(account_.uid) + ".log";
  manager_ = std::make_unique<AgentProcess>(options);
  return true;
}

bool UserSession::ready(std::string* err) {
  std::string state;
  bool started = waitUntil(
      [&] {
        if (!manager_->running()) return true;
        struct stat status;
        if (stat((account_.runtimeDirectory + "/systemd/private").c_str(), &status) != 0)
          return false;
        state = systemctl({"is-system-running"}).out;
        return state == "running\n" || state == "degraded\n";
      },
      std::chrono::seconds(60));
  if (started && manager_->running()) return true;
  *err = account_.name + "'s service manager did not start (state \"" + state +
         "\"): " + manager_->stderrText();
  return false;
}

RunResult UserSession::systemctl(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {"/usr/bin/systemctl", "--user", "--no-pager"};
  argv.insert(argv.end(), args.begin(), args.end());
  return runAs(argv);
}

std::string UserSession::property(const std::string& unit, const std::string& name) const {
  std::string value = systemctl({"show", "--value", "--property=" + name, unit}).out;
  if (!value.empty() && value.back() == '\n') value.pop_back();
  return value;
}

RunResult UserSession::runAs(const std::vector<std::string>& argv) const {
  std::vector<std::string> full = asAccount(account_);
  full.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + account_.runtimeDirectory + "/bus");
  full.insert(full.end(), argv.begin(), argv.end());
  return run(full);
}

}  // namespace kavri::testing
