#include "server/server_launch.h"

#include <cstdlib>

#include "platform/bundle.h"
#include "platform/log.h"
#include "platform/user_account.h"
#include "server/credentials.h"
#include "server/output_reader.h"

namespace kavri {
namespace {

constexpr char kKillall[] = "/usr/bin/killall";
constexpr char kServerName[] = "kavri-node";
constexpr char kScriptName[] = "daemon.js";

std::optional<std::string> resourcePath(const char* name) {
  const Bundle* bundle = Bundle::main();
  return bundle ? bundle->pathForResource(name) : std::nullopt;
}

// Ends servers left by an earlier agent of this account; never another
// account's, which root could end and anyone else would fill the log
// refusing to. Without a name to give killall there is no telling them
// apart, so nothing is signalled.
void endStaleServers() {
  std::optional<std::string> user = currentUserName();
  if (!user) {
    logLine("cannot find this account's user name, not ending stale servers");
    return;
  }
  std::string err;
  if (!runAndWait(kKillall, {"-u", *user, kServerName}, nullptr, &err)) {
    logLine("cannot run %s: %s, exiting", kKillall, err.c_str());
    std::exit(1);
  }
}

void serverDied(const ChildTermination& termination) {
  logLine("kavri-node died (%d), exiting", termination.status);
  // Not exit(): static destructors would run under the other threads' feet.
  std::_Exit(1);
}

}  // namespace

std::optional<StartedServer> startServer(const std::string& executable, const std::string& script,
                                         std::function<void()> checkForUpdates,
                                         std::function<void(const ChildTermination&)> onTermination,
                                         std::string* err) {
  Pipe input, output;
  if (!createPipe(&input, err) || !createPipe(&output, err)) return std::nullopt;

  SpawnRequest request;
  request.path = executable;
  request.arguments = {script};
  request.stdinFd = input.readEnd.get();
  request.stdoutFd = output.writeEnd.get();
  StartedServer server;
  server.process = ChildProcess::spawn(request, std::move(onTermination), err);
  if (!server.process) return std::nullopt;
  // Only the server may hold these, so that each side sees the other's end.
  input.readEnd.reset();
  output.writeEnd.reset();

  auto reader = std::make_shared<OutputReader>(std::move(checkForUpdates));
  server.output = PipeReader::start(
      std::move(output.readEnd), [reader](std::string_view chunk) { reader->consume(chunk); }, err);
  if (!server.output) return std::nullopt;
  server.input = std::move(input.writeEnd);
  return server;
}

ServerFilesCheck checkServerFiles() {
  return ServerFilesCheck(resourcePath(kServerName), resourcePath(kScriptName), kavri_node_sha512,
                          daemon_js_sha512);
}

int launchServer(std::function<void()> checkForUpdates) {
  ServerFilesCheck check = checkServerFiles();
  return launchServer(std::move(checkForUpdates), check);
}

int launchServer(std::function<void()> checkForUpdates, ServerFilesCheck& check) {
  if (!check.intact()) {
    logLine("validation failure");
    std::exit(0);
  }

  endStaleServers();

  std::string err;
  std::optional<StartedServer> started =
      startServer(*check.executable(), *check.script(), std::move(checkForUpdates), serverDied,
                  &err);
  if (!started) {
    logLine("cannot start kavri-node: %s, exiting", err.c_str());
    std::exit(1);
  }
  // The server, its pipes and its reader are never torn down: the agent
  // ends with the server.
  static StartedServer* running = new StartedServer(std::move(*started));
  return running->input.get();
}

}  // namespace kavri
