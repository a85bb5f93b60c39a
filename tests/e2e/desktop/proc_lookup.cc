#include "proc_lookup.h"

#include <filesystem>
#include <set>
#include <sstream>

#include "test_util.h"

namespace kavri::testing {
namespace {

namespace fs = std::filesystem;

bool realUidIs(const std::string& status, uid_t uid) {
  for (const std::string& line : splitLines(status))
    if (line.rfind("Uid:", 0) == 0) {
      std::istringstream fields(line.substr(4));
      uid_t real;
      return fields >> real && real == uid;
    }
  return false;
}

std::set<std::string> socketInodes(pid_t pid) {
  std::set<std::string> inodes;
  std::error_code error;
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
       !error && it != end; it.increment(error)) {
    std::string target = fs::read_symlink(it->path(), error).string();
    if (!error && target.rfind("socket:[", 0) == 0 && target.back() == ']')
      inodes.insert(target.substr(8, target.size() - 9));
  }
  return inodes;
}

}  // namespace

std::vector<pid_t> processesOf(uid_t uid, const std::string& name) {
  std::vector<pid_t> result;
  std::error_code error;
  for (fs::directory_iterator it("/proc", error), end; !error && it != end; it.increment(error)) {
    std::string entry = it->path().filename();
    if (entry.find_first_not_of("0123456789") != std::string::npos) continue;
    if (readFile(it->path() / "comm") != name + "\n") continue;
    if (realUidIs(readFile(it->path() / "status"), uid)) result.push_back(std::stoi(entry));
  }
  return result;
}

int loopbackListenPort(pid_t pid) {
  std::set<std::string> inodes = socketInodes(pid);
  if (inodes.empty()) return 0;
  // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode
  for (const std::string& line : splitLines(readFile("/proc/net/tcp"))) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
        timeout >> inode;
    const std::string loopback = "0100007F:";
    if (state == "0A" && local.rfind(loopback, 0) == 0 && inodes.count(inode))
      return std::stoi(local.substr(loopback.size()), nullptr, 16);
  }
  return 0;
}

}  // namespace kavri::testing
