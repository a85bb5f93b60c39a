// Times the font catalogue against fc-list on this machine's installed fonts
// and prints the figures:
//   first scan      fresh font source, first full scan to the finished message
//   rescan          one font file added: the fonts brought up to date, scan to message
//   change latency  font copied into a watched directory -> catalogue written
//   rss             resident memory after each of ten rescans
//
// Usage: font_catalogue_bench [--trials N]
//        font_catalogue_bench --dump   writes the installed fonts' catalogue
//                                      message to standard output (see
//                                      compare_catalogue.py)
// It adds a private configuration that includes the system's and one extra
// font directory (FONTCONFIG_FILE), so the machine's own setup is untouched.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fonts/font_scanner.h"
#include "platform/font_set_notifier.h"
#include "platform/font_source.h"
#include "platform/fontconfig/installed_fonts.h"
#include "platform/log.h"
#include "platform/main_loop.h"
#include "server/channel.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// CPU time (user + system) of this process, or of its waited-for children.
double cpuMs(int who) {
  struct rusage usage;
  getrusage(who, &usage);
  auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// fc-list's wall time with the same configuration, output discarded; its
// CPU time goes to *cpu.
double timeFcList(double* cpu = nullptr) {
  double cpuBefore = cpuMs(RUSAGE_CHILDREN);
  Clock::time_point start = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    execlp("fc-list", "fc-list", ":", "file", "family", "style", "postscriptname", "weight",
           "width", "slant", "fontformat", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status;
  waitpid(pid, &status, 0);
  double wall = msSince(start);
  if (cpu) *cpu = cpuMs(RUSAGE_CHILDREN) - cpuBefore;
  return wall;
}

long rssKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

bool copyFile(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to + ".part", std::ios::binary);
  out << in.rdbuf();
  out.close();
  return in && out && rename((to + ".part").c_str(), to.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  int trials = 20;
  if (argc == 3 && strcmp(argv[1], "--trials") == 0) trials = atoi(argv[2]);
  if (argc == 2 && strcmp(argv[1], "--dump") == 0) {
    kavri::serverStdin = STDOUT_FILENO;
    kavri::FontScanner(kavri::FontSource::shared()).scanForFonts();
    return 0;
  }

  char base[] = "/tmp/kavri-bench-XXXXXX";
  if (!mkdtemp(base)) return 1;
  std::string dir = base;
  std::string userFonts = dir + "/fonts";
  mkdir(userFonts.c_str(), 0755);
  std::string conf = dir + "/fonts.conf";
  {
    std::ofstream out(conf);
    out << "<?xml version=\"1.0\"?>\n<!DOCTYPE fontconfig SYSTEM \"fonts.dtd\">\n<fontconfig>\n"
        << "  <include ignore_missing=\"yes\">/etc/fonts/fonts.conf</include>\n"
        << "  <dir>" << userFonts << "</dir>\n</fontconfig>\n";
  }
  setenv("FONTCONFIG_FILE", conf.c_str(), 1);
  const char* sample = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

  kavri::setLogSinkForTesting([](const std::string&) {});
  int out = open((dir + "/server-input").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  kavri::serverStdin = out;

  timeFcList();  // warm the caches for both sides
  std::vector<double> fcList, fcListCpu;
  for (int i = 0; i < 5; ++i) {
    double cpu;
    fcList.push_back(timeFcList(&cpu));
    fcListCpu.push_back(cpu);
  }
  double fc = median(fcList), fcCpu = median(fcListCpu);

  Clock::time_point start = Clock::now();
  double cpuStart = cpuMs(RUSAGE_SELF);
  kavri::FontScanner scanner(kavri::FontSource::shared());
  scanner.scanForFonts();
  double first = msSince(start);
  double firstCpu = cpuMs(RUSAGE_SELF) - cpuStart;
  size_t faces = kavri::FontSource::shared().availableFonts().size();
  off_t bytes = lseek(out, 0, SEEK_CUR);

  // The rescan the notifier makes after a file in a font directory changed:
  // that file read, then a full scan. A font
  // is added and removed in turn, so the set and the memory should stay put.
  std::vector<double> rescans, rescansCpu;
  std::vector<long> rss;
  std::string added = userFonts + "/added.ttf";
  for (int i = 0; i < 20; ++i) {
    if (i % 2 == 0) {
      copyFile(sample, added);
    } else {
      unlink(added.c_str());
    }
    start = Clock::now();
    cpuStart = cpuMs(RUSAGE_SELF);
    kavri::DirectoryChanges changes;
    changes[userFonts].names.insert("added.ttf");
    kavri::sharedInstalledFonts()->update(changes, /*everything=*/false);
    scanner.scanForFonts();
    if (i % 2 == 0) {
      rescans.push_back(msSince(start));
      rescansCpu.push_back(cpuMs(RUSAGE_SELF) - cpuStart);
      // fc-list timed alongside, so both see the same machine load.
      double cpu;
      fcList.push_back(timeFcList(&cpu));
      fcListCpu.push_back(cpu);
    }
    if (i % 2 == 1) rss.push_back(rssKb());
  }

  // Copy -> catalogue written, through the real watcher on the main loop.
  kavri::MainLoop& loop = kavri::MainLoop::shared();
  Clock::time_point copied;
  std::vector<double> latencies;
  bool arrived = false;
  kavri::FontSetNotifier::shared().addObserver([&] {
    scanner.fontSetChanged();
    latencies.push_back(msSince(copied));
    arrived = true;
    loop.stop();
  });
  for (int i = 0; i < trials; ++i) {
    arrived = false;
    copied = Clock::now();
    copyFile(sample, userFonts + "/watched-" + std::to_string(i) + ".ttf");
    loop.runAfter(std::chrono::seconds(15), [&] { loop.stop(); });
    loop.run();
    if (!arrived) printf("trial %d: no catalogue within 15 s\n", i);
  }

  printf("faces listed:                 %zu (message %lld bytes)\n", faces,
         static_cast<long long>(bytes));
  printf("fc-list (median of 5 before the first scan): %.1f ms wall, %.1f ms cpu\n", fc, fcCpu);
  printf(
      "first full scan:              %.1f ms wall (%.2fx fc-list), %.1f ms cpu (%.2fx); target <= "
      "3x\n",
      first, first / fc, firstCpu, firstCpu / fcCpu);
  // The fc-list runs interleaved with the rescans (the last 10).
  std::vector<double> fcAlong(fcList.end() - 10, fcList.end());
  std::vector<double> fcAlongCpu(fcListCpu.end() - 10, fcListCpu.end());
  printf("fc-list alongside the rescans: %.1f ms wall, %.1f ms cpu (medians of 10)\n",
         median(fcAlong), median(fcAlongCpu));
  printf(
      "rescan after one added font:  %.1f ms wall (%.2fx fc-list), %.1f ms cpu (%.2fx), "
      "medians of 10; target <= 0.5x\n",
      median(rescans), median(rescans) / median(fcAlong), median(rescansCpu),
      median(rescansCpu) / median(fcAlongCpu));
  printf("copy -> catalogue written:    %.0f ms median of %zu  (max %.0f ms, target <= 600)\n",
         median(latencies), latencies.size(),
         latencies.empty() ? 0 : *std::max_element(latencies.begin(), latencies.end()));
  printf("rss after each add+remove (kB):");
  for (long kb : rss) printf(" %ld", kb);
  printf("\n");

  std::string cleanup = "rm -rf '" + dir + "'";
  return system(cleanup.c_str()) == 0 ? 0 : 1;
}
