#ifndef KAVRI_SERVER_SERVER_LAUNCH_H_
#define KAVRI_SERVER_SERVER_LAUNCH_H_

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/child_process.h"
#include "platform/pipe_reader.h"
#include "platform/pipe.h"
#include "server/server_files_check.h"

namespace kavri {

// Steps 1 and 2 below begun: resolves Resources/kavri-node and
// Resources/daemon.js of the main bundle and starts checking them on a
// thread of their own, so that the caller can do other work meanwhile.
// Main thread.
ServerFilesCheck checkServerFiles();

// Verifies, starts and supervises the server; returns the write end of its
// standard-input pipe, for the handshake. In order:
//   1. resolves Resources/kavri-node and Resources/daemon.js of the main
//      bundle;
//   2. checks the executable against kavri_node_sha512 and only then the
//      script against daemon_js_sha512 (`check`, waited for); on any
//      mismatch (or a missing file) logs "validation failure" and ends the
//      process with status 0, before anything is started;
//   3. runs "/usr/bin/killall -u <this account's user name> kavri-node"
//      and waits for it (not for the processes it signals); when the name
//      cannot be found it logs so and signals nothing;
//   4. starts the server (startServer) with a termination handler that logs
//      "kavri-node died (%d), exiting" with the exit code or signal number
//      and ends the process with status 1 at once, from its own thread.
// When killall or the server cannot be started at all it logs why and ends
// the process with status 1. The server, its pipes and the output reader
// live for the rest of the process. Main thread; call once.
int launchServer(std::function<void()> checkForUpdates, ServerFilesCheck& check);

// The same, with the check begun here.
int launchServer(std::function<void()> checkForUpdates);

// A started server. Destroying it (tests only) disarms the termination
// handler, ends and reaps the server, stops the output reader and closes
// the input pipe.
struct StartedServer {
  UniqueFd input;                      // write end of the server's standard input
  std::unique_ptr<PipeReader> output;  // the output reader's thread
  std::unique_ptr<ChildProcess> process;
};

// Makes the input pipe, then the output pipe, and starts `executable` with
// `script` as its one argument, its standard input and output on the pipes
// and everything else inherited (see SpawnRequest). `onTermination` is
// armed before the start and runs on a thread of its own when the server
// ends. Then installs an OutputReader on the output pipe that calls
// `checkForUpdates` for each request the server makes, from the reader's thread.
// The agent's copies of the server's pipe ends are closed. Returns nullopt,
// with the reason in `err`, when the server cannot be started. Main thread.
std::optional<StartedServer> startServer(const std::string& executable, const std::string& script,
                                         std::function<void()> checkForUpdates,
                                         std::function<void(const ChildTermination&)> onTermination,
                                         std::string* err);

}  // namespace kavri

#endif  // KAVRI_SERVER_SERVER_LAUNCH_H_
