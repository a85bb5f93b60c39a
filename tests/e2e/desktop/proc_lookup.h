#ifndef KAVRI_TESTS_E2E_DESKTOP_PROC_LOOKUP_H_
#define KAVRI_TESTS_E2E_DESKTOP_PROC_LOOKUP_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace kavri::testing {

// The processes of real user `uid` whose command name is `name`, as this
// PID namespace's /proc lists them (zombies included).
std::vector<pid_t> processesOf(uid_t uid, const std::string& name);

// The TCP port `pid` listens on at 127.0.0.1, in this network namespace; 0
// when it listens on none.
int loopbackListenPort(pid_t pid);

}  // namespace kavri::testing

#endif  // KAVRI_TESTS_E2E_DESKTOP_PROC_LOOKUP_H_
