#include "updater/update_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>

#include <memory>
#include <optional>

#include "updater/appcast.h"
#include "platform/bundle.h"
#include "platform/unique_fd.h"
#include "updater/update_archive.h"
#include "updater/update_download.h"
#include "updater/update_install.h"
#include "updater/update_signature.h"
#include "updater/update_trial.h"
#include "updater/version_compare.h"

namespace kavri {
namespace {

constexpr uint64_t kMaxArchiveBytes = uint64_t{512} << 20;

std::string kernelRelease() {
  utsname names;
  return uname(&names) == 0 ? names.release : "";
}

// The immediate-installation offer: good for one call, and only while the
// delegate's callback runs.
struct InstallOffer {
  std::atomic<bool> armed{true};
  bool taken = false;
};

class UpdateCheck {
 public:
  UpdateCheck(const UpdateCheckSettings& settings, const UpdaterOptions& options,
              UpdaterDelegate* delegate, const std::atomic<bool>& cancel)
      : settings_(settings), options_(options), delegate_(delegate), cancel_(cancel),
        running_(options.bundlePath) {}

  // The reason the check installed nothing, or nullopt.
  std::optional<std::string> run() {
    auto current = running_.infoString("CFBundleVersion");
    if (!current) return "cannot check for updates: the running bundle has no CFBundleVersion";
    std::optional<AppcastItem> release;
    if (auto error = findRelease(*current, &release)) return error;
    UpdateItem item{release->url, release->version, release->shortVersion};
    if (delegate_) delegate_->updaterDidFindValidUpdate(item);
    if (!settings_.automaticallyDownloads) return std::nullopt;

    std::string why;
    auto staging = UpdateStaging::create(options_.bundlePath, &why);
    if (!staging) return "install failed: " + why;
    std::optional<std::string> bundlePath;
    if (auto error = fetchAndUnpack(*release, *staging, &bundlePath)) return error;
    return offer(item, *bundlePath);
  }

  bool relaunchFailed() const { return relaunchFailed_; }

 private:
  std::optional<std::string> findRelease(const std::string& current,
                                         std::optional<AppcastItem>* release) {
    if (settings_.feedURL.empty()) return "feed unreachable: no feed URL set";
    DownloadLimits limits;
    limits.maxBytes = kMaxAppcastBytes;
    limits.stallTimeout = options_.stallTimeout;
    limits.totalTimeout = std::chrono::seconds(120);
    std::string feed, why;
    if (!downloadToString(settings_.feedURL, limits, &feed, &cancel_, &why))
      return "feed unreachable: " + why;
    auto items = parseAppcast(feed, &why);
    if (!items) return "feed malformed: " + why;
    *release = bestAppcastItem(*items, current, kernelRelease());
    if (!*release) return "no update available: version " + current + " is the newest";
    // Installed again, it would fail again, and each time cost a download.
    auto failed = failedUpdateVersion(options_.bundlePath);
    if (failed && compareVersions(*failed, (*release)->version) == 0)
      return "update not installed: version " + *failed + " did not come up here before";
    return std::nullopt;
  }

  std::optional<std::string> fetchAndUnpack(const AppcastItem& release, const UpdateStaging& staging,
                                            std::optional<std::string>* bundlePath) {
    std::string publicKey = running_.infoString("SUPublicEDKey").value_or("");
    if (publicKey.empty()) return "signature cannot be checked: no SUPublicEDKey in Info.plist";
    if (release.edSignature.empty()) return "signature missing from the feed";

    std::string archivePath = staging.file("archive");
    UniqueFd archive(open(archivePath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!archive.valid()) return "install failed: cannot create " + archivePath;
    DownloadLimits limits;
    limits.maxBytes = std::min(release.length, kMaxArchiveBytes);
    limits.stallTimeout = options_.stallTimeout;
    std::string why;
    if (!downloadToFile(release.url, limits, archive.get(), &cancel_, &why))
      return "download failed: " + why;
    // Nothing of the archive is looked at before its signature holds.
    if (!verifyEdSignature(archive.get(), release.edSignature, publicKey, &why))
      return "signature wrong: " + why;

    std::string unpacked = staging.file("unpacked");
    if (mkdir(unpacked.c_str(), 0700) != 0) return "install failed: cannot create " + unpacked;
    if (!unpackArchive(archive.get(), unpacked, UnpackLimits(), &why)) return why;
    archive.reset();
    unlink(archivePath.c_str());

    *bundlePath = findUnpackedBundle(unpacked, &why);
    if (!*bundlePath) return "update rejected: " + why;
    if (!validateReplacement(Bundle(**bundlePath), running_, &why)) return "update rejected: " + why;
    return std::nullopt;
  }

  std::optional<std::string> offer(const UpdateItem& item, const std::string& stagedBundle) {
    auto state = std::make_shared<InstallOffer>();
    std::optional<std::string> installError;
    if (delegate_) {
      delegate_->updaterWillInstallUpdateOnQuit(item, [&, state] {
        if (!state->armed.exchange(false)) return;
        state->taken = true;
        installError = install(item, stagedBundle);
      });
    }
    state->armed = false;
    if (!state->taken) return "update not installed: installing at quit is not supported";
    return installError;
  }

  // The new version starts on trial from the staging directory; it takes
  // the running bundle's place itself once it has come up (update_trial.h).
  std::optional<std::string> install(const UpdateItem& item, const std::string& stagedBundle) {
    delegate_->updaterWillInstallUpdate(item);
    std::string version = Bundle(stagedBundle).infoString("CFBundleVersion").value_or("");
    std::string why;
    auto executable = UpdateTrial::prepare(stagedBundle, options_.bundlePath, version, &why);
    if (!executable) return "install failed: " + why;
    delegate_->updaterWillRelaunchApplication();
    if (options_.relaunch && options_.relaunch(*executable, &why)) return std::nullopt;
    // Nothing was installed; the staging directory goes with the check.
    relaunchFailed_ = true;
    return "install failed: cannot start the new version: " + why;
  }

  const UpdateCheckSettings& settings_;
  const UpdaterOptions& options_;
  UpdaterDelegate* delegate_;
  const std::atomic<bool>& cancel_;
  Bundle running_;
  bool relaunchFailed_ = false;
};

}  // namespace

UpdateCheckOutcome runUpdateCheck(const UpdateCheckSettings& settings, const UpdaterOptions& options,
                                  UpdaterDelegate* delegate, const std::atomic<bool>& cancel) {
  UpdateCheck check(settings, options, delegate, cancel);
  UpdateCheckOutcome outcome;
  outcome.error = check.run();
  outcome.relaunchFailed = check.relaunchFailed();
  return outcome;
}

}  // namespace kavri
