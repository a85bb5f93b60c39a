#include "server/server_files_check.h"

#include <system_error>
#include <utility>

namespace kavri {

bool serverFilesAreIntact(const std::optional<std::string>& executable,
                          const std::optional<std::string>& script,
                          const unsigned char (&executableDigest)[kSha512Bytes],
                          const unsigned char (&scriptDigest)[kSha512Bytes]) {
  return validateHash(executable, executableDigest) && validateHash(script, scriptDigest);
}

ServerFilesCheck::ServerFilesCheck(std::optional<std::string> executable,
                                   std::optional<std::string> script,
                                   const unsigned char (&executableDigest)[kSha512Bytes],
                                   const unsigned char (&scriptDigest)[kSha512Bytes])
    : executable_(std::move(executable)),
      script_(std::move(script)),
      executableDigest_(executableDigest),
      scriptDigest_(scriptDigest) {
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    // Checked in intact() instead: slower, never skipped.
  }
}

ServerFilesCheck::~ServerFilesCheck() {
  if (thread_.joinable()) thread_.join();
}

void ServerFilesCheck::run() {
  intact_ = serverFilesAreIntact(executable_, script_, executableDigest_, scriptDigest_);
}

bool ServerFilesCheck::intact() {
  if (!done_) {
    if (thread_.joinable()) {
      thread_.join();
    } else {
      run();
    }
    done_ = true;
  }
  return intact_;
}

}  // namespace kavri
