#include "updater/update_trial.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <vector>

#include "platform/bundle.h"
#include "platform/child_process.h"
#include "platform/file_reader.h"
#include "platform/log.h"
#include "platform/unique_fd.h"
#include "updater/update_install.h"

namespace kavri {
namespace {

constexpr char kRecordName[] = "trial";
constexpr size_t kMaxRecordBytes = 4096;

// Small files written whole: a reader sees the old text or the new, never
// half of it.
bool writeRecord(const std::string& path, const std::string& text, std::string* err) {
  std::string part = path + ".part";
  UniqueFd fd(open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  bool written =
      fd.valid() && write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (!written || rename(part.c_str(), path.c_str()) != 0) {
    if (err) *err = "cannot write " + path + ": " + strerror(errno);
    unlink(part.c_str());
    return false;
  }
  return true;
}

// The record's lines; nullopt when it is missing, too large or unreadable.
std::optional<std::vector<std::string>> readRecord(const std::string& path) {
  std::string text;
  std::string err;
  bool whole = readFileInChunks(
      path,
      [&](const unsigned char* data, size_t size) {
        text.append(reinterpret_cast<const char*>(data), size);
        return text.size() <= kMaxRecordBytes;
      },
      &err);
  if (!whole) return std::nullopt;
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string failedRecordPath(const std::string& installedBundle) {
  return UpdateStaging::pathFor(installedBundle) + "-failed";
}

// The process's own trial, set once by settleUpdateTrial on the main thread
// before any other thread reads it.
struct ProcessTrial {
  std::optional<UpdateTrial> trial;
  std::atomic<bool> cameUp{false};  // read by whichever thread calls std::exit
};

ProcessTrial& processTrial() {
  static ProcessTrial* state = new ProcessTrial();
  return *state;
}

// Hands the process back to the previous version, which reports `why` when
// it starts. Returns only if that version cannot be started.
void rollBack(const std::string& why) {
  std::string executable = processTrial().trial->abandon(why);
  // The server goes first and quietly, as for any relaunch, so no child is
  // left for the previous version to trip over.
  stopChildProcessesForRelaunch();
  std::string err;
  execInPlace(executable, ownArguments(), &err);
  logLine("cannot start the previous version again: %s", err.c_str());
}

void rollBackAtExit() {
  if (processTrial().cameUp) return;
  rollBack("it exited before sending its first catalogue");
}

}  // namespace

UpdateTrial::UpdateTrial(std::string runningBundle) : runningBundle_(std::move(runningBundle)) {
  std::optional<std::string> replaced = UpdateStaging::installedPathForTrial(runningBundle_);
  if (replaced && readRecord(UpdateStaging::pathFor(*replaced) + "/" + kRecordName)) {
    onTrial_ = true;
    installedBundle_ = *replaced;
  } else {
    installedBundle_ = runningBundle_;
  }
  stagingDirectory_ = UpdateStaging::pathFor(installedBundle_);
}

std::optional<std::string> UpdateTrial::prepare(const std::string& stagedBundle,
                                                const std::string& installedBundle,
                                                const std::string& version, std::string* err) {
  std::string trialBundle = UpdateStaging::trialBundlePathFor(installedBundle);
  if (rename(stagedBundle.c_str(), trialBundle.c_str()) != 0) {
    if (err) *err = "cannot move the new bundle to " + trialBundle + ": " + strerror(errno);
    return std::nullopt;
  }
  std::string staging = UpdateStaging::pathFor(installedBundle);
  if (!writeRecord(staging + "/" + kRecordName, version + "\n", err)) return std::nullopt;
  // Checked by validateReplacement before it was moved.
  std::string name = bundleExecutableName(Bundle(trialBundle)).value_or("KavriDaemon");
  return Bundle(trialBundle).executablePath(name);
}

std::optional<std::string> UpdateTrial::takeFailure() {
  if (onTrial_) return std::nullopt;
  auto record = readRecord(stagingDirectory_ + "/" + kRecordName);
  if (!record || record->empty()) return std::nullopt;
  std::string version = (*record)[0];
  std::string why = record->size() > 1 ? (*record)[1] : "";
  removeTree(stagingDirectory_, nullptr);
  // Only a trial that came up moves its version here.
  if (Bundle(installedBundle_).infoString("CFBundleVersion") == version) return std::nullopt;
  writeRecord(failedRecordPath(installedBundle_), version + "\n", nullptr);
  if (why.empty()) why = "it crashed or was stopped before sending its first catalogue";
  return "version " + version + " did not come up and was rolled back: " + why;
}

bool UpdateTrial::commit(std::string* err) {
  if (!onTrial_) return true;
  if (!swapBundles(runningBundle_, installedBundle_, stagingDirectory_ + "/aside", err))
    return false;
  // From here the new version is the installed one, whatever else fails.
  unlink((stagingDirectory_ + "/" + kRecordName).c_str());
  removeTree(stagingDirectory_, nullptr);
  unlink(failedRecordPath(installedBundle_).c_str());
  onTrial_ = false;
  return true;
}

std::string UpdateTrial::abandon(const std::string& why) {
  std::string record = stagingDirectory_ + "/" + kRecordName;
  auto lines = readRecord(record);
  std::string version = lines && !lines->empty() ? (*lines)[0] : "";
  writeRecord(record, version + "\n" + why + "\n", nullptr);
  Bundle previous(installedBundle_);
  return previous.executablePath(bundleExecutableName(previous).value_or("KavriDaemon"));
}

void settleUpdateTrial(UpdaterDelegate& delegate) {
  const Bundle* bundle = Bundle::main();
  if (!bundle) return;
  UpdateTrial trial(bundle->path());
  if (!trial.onTrial()) {
    if (auto why = trial.takeFailure()) delegate.updaterDidAbortWithError(*why);
    processTrial().trial = std::move(trial);
    return;
  }
  processTrial().trial = std::move(trial);
  std::atexit(&rollBackAtExit);
}

void updateCameUp() {
  ProcessTrial& state = processTrial();
  if (!state.trial || !state.trial->onTrial() || state.cameUp) return;
  state.cameUp = true;
  // The server was started from the trial bundle and may still be looking
  // up its files there; it goes before the bundle moves, and the installed
  // version then starts afresh from its own place.
  stopChildProcessesForRelaunch();
  std::string why;
  if (!state.trial->commit(&why)) {
    state.cameUp = false;
    rollBack("it could not take the installed version's place: " + why);
    std::_Exit(1);  // still the new version, from the staging directory
  }
  Bundle installed(state.trial->installedBundle());
  execInPlace(installed.executablePath(bundleExecutableName(installed).value_or("KavriDaemon")),
              ownArguments(), &why);
  logLine("cannot start the installed update: %s", why.c_str());
  std::_Exit(1);
}

std::string installedBundlePath() {
  ProcessTrial& state = processTrial();
  if (state.trial) return state.trial->installedBundle();
  const Bundle* bundle = Bundle::main();
  return bundle ? bundle->path() : "";
}

std::optional<std::string> failedUpdateVersion(const std::string& installedBundle) {
  auto record = readRecord(failedRecordPath(installedBundle));
  if (!record || record->empty() || (*record)[0].empty()) return std::nullopt;
  return (*record)[0];
}

}  // namespace kavri
