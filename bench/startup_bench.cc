// Start-up at its floor. What a start cannot avoid, run one after another:
// listing the fonts (fc-list of the fields the agent asks for), the SHA-512
// of both server files (openssl dgst), one killall run as the agent runs
// it, and the server's own start (its exec to the two lines it was handed
// on its input arriving where it records them). Beside their sum, the agent
// from its exec to its first catalogue at its server. For each library size
// (this machine's fonts plus a folder of hard links to them, as
// bench/scale_bench makes) and each server: the real Node.js runtime with
// the recording script, and a small one (a shell that copies its input).
// Each run measures the parts and the agent side by side, so that both see
// the same load on this shared machine; figures are medians with ranges.
//
// Usage: startup_bench [--sizes 2000,50000] [--runs 5]
//
// Everything happens under a private HOME in a directory under $TMPDIR that
// is removed at the end (see bench/private_font_home.h), in a PID namespace
// of its own (bench/own_pid_namespace.h), so the killall, the agent's and
// the one timed, sees only this bench's servers.

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent_process.h"
#include "own_pid_namespace.h"
#include "private_font_home.h"
#include "recorded_lines.h"
#include "test_util.h"

extern char** environ;

namespace kavri::bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kTimeout{300'000};

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

std::string summary(const std::vector<double>& values) {
  if (values.empty()) return "-";
  auto [low, high] = std::minmax_element(values.begin(), values.end());
  char text[64];
  std::snprintf(text, sizeof text, "%.1f (%.1f-%.1f)", median(values), *low, *high);
  return text;
}

// A command run to its end, its output collected; its wall time in ms. Any
// exit status counts: killall that finds nothing to signal says so with 1.
double timeCommand(const std::vector<std::string>& argv) {
  Clock::time_point start = Clock::now();
  testing::run(argv);
  return msSince(start);
}

std::string userName() {
  struct passwd* user = getpwuid(geteuid());
  return user ? user->pw_name : "root";
}

// A server bundle's executable and script, started as the agent starts
// them, with the handshake and a catalogue already waiting on its input:
// from its exec to both lines at the recorder. nullopt when they never
// arrive.
std::optional<double> timeServerStart(const std::string& resources) {
  testing::TempDir dir;
  RecordedLines lines(dir.path());
  int input[2];
  if (pipe2(input, O_CLOEXEC) != 0) return std::nullopt;
  const std::string handed = "handshake\n{}\n";
  if (write(input[1], handed.data(), handed.size()) != static_cast<ssize_t>(handed.size()))
    return std::nullopt;
  std::string record = "KAVRI_RECORD_DIR=" + dir.path();
  std::vector<std::string> env = {record};
  for (char** e = environ; *e; ++e)
    if (std::string(*e).rfind("KAVRI_RECORD_DIR=", 0) != 0) env.push_back(*e);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string node = resources + "/kavri-node", script = resources + "/daemon.js";
  char* argv[] = {node.data(), script.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  Clock::time_point start = Clock::now();
  int spawned = posix_spawn(&pid, node.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(input[0]);
  std::optional<RecordedLines::Line> second =
      spawned == 0 ? lines.waitFor(2, kTimeout) : std::nullopt;
  close(input[1]);  // the server ends with its input
  if (spawned == 0) {
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (!second) return std::nullopt;
  return std::chrono::duration<double, std::milli>(second->arrived - start).count();
}

// The agent in `bundle` from its exec to its first catalogue at its
// server, and its resident memory then. nullopt when it never came.
struct AgentStart {
  double ms = 0;
  size_t faces = 0;
  long residentKiB = -1;
};

long residentKiB(pid_t pid) {
  std::istringstream status(testing::readFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// The agent running now, for the interrupt handler (see scratchRoot), set
// while a LiveAgent lives.
volatile sig_atomic_t liveAgent = 0;

struct LiveAgent {
  explicit LiveAgent(pid_t pid) { liveAgent = pid; }
  ~LiveAgent() { liveAgent = 0; }
  LiveAgent(const LiveAgent&) = delete;
  LiveAgent& operator=(const LiveAgent&) = delete;
};

std::optional<AgentStart> timeAgentStart(const std::string& executable, bool idleMemory) {
  testing::TempDir dir;
  RecordedLines lines(dir.path());
  testing::AgentProcess::Options options;
  options.argv = {executable};
  options.env = {{"KAVRI_RECORD_DIR", dir.path()}};
  options.stderrPath = dir.file("agent.log");
  Clock::time_point start = Clock::now();
  testing::AgentProcess agent(options);
  LiveAgent live(agent.pid());
  std::optional<RecordedLines::Line> catalogue = lines.waitFor(2, kTimeout);
  if (!catalogue) {
    std::fprintf(stderr, "no first catalogue from the agent:\n%s\n", agent.stderrText().c_str());
    return std::nullopt;
  }
  AgentStart result;
  result.ms = std::chrono::duration<double, std::milli>(catalogue->arrived - start).count();
  result.faces = catalogue->faces;
  if (idleMemory) {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    result.residentKiB = residentKiB(agent.pid());
  }
  return result;
}

struct Server {
  std::string name;
  std::string executable;  // the agent of a bundle around it
  std::string resources() const {
    return fs::path(executable).parent_path().parent_path().string() + "/Resources";
  }
};

struct Column {
  size_t faces = 0;
  std::string server;
  std::vector<double> fcList, digest, killall, serverStart, sum, agent, ratio;
  long residentKiB = -1;
};

bool measure(const Server& server, int runs, Column* column) {
  const std::string resources = server.resources();
  for (int i = 0; i < runs; ++i) {
    double fcList = timeCommand(fcListOfTheAgentsFields());
    double digest = timeCommand(
        {"/usr/bin/openssl", "dgst", "-sha512", resources + "/kavri-node", resources + "/daemon.js"});
    double killall = timeCommand({"/usr/bin/killall", "-u", userName(), "kavri-node"});
    std::optional<double> serverStart = timeServerStart(resources);
    std::optional<AgentStart> agent = timeAgentStart(server.executable, i == 0);
    if (!serverStart || !agent) return false;
    double sum = fcList + digest + killall + *serverStart;
    column->fcList.push_back(fcList);
    column->digest.push_back(digest);
    column->killall.push_back(killall);
    column->serverStart.push_back(*serverStart);
    column->sum.push_back(sum);
    column->agent.push_back(agent->ms);
    column->ratio.push_back(agent->ms / sum);
    if (i == 0) column->residentKiB = agent->residentKiB;
    column->faces = agent->faces;
  }
  return true;
}

void print(const std::vector<Column>& columns, int runs) {
  std::vector<std::pair<std::string, std::vector<std::string>>> rows;
  auto row = [&](const std::string& label, auto cell) {
    std::vector<std::string> cells;
    for (const Column& c : columns) cells.push_back(cell(c));
    rows.push_back({label, cells});
  };
  row("faces in the catalogue, server", [](const Column& c) {
    return std::to_string(c.faces) + ", " + c.server;
  });
  row("fc-list, same fields, ms", [](const Column& c) { return summary(c.fcList); });
  row("openssl dgst -sha512 of both files, ms", [](const Column& c) { return summary(c.digest); });
  row("killall -u USER kavri-node, ms", [](const Column& c) { return summary(c.killall); });
  row("server's own start, ms", [](const Column& c) { return summary(c.serverStart); });
  row("sum of the four, ms", [](const Column& c) { return summary(c.sum); });
  row("agent exec -> first catalogue, ms", [](const Column& c) { return summary(c.agent); });
  row("agent / sum, target <= 1.2x", [](const Column& c) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2fx (%.2f-%.2f)", median(c.ratio),
                  *std::min_element(c.ratio.begin(), c.ratio.end()),
                  *std::max_element(c.ratio.begin(), c.ratio.end()));
    return std::string(text);
  });
  row("agent resident memory 2 s later, MiB", [](const Column& c) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", c.residentKiB / 1024.0);
    return std::string(text);
  });

  size_t labelWidth = 0;
  std::vector<size_t> widths(columns.size(), 0);
  for (auto& [label, cells] : rows) {
    labelWidth = std::max(labelWidth, label.size());
    for (size_t i = 0; i < cells.size(); ++i) widths[i] = std::max(widths[i], cells[i].size());
  }
  double load[3] = {0, 0, 0};
  getloadavg(load, 3);
  std::printf("runs %d; load average at the end %.2f %.2f %.2f; %u cores\n", runs, load[0],
              load[1], load[2], std::thread::hardware_concurrency());
  for (auto& [label, cells] : rows) {
    std::printf("%-*s", static_cast<int>(labelWidth), label.c_str());
    for (size_t i = 0; i < cells.size(); ++i)
      std::printf("  %*s", static_cast<int>(widths[i]), cells[i].c_str());
    std::printf("\n");
  }
}

}  // namespace
}  // namespace kavri::bench

int main(int argc, char** argv) {
  using namespace kavri::bench;
  std::vector<size_t> sizes = {2000, 50000};
  int runs = 5;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--sizes" && i + 1 < argc) {
      sizes.clear();
      std::istringstream list(argv[++i]);
      for (std::string size; std::getline(list, size, ',');)
        if (std::atol(size.c_str()) > 0) sizes.push_back(std::atol(size.c_str()));
    } else if (arg == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: %s [--sizes 2000,50000] [--runs N]\n", argv[0]);
      return 2;
    }
  }
  if (std::optional<int> status = rerunInOwnPidNamespace(argc, argv)) return *status;
  std::string root = scratchRoot("kavri-startup", &liveAgent);
  if (root.empty()) return 1;

  const Server servers[] = {{"node", KAVRI_BENCH_AGENT}, {"small", KAVRI_BENCH_SMALL_AGENT}};
  PrivateFontHome home(root);
  std::vector<Column> columns;
  std::string err;
  bool ok = home.prepare(&err);
  for (size_t size : sizes) {
    if (!ok) break;
    std::fprintf(stderr, "== about %zu faces\n", size);
    ok = home.growTo(size, &err);
    if (ok && kavri::testing::run({"/usr/bin/fc-cache", "-f", home.fonts()}).exitStatus != 0) {
      err = "fc-cache failed";
      ok = false;
    }
    for (const Server& server : servers) {
      if (!ok) break;
      Column column;
      column.server = server.name;
      ok = measure(server, runs, &column);
      if (ok) columns.push_back(column);
    }
  }
  if (!ok && !err.empty()) std::fprintf(stderr, "%s\n", err.c_str());
  if (!columns.empty()) print(columns, runs);
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
  return ok ? 0 : 1;
}
