#ifndef KAVRI_PLATFORM_USER_ACCOUNT_H_
#define KAVRI_PLATFORM_USER_ACCOUNT_H_

#include <optional>
#include <string>

namespace kavri {

// The login name of the account this process runs for (its real user), for
// tools that take a user name and must reach that account alone (killall
// -u). nullopt when the account has no name, or when that name would lead
// to another account. Any thread.
std::optional<std::string> currentUserName();

}  // namespace kavri

#endif  // KAVRI_PLATFORM_USER_ACCOUNT_H_
