#include "cgroup_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "agent_process.h"
#include "test_util.h"

namespace kavri::testing {
namespace {

namespace fs = std::filesystem;

// Where each tracked hierarchy is mounted, with this process's cgroup in it.
std::vector<std::string> ownCgroupDirectories() {
  std::string unified, named;
  for (const std::string& line : splitLines(readFile("/proc/self/cgroup"))) {
    if (line.rfind("0::", 0) == 0) unified = line.substr(3);
    size_t at = line.find(":name=systemd:");
    if (at != std::string::npos) named = line.substr(at + 14);
  }
  std::vector<std::string> result;
  for (const std::string& line : splitLines(readFile("/proc/self/mounts"))) {
    std::istringstream fields(line);
    std::string device, where, type, options;
    fields >> device >> where >> type >> options;
    if (type == "cgroup2" && !unified.empty()) result.push_back(where + unified);
    if (type == "cgroup" && ("," + options + ",").find(",name=systemd,") != std::string::npos &&
        !named.empty())
      result.push_back(where + named);
  }
  return result;
}

std::string trimmedSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

CgroupPath::CgroupPath(const std::string& belowOwn) {
  for (const std::string& own : ownCgroupDirectories())
    directories_.push_back(trimmedSlash(own) + "/" + belowOwn);
}

CgroupPath CgroupPath::child(const std::string& name) const {
  CgroupPath result;
  for (const std::string& directory : directories_)
    result.directories_.push_back(directory + "/" + name);
  return result;
}

bool CgroupPath::create(uid_t owner, std::string* err) const {
  if (directories_.empty()) {
    *err = "no cgroup hierarchy that systemd tracks processes in is mounted";
    return false;
  }
  for (const std::string& directory : directories_) {
    if (mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) {
      *err = "cannot make " + directory + ": " + strerror(errno);
      return false;
    }
    for (const char* name :
         {"", "/cgroup.procs", "/cgroup.threads", "/cgroup.subtree_control", "/tasks"}) {
      std::string path = directory + name;
      if (access(path.c_str(), F_OK) == 0 &&
          chown(path.c_str(), owner, static_cast<gid_t>(-1)) != 0) {
        *err = "cannot hand " + path + " over: " + strerror(errno);
        return false;
      }
    }
  }
  return true;
}

bool CgroupPath::add(pid_t pid, std::string* err) const {
  for (const std::string& directory : directories_) {
    std::string file = directory + "/cgroup.procs";
    std::ofstream procs(file);
    procs << pid << std::flush;
    if (!procs) {
      *err = "cannot move process " + std::to_string(pid) + " into " + directory;
      return false;
    }
  }
  return true;
}

std::vector<std::string> CgroupPath::commandInside(const std::vector<std::string>& argv) const {
  std::string script;
  for (const std::string& directory : directories_)
    script += "echo 0 > '" + directory + "/cgroup.procs' || exit 125; ";
  std::vector<std::string> result = {"/bin/sh", "-c", script + "exec \"$@\"", "sh"};
  result.insert(result.end(), argv.begin(), argv.end());
  return result;
}

bool CgroupPath::removeTree(std::string* err) const {
  auto removeAll = [&] {
    std::vector<std::string> cgroups;
    for (const std::string& directory : directories_) {
      std::error_code error;
      if (!fs::exists(directory, error)) continue;
      cgroups.push_back(directory);
      for (fs::recursive_directory_iterator it(directory, error), end; !error && it != end;
           it.increment(error))
        if (it->is_directory(error)) cgroups.push_back(it->path());
    }
    // Deepest first: a cgroup goes only once it has no children.
    std::sort(cgroups.begin(), cgroups.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    err->clear();
    for (const std::string& cgroup : cgroups)
      if (rmdir(cgroup.c_str()) != 0 && errno != ENOENT)
        *err += cgroup + ": " + strerror(errno) + "\n";
    return err->empty();
  };
  return waitUntil(removeAll, std::chrono::seconds(10));
}

}  // namespace kavri::testing
