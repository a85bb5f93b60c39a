#include "updater/update_install.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/unique_fd.h"
#include "updater/version_compare.h"

extern char** environ;

namespace kavri {
namespace {

constexpr size_t kMaxCommandLineBytes = 128 * 1024;

bool setError(std::string* err, const std::string& why) {
  if (err) *err = why;
  return false;
}

bool systemError(std::string* err, const std::string& what) {
  return setError(err, what + ": " + strerror(errno));
}

std::string parentOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseNameOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool renamed(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace

std::string UpdateStaging::pathFor(const std::string& runningBundlePath) {
  return parentOf(runningBundlePath) + "/." + baseNameOf(runningBundlePath) + ".update";
}

std::string UpdateStaging::trialBundlePathFor(const std::string& installedBundlePath) {
  return pathFor(installedBundlePath) + "/" + baseNameOf(installedBundlePath);
}

std::optional<std::string> UpdateStaging::installedPathForTrial(const std::string& bundlePath) {
  std::string staging = parentOf(bundlePath);
  std::string installed = parentOf(staging) + "/" + baseNameOf(bundlePath);
  if (bundlePath.empty() || trialBundlePathFor(installed) != bundlePath) return std::nullopt;
  return installed;
}

std::optional<UpdateStaging> UpdateStaging::create(const std::string& runningBundlePath,
                                                   std::string* err) {
  if (runningBundlePath.empty() || runningBundlePath.back() == '/') {
    setError(err, "no running bundle to update");
    return std::nullopt;
  }
  std::string path = pathFor(runningBundlePath);
  if (!removeTree(path, err)) return std::nullopt;
  if (mkdir(path.c_str(), 0700) != 0) {
    systemError(err, "cannot create " + path);
    return std::nullopt;
  }
  return UpdateStaging(path);
}

UpdateStaging::UpdateStaging(UpdateStaging&& other) noexcept : path_(std::move(other.path_)) {
  other.path_.clear();
}

UpdateStaging::~UpdateStaging() {
  if (!path_.empty()) removeTree(path_, nullptr);
}

bool canReplaceBundle(const std::string& bundlePath, std::string* err) {
  std::string parent = parentOf(bundlePath);
  // The effective ids decide, as they will for the renames.
  if (faccessat(AT_FDCWD, parent.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
    return systemError(err, parent + " is not writable by this user");
  if (faccessat(AT_FDCWD, bundlePath.c_str(), W_OK, AT_EACCESS) != 0)
    return systemError(err, bundlePath + " is not writable by this user");
  struct stat parentStat, bundleStat;
  if (stat(parent.c_str(), &parentStat) != 0 || stat(bundlePath.c_str(), &bundleStat) != 0)
    return systemError(err, "cannot inspect " + bundlePath);
  uid_t self = geteuid();
  if ((parentStat.st_mode & S_ISVTX) && self != 0 && parentStat.st_uid != self &&
      bundleStat.st_uid != self)
    return setError(err, parent + " is sticky and " + bundlePath + " is not this user's");
  return true;
}

bool removeTree(const std::string& path, std::string* err) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);  // removes links, never follows them
  if (ec) return setError(err, "cannot remove " + path + ": " + ec.message());
  return true;
}

std::optional<std::string> findUnpackedBundle(const std::string& directory, std::string* err) {
  std::error_code ec;
  std::optional<std::string> found;
  for (auto it = std::filesystem::directory_iterator(directory, ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    std::string name = it->path().filename();
    if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".app") != 0) continue;
    if (!it->is_directory(ec) || it->is_symlink(ec)) continue;
    if (found) {
      setError(err, "archive holds more than one bundle");
      return std::nullopt;
    }
    found = it->path().string();
  }
  if (ec) {
    setError(err, "cannot list the unpacked archive: " + ec.message());
    return std::nullopt;
  }
  if (!found) setError(err, "archive holds no bundle (*.app)");
  return found;
}

std::optional<std::string> bundleExecutableName(const Bundle& bundle) {
  std::string name = bundle.infoString("CFBundleExecutable").value_or("KavriDaemon");
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
    return std::nullopt;
  return name;
}

bool validateReplacement(const Bundle& candidate, const Bundle& running, std::string* err) {
  auto identifier = candidate.identifier();
  if (!identifier || identifier != running.identifier())
    return setError(err, "the update's CFBundleIdentifier (" + identifier.value_or("none") +
                             ") differs from ours (" + running.identifier().value_or("none") + ")");
  auto version = candidate.infoString("CFBundleVersion");
  auto current = running.infoString("CFBundleVersion").value_or("");
  if (!version || compareVersions(*version, current) <= 0)
    return setError(err, "the update's CFBundleVersion (" + version.value_or("none") +
                             ") is not newer than ours (" + current + ")");
  auto name = bundleExecutableName(candidate);
  if (!name) return setError(err, "the update names no valid executable");
  UniqueFd fd(open(candidate.executablePath(*name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  char magic[4] = {};
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || !(st.st_mode & S_IXUSR) ||
      pread(fd.get(), magic, sizeof magic, 0) != sizeof magic ||
      (memcmp(magic, "\x7f" "ELF", 4) != 0 && memcmp(magic, "#!", 2) != 0))
    return setError(err, "the update's executable is missing or not a program");
  return true;
}

bool swapBundles(const std::string& replacement, const std::string& running,
                 const std::string& aside, std::string* err, bool useExchange) {
  if (useExchange) {
    if (renameat2(AT_FDCWD, replacement.c_str(), AT_FDCWD, running.c_str(), RENAME_EXCHANGE) == 0)
      return true;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
      return systemError(err, "cannot swap in the new bundle");
  }
  // No atomic exchange here: for a moment nothing sits at `running`, and
  // every step is undone if the next fails.
  if (!renamed(running, aside)) return systemError(err, "cannot move the running bundle aside");
  if (!renamed(replacement, running)) {
    std::string why = strerror(errno);
    rename(aside.c_str(), running.c_str());
    return setError(err, "cannot move the new bundle into place: " + why);
  }
  if (!renamed(aside, replacement)) {
    std::string why = strerror(errno);
    rename(running.c_str(), replacement.c_str());
    rename(aside.c_str(), running.c_str());
    return setError(err, "cannot move the old bundle out of the way: " + why);
  }
  return true;
}

std::vector<std::string> ownArguments() {
  std::vector<std::string> arguments;
  UniqueFd fd(open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return arguments;
  std::string text;
  char buffer[4096];
  while (text.size() < kMaxCommandLineBytes) {
    ssize_t n = read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\0', start);
    if (end == std::string::npos) end = text.size();
    arguments.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return arguments;
}

bool execInPlace(const std::string& executable, const std::vector<std::string>& arguments,
                 std::string* err) {
  std::vector<char*> argv;
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  if (argv.empty()) argv.push_back(const_cast<char*>(executable.c_str()));
  argv.push_back(nullptr);
  // The mask of the calling thread survives exec; the new image starts with
  // every signal deliverable, as a fresh start would.
  sigset_t none, previous;
  sigemptyset(&none);
  pthread_sigmask(SIG_SETMASK, &none, &previous);
  execve(executable.c_str(), argv.data(), environ);
  int saved = errno;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = saved;
  return systemError(err, "cannot run " + executable);
}

}  // namespace kavri
