// How the agent's costs grow with the font library. For each library size
// (about 2,000, 10,000 and 50,000 faces: this machine's fonts plus a folder
// of hard links to them) it runs the whole agent, as its service manager
// would, with the recording server as its server, and prints one table with
// the sizes side by side:
//   - a font copied into the library folder -> the new catalogue at the
//     server, and the same into an empty folder; a font removed; a font
//     manager's rule (a fontconfig configuration file) written and removed,
//     one by path and one by family name;
//   - an archive of 3,000 small fonts unpacked into the user's folder and
//     removed again: the catalogues each sends;
//   - the agent's start (exec) to its first catalogue at the server, beside
//     `fc-list` of the fields the agent asks for plus `openssl dgst -sha512`
//     of the two server files, which is the work it cannot avoid;
//   - a rescan after one added file, from the scan's start (its "font
//     scanner found" log line) to the message at the server, beside fc-list;
//   - what the agent holds (resident memory, threads, descriptors) when
//     idle, after its first minute (the delayed update start), and after
//     many changes (--changes, 10000 for a long run), with the p50 and p99
//     of those changes; the same agent with an update feed that offers
//     nothing newer, before the updater's start and after its first check.
//     No setting shortens the minute, so each run waits for it;
//   - the companion server with a catalogue of the same size
//     (bench/companion_catalogue.js);
//   - context switches of every agent thread while idle.
// Times are medians over the trials, with the range in brackets.
//
// Usage: scale_bench [--sizes 2000,10000,50000] [--trials 5] [--changes 100]
//                    [--idle-seconds 20] [--no-companion] [--no-unpack] [--no-feed]
//                    [--agent OTHER/KavriDaemon.app/Contents/MacOS/KavriDaemon]
//
// Everything happens under a private HOME (and XDG directories, and a
// fontconfig configuration that includes the system's with a private cache
// directory first), in a directory under $TMPDIR that is removed at the end,
// also on Ctrl-C. The library links to one copy of each installed font
// there (about 0.5 GB with `scripts/deps bench`), never to the installed
// files, which stay as they were. The bench runs in a PID namespace of its
// own (bench/own_pid_namespace.h), where the agents' killall reaches only
// its own servers.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent_process.h"
#include "font_library.h"
#include "own_pid_namespace.h"
#include "private_font_home.h"
#include "recorded_lines.h"
#include "support/update_test_support.h"
#include "test_util.h"

namespace kavri::bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using WallClock = std::chrono::system_clock;
using std::chrono::milliseconds;

constexpr char kSampleFont[] = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
// A change at 50,000 faces took about 10 s before the catalogue became
// incremental; the quiet period alone may last 10 s.
constexpr milliseconds kChangeTimeout{180'000};
constexpr milliseconds kStartTimeout{300'000};
// The delayed update start runs a minute after start-up; the idle window
// comes after it, since it is a one-off and not idling.
constexpr std::chrono::seconds kUpdaterStart{62};
// An archive of fonts unpacked into the user's folder at once, and removed.
constexpr size_t kArchiveFonts = 3000;
// A catalogue later than this after the last one counts as another change's.
constexpr milliseconds kQuietAfterBurst{3000};

struct Options {
  std::vector<size_t> sizes = {2000, 10000, 50000};
  int trials = 5;
  int changes = 100;
  int idleSeconds = 20;
  // Another build's agent (a bundle around the recording server), to
  // compare with.
  std::string agent = KAVRI_BENCH_AGENT;
  bool companion = true;
  bool unpack = true;  // the 3,000-font archive
  bool feed = true;    // the agent again, with an update feed
};

double msBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

double msSince(Clock::time_point from) { return msBetween(from, Clock::now()); }

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

std::string format(const char* pattern, double value) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

// "412 (398-530)": the median and the range.
std::string summary(const std::vector<double>& values, const char* pattern = "%.0f") {
  if (values.empty()) return "-";
  auto [low, high] = std::minmax_element(values.begin(), values.end());
  if (values.size() == 1) return format(pattern, values[0]);
  return format(pattern, median(values)) + " (" + format(pattern, *low) + "-" + format(pattern, *high) + ")";
}

std::string ratio(double value, double base) {
  return base > 0 ? format("%.2fx", value / base) : "-";
}

// What the process holds, from /proc/PID: resident memory (total and
// anonymous), threads and descriptors.
struct Resident {
  long kib = -1;
  long anonKib = -1;
  long threads = -1;
  long descriptors = -1;
};

Resident resident(pid_t pid) {
  Resident r;
  std::string proc = "/proc/" + std::to_string(pid);
  std::istringstream status(testing::readFile(proc + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) r.kib = std::atol(line.c_str() + 6);
    if (line.rfind("RssAnon:", 0) == 0) r.anonKib = std::atol(line.c_str() + 8);
    if (line.rfind("Threads:", 0) == 0) r.threads = std::atol(line.c_str() + 8);
  }
  std::error_code ec;
  fs::directory_iterator fds(proc + "/fd", ec);
  if (!ec) r.descriptors = std::distance(fds, fs::directory_iterator());
  return r;
}

// The value below which `share` of the values lie.
double percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t at = static_cast<size_t>(share * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

std::string megabytes(long kib) { return kib < 0 ? "-" : format("%.1f", kib / 1024.0); }

// "12.3 MB, 3 thr, 17 fds".
std::string holdings(const Resident& r) {
  if (r.kib < 0) return "-";
  return megabytes(r.kib) + " MB, " + std::to_string(r.threads) + " thr, " +
         std::to_string(r.descriptors) + " fds";
}

// Context switches so far of each of the process's threads, by thread id:
// its name and voluntary plus involuntary switches.
std::map<pid_t, std::pair<std::string, long>> threadSwitches(pid_t pid) {
  std::map<pid_t, std::pair<std::string, long>> threads;
  std::error_code ec;
  for (auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::istringstream status(testing::readFile(task.path() / "status"));
    std::string name;
    long switches = 0;
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("Name:", 0) == 0) name = line.substr(line.find_first_not_of(" \t", 5));
      if (line.find("ctxt_switches:") != std::string::npos)
        switches += std::atol(line.c_str() + line.find(':') + 1);
    }
    threads[std::atoi(task.path().filename().c_str())] = {name, switches};
  }
  return threads;
}

// The wall-clock times of the agent's log lines that contain `text`; the
// log stamps each line "YYYY-MM-DD HH:MM:SS.mmm" in local time.
std::vector<WallClock::time_point> logTimes(const std::string& log, const std::string& text) {
  std::vector<WallClock::time_point> times;
  for (const std::string& line : testing::splitLines(log)) {
    if (line.find(text) == std::string::npos || line.size() < 23) continue;
    struct tm local = {};
    const char* rest = strptime(line.c_str(), "%Y-%m-%d %H:%M:%S", &local);
    if (!rest || *rest != '.') continue;
    local.tm_isdst = -1;
    time_t seconds = mktime(&local);
    times.push_back(WallClock::from_time_t(seconds) + milliseconds(std::atoi(rest + 1)));
  }
  return times;
}

double msBetween(WallClock::time_point from, WallClock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// A command run to its end with its output collected, as a user would run
// it; its wall time in ms, or nullopt when it failed.
std::optional<double> timeCommand(const std::vector<std::string>& argv) {
  Clock::time_point start = Clock::now();
  testing::RunResult result = testing::run(argv);
  double ms = msSince(start);
  if (result.exitStatus != 0) {
    std::fprintf(stderr, "%s failed: %s\n", argv[0].c_str(), result.err.c_str());
    return std::nullopt;
  }
  return ms;
}

// The agent running now (one at a time), for the interrupt handler.
volatile sig_atomic_t liveAgent = 0;

// One agent with its recording server, from its exec on. Killed with it.
class Agent {
 public:
  Agent(const std::string& executable, const std::string& dir) : dir_(dir), lines_(prepare(dir)) {
    testing::AgentProcess::Options options;
    options.argv = {executable};
    options.env = {{"KAVRI_RECORD_DIR", dir}};
    options.stderrPath = dir + "/agent.log";
    started_ = Clock::now();
    startedWall_ = WallClock::now();
    process_ = std::make_unique<testing::AgentProcess>(options);
    liveAgent = process_->pid();
  }
  ~Agent() { liveAgent = 0; }
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

  pid_t pid() const { return process_->pid(); }
  RecordedLines& lines() { return lines_; }
  Clock::time_point started() const { return started_; }
  WallClock::time_point startedWall() const { return startedWall_; }
  std::string log() const { return process_->stderrText(); }
  bool running() { return process_->running(); }

  // When each scan began, in order: scan k sent catalogue k, line k + 1.
  std::vector<WallClock::time_point> scanStarts() const {
    return logTimes(log(), "font scanner found ");
  }

 private:
  static const std::string& prepare(const std::string& dir) {
    fs::create_directories(dir);
    return dir;
  }

  std::string dir_;
  RecordedLines lines_;
  Clock::time_point started_;
  WallClock::time_point startedWall_;
  std::unique_ptr<testing::AgentProcess> process_;
};

// A change to the fonts and the catalogue it brought.
struct ChangeTiming {
  double toMessageMs = 0;      // from the change to the catalogue at the server
  double scanToMessageMs = 0;  // from the scan's log line to the same
  size_t faces = 0;
};

std::optional<ChangeTiming> timeChange(Agent& agent, const std::function<void()>& change) {
  size_t number = agent.lines().count() + 1;
  Clock::time_point start = Clock::now();
  change();
  std::optional<RecordedLines::Line> line = agent.lines().waitFor(number, kChangeTimeout);
  if (!line) {
    std::fprintf(stderr, "no catalogue within %lld s of a change\n",
                 static_cast<long long>(kChangeTimeout.count() / 1000));
    return std::nullopt;
  }
  ChangeTiming timing;
  timing.toMessageMs = msBetween(start, line->arrived);
  timing.faces = line->faces;
  std::vector<WallClock::time_point> scans = agent.scanStarts();
  if (scans.size() >= number - 1)
    timing.scanToMessageMs = msBetween(scans[number - 2], line->arrivedWall);
  return timing;
}

void copyFont(const std::string& to) {
  fs::copy_file(kSampleFont, to, fs::copy_options::overwrite_existing);
}

struct SizeResult {
  size_t target = 0;
  size_t faces = 0;  // in the agent's first catalogue
  size_t libraryFiles = 0;
  double catalogueMiB = 0;
  std::optional<double> fcCacheMs;
  std::vector<double> fcList, digest, start, startToScan, startScanToMessage;
  std::vector<double> libraryCopy, libraryScan, emptyCopy, emptyScan, removal, ruleOn, ruleOff;
  std::vector<double> familyOn, familyOff;
  std::vector<double> unpackMs, unpackCatalogues, unpackRemoveMs, unpackRemoveCatalogues;
  Resident idle, afterTrials, afterChanges;
  int changesDone = 0;
  std::vector<double> longRun;  // each change after the first minute -> catalogue, ms
  // The same agent with a feed: just before the delayed update start, and
  // once its first check, which finds nothing newer, has ended.
  Resident feedBefore, feedAfter;
  long wakeups = -1;
  std::string wakeupThreads;  // the threads that woke, with their counts
  size_t messages = 0, messagesExpected = 0;
  bool wrongFaces = false;
  std::string companionEventMs = "-", companionRssMiB = "-";
};

class ScaleBench {
 public:
  ScaleBench(Options options, std::string root)
      : options_(std::move(options)), root_(std::move(root)) {}

  bool run();
  void print() const;

 private:
  bool measureSize(size_t target, SizeResult* result);
  bool measureStarts(SizeResult* result, std::unique_ptr<Agent>* kept);
  bool measureChanges(Agent& agent, SizeResult* result);
  bool measureRules(Agent& agent, SizeResult* result,
                    const std::function<bool(const std::optional<ChangeTiming>&, size_t)>& expect);
  bool measureUnpack(Agent& agent, SizeResult* result);
  bool measureFeed(SizeResult* result);
  void measureIdle(Agent& agent, SizeResult* result);
  void runCompanion();

  std::string fonts() const { return home_.fonts(); }

  Options options_;
  std::string root_;
  PrivateFontHome home_{root_};
  int agentRuns_ = 0;
  std::vector<SizeResult> results_;
};

bool ScaleBench::run() {
  std::string err;
  if (!home_.prepare(&err)) {
    std::fprintf(stderr, "%s\n", err.c_str());
    return false;
  }
  for (size_t target : options_.sizes) {
    SizeResult result;
    result.target = target;
    bool ok = measureSize(target, &result);
    results_.push_back(result);
    if (!ok) return false;
  }
  if (options_.companion) runCompanion();
  return true;
}

bool ScaleBench::measureSize(size_t target, SizeResult* result) {
  std::fprintf(stderr, "== about %zu faces\n", target);
  std::string err;
  if (!home_.growTo(target, &err)) {
    std::fprintf(stderr, "%s\n", err.c_str());
    return false;
  }
  result->libraryFiles = home_.library().files();
  // The font caches brought up to date first, as on a machine in use.
  result->fcCacheMs = timeCommand({"/usr/bin/fc-cache", "-f", fonts()});

  std::unique_ptr<Agent> agent;
  if (!measureStarts(result, &agent)) return false;
  result->idle = resident(agent->pid());
  if (!measureChanges(*agent, result)) return false;
  measureIdle(*agent, result);
  result->messages = agent->lines().count() - 1;
  agent.reset();
  return !options_.feed || measureFeed(result);
}

// A copy of the agent's bundle (its large files linked) whose Info.plist
// names `feed`, run until its first check has ended: a feed that offers
// nothing newer, as on most days.
bool ScaleBench::measureFeed(SizeResult* result) {
  std::string feed =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?><rss version=\"2.0\" "
      "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel><item>"
      "<enclosure url=\"http://127.0.0.1:1/a.tar.gz\" length=\"1\" sparkle:version=\"1\" "
      "sparkle:edSignature=\"" + std::string(86, 'A') + "==\"/></item></channel></rss>";
  testing::TestHttpServer server([&feed](const std::string& path) {
    testing::HttpResponse response;
    if (path == "/appcast.xml") response.body = feed;
    else response.status = 404;
    return response;
  });
  fs::path bundle = fs::path(options_.agent).parent_path().parent_path().parent_path();
  fs::path copy = fs::path(root_) / ("feed-" + std::to_string(result->target)) / bundle.filename();
  std::error_code ec;
  fs::remove_all(copy.parent_path(), ec);
  fs::create_directories(copy.parent_path());
  fs::copy(bundle, copy, fs::copy_options::recursive | fs::copy_options::create_hard_links, ec);
  if (ec) fs::copy(bundle, copy, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
  std::string plistPath = (copy / "Contents/Info.plist").string();
  std::string plist = testing::readFile(plistPath);
  size_t key = plist.find("<key>SUFeedURL</key>");
  size_t open = plist.find("<string>", key);
  size_t close = plist.find("</string>", open);
  if (ec || key == std::string::npos || open == std::string::npos || close == std::string::npos) {
    std::fprintf(stderr, "cannot make a bundle with a feed from %s\n", bundle.c_str());
    return false;
  }
  plist.replace(open + 8, close - open - 8, server.url("/appcast.xml"));
  fs::remove(plistPath);  // a link to the original's
  testing::writeFile(plistPath, plist);

  std::fprintf(stderr, "== with a feed, about %zu faces\n", result->target);
  Agent agent((copy / "Contents/MacOS" / fs::path(options_.agent).filename()).string(),
              root_ + "/agent-" + std::to_string(++agentRuns_));
  if (!agent.lines().waitFor(2, kStartTimeout)) {
    std::fprintf(stderr, "no first catalogue from the agent:\n%s\n", agent.log().c_str());
    return false;
  }
  auto age = Clock::now() - agent.started();
  if (age < kUpdaterStart - std::chrono::seconds(5))
    std::this_thread::sleep_for(kUpdaterStart - std::chrono::seconds(5) - age);
  result->feedBefore = resident(agent.pid());
  if (!testing::waitUntil([&] { return agent.log().find("Update error ") != std::string::npos; },
                          std::chrono::seconds(120), std::chrono::milliseconds(100))) {
    std::fprintf(stderr, "the first check never ended:\n%s\n", agent.log().c_str());
    return false;
  }
  // Whatever the agent lets go of once the check has ended, it has by now
  // (an agent that keeps its updater keeps it).
  std::string maps = "/proc/" + std::to_string(agent.pid()) + "/maps";
  testing::waitUntil([&] { return testing::readFile(maps).find("libkavri_updater") == std::string::npos; },
                     std::chrono::seconds(5), std::chrono::milliseconds(100));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  result->feedAfter = resident(agent.pid());
  return true;
}

bool ScaleBench::measureStarts(SizeResult* result, std::unique_ptr<Agent>* kept) {
  const std::string resources =
      fs::path(options_.agent).parent_path().parent_path().string() + "/Resources";
  for (int i = 0; i < options_.trials; ++i) {
    // Side by side, so that each sees the same load on this shared machine.
    std::optional<double> fcList = timeCommand(fcListOfTheAgentsFields());
    std::optional<double> digest =
        timeCommand({"/usr/bin/openssl", "dgst", "-sha512", resources + "/kavri-node",
                     resources + "/daemon.js"});
    if (!fcList || !digest) return false;
    result->fcList.push_back(*fcList);
    result->digest.push_back(*digest);

    auto agent =
        std::make_unique<Agent>(options_.agent, root_ + "/agent-" + std::to_string(++agentRuns_));
    std::optional<RecordedLines::Line> catalogue = agent->lines().waitFor(2, kStartTimeout);
    if (!catalogue) {
      std::fprintf(stderr, "no first catalogue from the agent:\n%s\n", agent->log().c_str());
      return false;
    }
    result->start.push_back(msBetween(agent->started(), catalogue->arrived));
    std::vector<WallClock::time_point> scans = agent->scanStarts();
    if (!scans.empty()) {
      result->startToScan.push_back(msBetween(agent->startedWall(), scans[0]));
      result->startScanToMessage.push_back(msBetween(scans[0], catalogue->arrivedWall));
    }
    result->faces = catalogue->faces;
    result->catalogueMiB = catalogue->bytes / 1048576.0;
    if (i + 1 == options_.trials) *kept = std::move(agent);
  }
  // Whatever the start left to finish (the watches set up) is done by now.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  return true;
}

bool ScaleBench::measureChanges(Agent& agent, SizeResult* result) {
  size_t faces = result->faces;
  result->messagesExpected = 1;
  auto expect = [&](const std::optional<ChangeTiming>& timing, size_t wanted) {
    if (!timing) return false;
    if (timing->faces != wanted) result->wrongFaces = true;
    ++result->messagesExpected;
    return true;
  };
  struct Folder {
    std::string path;
    std::vector<double>* copy;
    std::vector<double>* scan;
  };
  for (const Folder& folder :
       {Folder{home_.library().folder(), &result->libraryCopy, &result->libraryScan},
        Folder{fonts() + "/incoming", &result->emptyCopy, &result->emptyScan}}) {
    for (int i = 0; i < options_.trials; ++i) {
      std::string added = folder.path + "/added-" + std::to_string(i) + ".ttf";
      std::optional<ChangeTiming> timing = timeChange(agent, [&] { copyFont(added); });
      if (!expect(timing, faces + 1)) return false;
      folder.copy->push_back(timing->toMessageMs);
      folder.scan->push_back(timing->scanToMessageMs);
      timing = timeChange(agent, [&] { fs::remove(added); });
      if (!expect(timing, faces)) return false;
      result->removal.push_back(timing->toMessageMs);
    }
  }
  if (!measureRules(agent, result, expect)) return false;
  if (options_.unpack && !measureUnpack(agent, result)) return false;
  // The delayed update start loads the updater's libraries once, a minute
  // in; growth over the changes is measured past it.
  auto age = Clock::now() - agent.started();
  if (age < kUpdaterStart) std::this_thread::sleep_for(kUpdaterStart - age);
  result->afterTrials = resident(agent.pid());

  std::string changing = fonts() + "/incoming/changing.ttf";
  for (int i = 0; i < options_.changes; ++i) {
    bool add = i % 2 == 0;
    std::optional<ChangeTiming> timing = timeChange(
        agent, [&] { add ? copyFont(changing) : static_cast<void>(fs::remove(changing)); });
    if (!expect(timing, add ? faces + 1 : faces)) return false;
    result->longRun.push_back(timing->toMessageMs);
    ++result->changesDone;
  }
  if (fs::exists(changing) && !expect(timeChange(agent, [&] { fs::remove(changing); }), faces))
    return false;
  if (options_.changes % 2 == 1) ++result->changesDone;
  std::this_thread::sleep_for(std::chrono::seconds(1));
  result->afterChanges = resident(agent.pid());
  return true;
}

// A font manager's rule written into the user's configuration, taking one
// font out, and taken back.
bool ScaleBench::measureRules(
    Agent& agent, SizeResult* result,
    const std::function<bool(const std::optional<ChangeTiming>&, size_t)>& expect) {
  size_t faces = result->faces;
  std::string ruled = fonts() + "/incoming/ruled.ttf";
  std::string rule = home_.userRules() + "/78-bench-reject.conf";
  if (!expect(timeChange(agent, [&] { copyFont(ruled); }), faces + 1)) return false;
  for (int i = 0; i < options_.trials; ++i) {
    std::optional<ChangeTiming> timing = timeChange(agent, [&] {
      testing::writeFile(rule,
                         "<?xml version=\"1.0\"?>\n<fontconfig><selectfont><rejectfont><glob>" +
                             ruled + "</glob></rejectfont></selectfont></fontconfig>\n");
    });
    if (!expect(timing, faces)) return false;
    result->ruleOn.push_back(timing->toMessageMs);
    timing = timeChange(agent, [&] { fs::remove(rule); });
    if (!expect(timing, faces + 1)) return false;
    result->ruleOff.push_back(timing->toMessageMs);
  }
  // A family switched off by name, as font managers write it: every face of
  // it goes, in the library's folders too.
  std::string family = home_.userRules() + "/78-bench-family.conf";
  std::optional<size_t> without;
  for (int i = 0; i < options_.trials; ++i) {
    std::optional<ChangeTiming> timing = timeChange(agent, [&] {
      testing::writeFile(family,
                         "<?xml version=\"1.0\"?>\n<fontconfig><selectfont><rejectfont><pattern>"
                         "<patelt name=\"family\"><string>DejaVu Sans</string></patelt></pattern>"
                         "</rejectfont></selectfont></fontconfig>\n");
    });
    if (!timing) return false;
    if (!without) without = timing->faces;
    if (*without >= faces + 1) result->wrongFaces = true;
    if (!expect(timing, *without)) return false;
    result->familyOn.push_back(timing->toMessageMs);
    timing = timeChange(agent, [&] { fs::remove(family); });
    if (!expect(timing, faces + 1)) return false;
    result->familyOff.push_back(timing->toMessageMs);
  }
  return expect(timeChange(agent, [&] { fs::remove(ruled); }), faces);
}

// Catalogues that arrive from line `first` on until one lists `faces` faces
// and nothing follows for a while: how many, and when the matching one came
// (ms after `start`). nullopt when none matches.
std::optional<std::pair<size_t, double>> catalogueBurst(Agent& agent, size_t first, size_t faces,
                                                        Clock::time_point start) {
  std::optional<double> matched;
  size_t number = first;
  for (;; ++number) {
    std::optional<RecordedLines::Line> line =
        agent.lines().waitFor(number, matched ? kQuietAfterBurst : kChangeTimeout);
    if (!line) break;
    if (line->faces == faces) matched = msBetween(start, line->arrived);
  }
  if (!matched) return std::nullopt;
  return std::pair(number - first, *matched);
}

// An archive of kArchiveFonts small fonts (single faces of this machine's,
// cycled) unpacked into the user's font folder at once, then removed: the
// catalogues each sends and when the last came.
bool ScaleBench::measureUnpack(Agent& agent, SizeResult* result) {
  const std::string archive = root_ + "/fonts.tar";
  if (!fs::exists(archive)) {
    std::vector<std::string> small;
    for (const FontLibrary::Source& source : home_.installed()) {
      std::error_code ec;
      if (source.faces == 1 && fs::file_size(source.path, ec) <= 64 * 1024 && !ec)
        small.push_back(source.path);
    }
    if (small.empty()) return true;
    std::string staging = root_ + "/archive/fonts";
    fs::create_directories(staging);
    for (size_t i = 0; i < kArchiveFonts; ++i) {
      const std::string& from = small[i % small.size()];
      fs::copy_file(from, staging + "/" + std::to_string(i) + "-" +
                              fs::path(from).filename().string());
    }
    if (testing::run({"/bin/tar", "-cf", archive, "-C", root_ + "/archive", "fonts"}).exitStatus !=
        0)
      return false;
    fs::remove_all(root_ + "/archive");
  }
  std::string unpacked = fonts() + "/fonts";
  for (int i = 0; i < std::max(1, options_.trials / 2); ++i) {
    size_t first = agent.lines().count() + 1;
    Clock::time_point start = Clock::now();
    testing::run({"/bin/tar", "-xf", archive, "-C", fonts()});
    auto burst = catalogueBurst(agent, first, result->faces + kArchiveFonts, start);
    if (!burst) {
      std::fprintf(stderr, "the unpacked fonts never came whole\n");
      return false;
    }
    result->unpackCatalogues.push_back(static_cast<double>(burst->first));
    result->unpackMs.push_back(burst->second);
    result->messagesExpected += burst->first;

    first = agent.lines().count() + 1;
    start = Clock::now();
    fs::remove_all(unpacked);
    burst = catalogueBurst(agent, first, result->faces, start);
    if (!burst) {
      std::fprintf(stderr, "the removed fonts never went whole\n");
      return false;
    }
    result->unpackRemoveCatalogues.push_back(static_cast<double>(burst->first));
    result->unpackRemoveMs.push_back(burst->second);
    result->messagesExpected += burst->first;
  }
  return true;
}

void ScaleBench::measureIdle(Agent& agent, SizeResult* result) {
  auto age = Clock::now() - agent.started();
  if (age < kUpdaterStart) std::this_thread::sleep_for(kUpdaterStart - age);
  std::map<pid_t, std::pair<std::string, long>> before = threadSwitches(agent.pid());
  std::this_thread::sleep_for(std::chrono::seconds(options_.idleSeconds));
  std::map<pid_t, std::pair<std::string, long>> after = threadSwitches(agent.pid());
  result->wakeups = 0;
  for (auto& [tid, thread] : after) {
    auto earlier = before.find(tid);
    long woke = thread.second - (earlier == before.end() ? 0 : earlier->second.second);
    if (earlier == before.end()) result->wakeupThreads += " " + thread.first + "(new)";
    if (woke == 0) continue;
    result->wakeups += woke;
    result->wakeupThreads +=
        " " + thread.first + "[" + std::to_string(tid) + "]=" + std::to_string(woke);
  }
  for (auto& [tid, thread] : before)
    if (!after.count(tid)) result->wakeupThreads += " " + thread.first + "(ended)";
}

// bench/companion_catalogue.js with catalogues of the measured sizes; its
// event and resident-memory columns go into the table.
void ScaleBench::runCompanion() {
  std::vector<std::string> argv = {KAVRI_BENCH_NODE, KAVRI_BENCH_COMPANION_SCRIPT};
  for (const SizeResult& r : results_) argv.push_back(std::to_string(r.faces));
  std::fprintf(stderr, "== companion server\n");
  testing::RunResult run = testing::run(argv);
  if (run.exitStatus != 0) {
    std::fprintf(stderr, "companion_catalogue.js failed: %s\n", run.err.c_str());
    return;
  }
  std::vector<std::string> header;
  for (const std::string& line : testing::splitLines(run.out)) {
    std::istringstream words(line);
    std::vector<std::string> cells;
    for (std::string word; words >> word;) cells.push_back(word);
    if (!cells.empty() && cells[0] == "faces") header = cells;
    if (header.empty() || cells.size() != header.size() || cells[0] == "faces") continue;
    for (SizeResult& r : results_) {
      if (std::to_string(r.faces) != cells[0]) continue;
      for (size_t c = 0; c < header.size(); ++c) {
        if (header[c] == "event(ms)") r.companionEventMs = cells[c];
        if (header[c] == "rss(KiB)") r.companionRssMiB = megabytes(std::atol(cells[c].c_str()));
      }
    }
  }
}

void ScaleBench::print() const {
  std::vector<std::pair<std::string, std::vector<std::string>>> rows;
  auto row = [&](const std::string& label,
                 const std::function<std::string(const SizeResult&)>& cell) {
    std::vector<std::string> cells;
    for (const SizeResult& r : results_) cells.push_back(cell(r));
    rows.push_back({label, cells});
  };
  row("faces in the catalogue (about)", [](const SizeResult& r) {
    return std::to_string(r.faces) + " (" + std::to_string(r.target) + ")";
  });
  row("files in the library folder",
      [](const SizeResult& r) { return std::to_string(r.libraryFiles); });
  row("catalogue message, MiB", [](const SizeResult& r) { return format("%.2f", r.catalogueMiB); });
  row("fc-cache -f of the user's fonts, ms",
      [](const SizeResult& r) { return r.fcCacheMs ? format("%.0f", *r.fcCacheMs) : "-"; });
  row("copy into library folder -> catalogue, ms",
      [](const SizeResult& r) { return summary(r.libraryCopy); });
  row("copy into empty folder -> catalogue, ms",
      [](const SizeResult& r) { return summary(r.emptyCopy); });
  row("font removed -> catalogue, ms", [](const SizeResult& r) { return summary(r.removal); });
  row("rule written (rejects a font) -> catalogue, ms",
      [](const SizeResult& r) { return summary(r.ruleOn); });
  row("rule removed -> catalogue, ms", [](const SizeResult& r) { return summary(r.ruleOff); });
  row("family rule written (rejects its faces) -> catalogue, ms",
      [](const SizeResult& r) { return summary(r.familyOn); });
  row("family rule removed -> catalogue, ms",
      [](const SizeResult& r) { return summary(r.familyOff); });
  row("3,000 fonts unpacked: catalogues (target <= 4)",
      [](const SizeResult& r) { return summary(r.unpackCatalogues); });
  row("  last one, ms after tar starts", [](const SizeResult& r) { return summary(r.unpackMs); });
  row("3,000 fonts removed: catalogues",
      [](const SizeResult& r) { return summary(r.unpackRemoveCatalogues); });
  row("  last one, ms after rm starts",
      [](const SizeResult& r) { return summary(r.unpackRemoveMs); });
  row("fc-list, same fields, ms", [](const SizeResult& r) { return summary(r.fcList); });
  row("openssl dgst -sha512 of the server files, ms",
      [](const SizeResult& r) { return summary(r.digest); });
  row("agent exec -> first catalogue, ms", [](const SizeResult& r) { return summary(r.start); });
  row("  of which exec -> scan starts (log), ms",
      [](const SizeResult& r) { return summary(r.startToScan); });
  row("  of which scan -> catalogue at server, ms",
      [](const SizeResult& r) { return summary(r.startScanToMessage); });
  row("start / (fc-list + dgst), target <= 1.5x", [](const SizeResult& r) {
    return ratio(median(r.start), median(r.fcList) + median(r.digest));
  });
  row("rescan after an added file, scan -> message, ms", [](const SizeResult& r) {
    std::vector<double> scans = r.libraryScan;
    scans.insert(scans.end(), r.emptyScan.begin(), r.emptyScan.end());
    return summary(scans);
  });
  row("rescan / fc-list, target <= 0.5x", [](const SizeResult& r) {
    std::vector<double> scans = r.libraryScan;
    scans.insert(scans.end(), r.emptyScan.begin(), r.emptyScan.end());
    return ratio(median(scans), median(r.fcList));
  });
  row("agent RSS idle after start, MB (anon)", [](const SizeResult& r) {
    return megabytes(r.idle.kib) + " (" + megabytes(r.idle.anonKib) + ")";
  });
  row("agent idle after start, held", [](const SizeResult& r) { return holdings(r.idle); });
  row("agent RSS after the trials and the updater's start, MB",
      [](const SizeResult& r) { return megabytes(r.afterTrials.kib); });
  row("  held after the first minute, no feed (target <= 12 MB)",
      [](const SizeResult& r) { return holdings(r.afterTrials); });
  row("with a feed: held before the updater's start",
      [](const SizeResult& r) { return holdings(r.feedBefore); });
  row("  held after its first check (target <= 13 MB)",
      [](const SizeResult& r) { return holdings(r.feedAfter); });
  row("  more than before the check, MB (target <= 1.5)", [](const SizeResult& r) {
    if (r.feedBefore.kib < 0 || r.feedAfter.kib < 0) return std::string("-");
    return format("%+.2f", (r.feedAfter.kib - r.feedBefore.kib) / 1024.0) + ", " +
           format("%+.0f", static_cast<double>(r.feedAfter.threads - r.feedBefore.threads)) + " thr";
  });
  row("changes after the first minute -> catalogue, p50 / p99 ms", [](const SizeResult& r) {
    if (r.longRun.empty()) return std::string("-");
    return format("%.0f", percentile(r.longRun, 0.5)) + " / " +
           format("%.0f", percentile(r.longRun, 0.99)) + " over " + std::to_string(r.longRun.size());
  });
  row("  held after them", [](const SizeResult& r) { return holdings(r.afterChanges); });
  row("RSS growth over the next N changes, MB", [](const SizeResult& r) {
    if (r.afterChanges.kib < 0 || r.afterTrials.kib < 0) return std::string("-");
    return format("%+.1f", (r.afterChanges.kib - r.afterTrials.kib) / 1024.0) + " over " +
           std::to_string(r.changesDone);
  });
  row("messages (expected)", [](const SizeResult& r) {
    return std::to_string(r.messages) + " (" + std::to_string(r.messagesExpected) + ")" +
           (r.wrongFaces ? " FACES WRONG" : "");
  });
  row("companion: catalogue line -> page event, ms",
      [](const SizeResult& r) { return r.companionEventMs; });
  row("companion RSS, MB", [](const SizeResult& r) { return r.companionRssMiB; });
  row("agent thread wake-ups while idle", [](const SizeResult& r) {
    return r.wakeups < 0 ? std::string("-") : std::to_string(r.wakeups);
  });

  size_t labelWidth = 0;
  std::vector<size_t> widths(results_.size(), 0);
  for (auto& [label, cells] : rows) {
    labelWidth = std::max(labelWidth, label.size());
    for (size_t i = 0; i < cells.size(); ++i) widths[i] = std::max(widths[i], cells[i].size());
  }
  double load[3] = {0, 0, 0};
  getloadavg(load, 3);
  std::printf(
      "trials %d, changes %d, idle %d s; load average at the end %.2f %.2f %.2f; %u cores\n",
      options_.trials, options_.changes, options_.idleSeconds, load[0], load[1], load[2],
      std::thread::hardware_concurrency());
  if (!results_.empty()) {
    std::printf("the library links to copies of the installed fonts (%zu faces, %.0f MB)\n",
                home_.systemFaces(), home_.library().copiedBytes() / 1e6);
  }
  for (auto& [label, cells] : rows) {
    std::printf("%-*s", static_cast<int>(labelWidth), label.c_str());
    for (size_t i = 0; i < cells.size(); ++i)
      std::printf("  %*s", static_cast<int>(widths[i]), cells[i].c_str());
    std::printf("\n");
  }
  for (const SizeResult& r : results_)
    if (!r.wakeupThreads.empty())
      std::printf("threads at about %zu faces:%s\n", r.target, r.wakeupThreads.c_str());
}

bool parse(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (arg == "--sizes" && hasValue) {
      options->sizes.clear();
      std::istringstream list(argv[++i]);
      for (std::string size; std::getline(list, size, ',');)
        if (std::atol(size.c_str()) > 0) options->sizes.push_back(std::atol(size.c_str()));
    } else if (arg == "--trials" && hasValue) {
      options->trials = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--changes" && hasValue) {
      options->changes = std::max(0, std::atoi(argv[++i]));
    } else if (arg == "--idle-seconds" && hasValue) {
      options->idleSeconds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--agent" && hasValue) {
      options->agent = argv[++i];
    } else if (arg == "--no-companion") {
      options->companion = false;
    } else if (arg == "--no-unpack") {
      options->unpack = false;
    } else if (arg == "--no-feed") {
      options->feed = false;
    } else {
      return false;
    }
  }
  return !options->sizes.empty();
}

}  // namespace
}  // namespace kavri::bench

int main(int argc, char** argv) {
  using namespace kavri::bench;
  Options options;
  if (!parse(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: %s [--sizes 2000,10000,50000] [--trials N] [--changes N] "
                 "[--idle-seconds S] [--no-companion] [--no-unpack] [--no-feed] [--agent PATH]\n",
                 argv[0]);
    return 2;
  }
  if (std::optional<int> status = rerunInOwnPidNamespace(argc, argv)) return *status;
  std::string pattern = scratchRoot("kavri-scale", &liveAgent);
  if (pattern.empty()) return 1;

  ScaleBench bench(options, pattern);
  bool ok = bench.run();
  bench.print();
  std::error_code ignored;
  std::filesystem::remove_all(pattern, ignored);
  return ok ? 0 : 1;
}
