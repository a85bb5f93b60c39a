#ifndef KAVRI_UPDATER_PACKAGE_MANAGED_H_
#define KAVRI_UPDATER_PACKAGE_MANAGED_H_

#include <optional>
#include <string>

namespace kavri {

// The one line that answers every update check when the bundle at
// `bundlePath` is not the agent's to replace; nullopt when it is. It is not
// when the package manager installed it (Bundle::isPackageManaged), whoever
// runs the agent, root included, nor when this user cannot replace it
// (canReplaceBundle: someone else's install). Any thread.
std::optional<std::string> packageManagedReason(const std::string& bundlePath);

}  // namespace kavri

#endif  // KAVRI_UPDATER_PACKAGE_MANAGED_H_
