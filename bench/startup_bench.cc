// From the agent's start to the first catalogue received by its server, with
// the real Node.js runtime to verify, side by side with what it is made of:
// `openssl dgst -sha512` over both server files and one full font scan.
// Also prints the agent's resident memory once idle.
//
// Usage: build/bench/startup_bench [runs]   (uses this machine's fonts)

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "agent_process.h"
#include "fonts/font_scanner.h"
#include "platform/log.h"
#include "server/channel.h"
#include "test_util.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const std::string agent = KAVRI_BENCH_AGENT;
  const fs::path resources = fs::path(agent).parent_path().parent_path() / "Resources";
  const std::string node = resources / "kavri-node";
  const std::string script = resources / "daemon.js";

  // One full scan, in a fresh process as the agent's first scan is; its
  // skip lines are not the figures.
  kavri::setLogSinkForTesting([](const std::string&) {});
  kavri::serverStdin = open("/dev/null", O_WRONLY | O_CLOEXEC);
  auto scanStart = Clock::now();
  kavri::FontScanner().scanForFonts();
  double scanMs = millisecondsSince(scanStart);

  std::vector<double> digest, startup;
  long idleKiB = -1;
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    kavri::testing::RunResult dgst = kavri::testing::run({"/usr/bin/openssl", "dgst", "-sha512", node, script});
    digest.push_back(millisecondsSince(start));
    if (dgst.exitStatus != 0) {
      std::fprintf(stderr, "openssl dgst failed\n");
      return 1;
    }

    kavri::testing::TempDir dir;
    kavri::testing::AgentProcess::Options options;
    options.argv = {agent};
    options.env = {{"KAVRI_RECORD_DIR", dir.path()}};
    options.stderrPath = dir.file("agent.log");
    start = Clock::now();
    kavri::testing::AgentProcess process(options);
    const std::string received = dir.file("stdin");
    auto twoLines = [&] {
      std::string text = kavri::testing::readFile(received);
      return std::count(text.begin(), text.end(), '\n') >= 2;
    };
    // Polled finely: the figure is the time of the second line feed's arrival.
    while (!twoLines()) {
      if (millisecondsSince(start) > 60000 || !process.running()) {
        std::fprintf(stderr, "no catalogue arrived:\n%s\n", process.stderrText().c_str());
        return 1;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    startup.push_back(millisecondsSince(start));
    if (i == 0) {
      std::this_thread::sleep_for(std::chrono::seconds(2));
      idleKiB = residentKiB(process.pid());
    }
  }

  double budget = median(digest) + scanMs + 100.0;
  std::printf("server files: %.1f MB\n", (fs::file_size(node) + fs::file_size(script)) / 1e6);
  std::printf("openssl dgst -sha512 over both files: %.1f ms (median of %d)\n", median(digest), runs);
  std::printf("one full font scan:                  %.1f ms\n", scanMs);
  std::printf("budget (dgst + scan + 100 ms):       %.1f ms\n", budget);
  std::printf("agent start to first catalogue:      %.1f ms (median of %d) %s\n", median(startup), runs,
              median(startup) <= budget ? "within budget" : "OVER BUDGET");
  std::printf("agent resident memory once idle:     %.1f MiB\n", idleKiB / 1024.0);
  return 0;
}
