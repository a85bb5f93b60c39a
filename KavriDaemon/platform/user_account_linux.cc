#include "platform/user_account.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace kavri {
namespace {

// Beyond this an account entry is not one we trust.
constexpr size_t kMaxEntryBytes = 1 << 20;

// Calls `lookup(entry, buffer, size, result)` (getpwuid_r or getpwnam_r)
// with a buffer that grows until the entry fits; false when there is none.
template <typename Lookup>
bool lookUpAccount(Lookup lookup, passwd* entry, std::vector<char>* buffer) {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  buffer->resize(hint > 0 ? static_cast<size_t>(hint) : 1024);
  for (;;) {
    passwd* found = nullptr;
    int error = lookup(entry, buffer->data(), buffer->size(), &found);
    if (error == 0) return found != nullptr;
    if (error != ERANGE || buffer->size() >= kMaxEntryBytes) return false;
    buffer->resize(buffer->size() * 2);
  }
}

}  // namespace

std::optional<std::string> currentUserName() {
  uid_t self = getuid();
  passwd entry;
  std::vector<char> buffer;
  if (!lookUpAccount(
          [self](passwd* e, char* b, size_t n, passwd** r) { return getpwuid_r(self, e, b, n, r); },
          &entry, &buffer) ||
      !entry.pw_name || !*entry.pw_name)
    return std::nullopt;
  std::string name = entry.pw_name;
  // A tool looks the name up again: two accounts that share a name would
  // send it to the first of them, which may not be this one.
  passwd back;
  std::vector<char> backBuffer;
  if (!lookUpAccount([&name](passwd* e, char* b, size_t n,
                             passwd** r) { return getpwnam_r(name.c_str(), e, b, n, r); },
                     &back, &backBuffer) ||
      back.pw_uid != self)
    return std::nullopt;
  return name;
}

}  // namespace kavri
