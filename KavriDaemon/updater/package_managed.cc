#include "updater/package_managed.h"

#include "platform/bundle.h"
#include "updater/update_install.h"

namespace kavri {

std::optional<std::string> packageManagedReason(const std::string& bundlePath) {
  if (bundlePath.empty()) return std::nullopt;
  std::string why;
  if (Bundle(bundlePath).isPackageManaged())
    why = bundlePath + " was installed by the package manager";
  else if (canReplaceBundle(bundlePath, &why))
    return std::nullopt;
  return "updates come from the package manager, not checking for updates: " + why;
}

}  // namespace kavri
