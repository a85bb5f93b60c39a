#ifndef KAVRI_SERVER_SERVER_FILES_CHECK_H_
#define KAVRI_SERVER_SERVER_FILES_CHECK_H_

#include <optional>
#include <string>
#include <thread>

#include "server/validate_hash.h"

namespace kavri {

// The server's files checked against their stored digests on a thread of
// their own: hashing the ~100 MB executable is the longest step of the
// start, and the start-up does independent work (listing the fonts) while
// it runs. Nothing is started on the files' account before intact() has
// said they pass.
class ServerFilesCheck {
 public:
  // Starts checking `executable` against `executableDigest` and, only if
  // that holds, `script` against `scriptDigest` (serverFilesAreIntact). The
  // digests must outlive the check. Where no thread can be started, the
  // check runs in intact() instead.
  ServerFilesCheck(std::optional<std::string> executable, std::optional<std::string> script,
                   const unsigned char (&executableDigest)[kSha512Bytes],
                   const unsigned char (&scriptDigest)[kSha512Bytes]);
  ~ServerFilesCheck();  // waits for the check
  ServerFilesCheck(const ServerFilesCheck&) = delete;
  ServerFilesCheck& operator=(const ServerFilesCheck&) = delete;

  // Waits for the check: true when both files are intact. The thread that
  // made the check, after which the check holds no thread.
  bool intact();

  const std::optional<std::string>& executable() const { return executable_; }
  const std::optional<std::string>& script() const { return script_; }

 private:
  void run();

  const std::optional<std::string> executable_;
  const std::optional<std::string> script_;
  const unsigned char (&executableDigest_)[kSha512Bytes];
  const unsigned char (&scriptDigest_)[kSha512Bytes];
  bool intact_ = false;  // written by the check, read once it is joined
  bool done_ = false;    // owner's thread only
  std::thread thread_;   // last: starts once everything above is set
};

// Whether the executable is intact and then, only if it is, the script: the
// script is not read at all when the executable fails. Any thread.
bool serverFilesAreIntact(const std::optional<std::string>& executable,
                          const std::optional<std::string>& script,
                          const unsigned char (&executableDigest)[kSha512Bytes],
                          const unsigned char (&scriptDigest)[kSha512Bytes]);

}  // namespace kavri

#endif  // KAVRI_SERVER_SERVER_FILES_CHECK_H_
