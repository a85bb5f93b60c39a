#include "platform/font_set_notifier.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "font_fixtures/private_fonts.h"
#include "fonts/font_scanner.h"
#include "platform/font_source.h"
#include "platform/fontconfig/installed_fonts.h"
#include "platform/log.h"
#include "platform/main_loop.h"
#include "server/channel.h"

namespace kavri {
namespace {

using testing::PrivateFonts;

// Generous: a loaded CI machine is slow, but nothing here waits on a clock
// except to give up.
constexpr auto kGiveUp = std::chrono::seconds(60);

// The agent's side of a font change, for real: the shared notifier on the
// main loop, a scanner subscribed to it writing its messages to a file.
// Each test runs in a child process of its own, so each gets a fresh
// notifier and main loop.
class Agent {
 public:
  // `prepare` runs before the agent first looks at the fonts.
  explicit Agent(const std::function<void(PrivateFonts&)>& prepare = nullptr)
      : fonts_({"user/fonts"}) {
    fonts_.add(testing::kDejaVuSans);
    if (prepare) prepare(fonts_);
    // Outside the watched directories: writing messages changes nothing.
    messagesPath_ = outside_.file("server-input");
    serverStdin = open(messagesPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    setLogSinkForTesting([](const std::string&) {});
    MainLoop::shared();
    scanner_ = std::make_unique<FontScanner>(FontSource::shared());
    scanner_->scanForFonts();
    FontSetNotifier::shared().addObserver([this] { scanner_->fontSetChanged(); });
    setFontSetReloadHookForTesting([this](bool changed, bool morePending) {
      (changed ? changes_ : unchanged_)++;
      pending_ = morePending;
      MainLoop::shared().stop();
    });
  }

  // Waits until the agent has looked at everything changed so far and has
  // no further look due. A marker file written last (in a font directory,
  // no font) makes sure there is something to look at; without it, `change`
  // must make something.
  bool settle(const std::function<void()>& change = nullptr) {
    int looks = changes_ + unchanged_;
    if (change) {
      change();
    } else {
      testing::writeFile(fonts_.fontsDir() + "/marker", std::to_string(looks));
    }
    return runUntil([&] { return changes_ + unchanged_ > looks && !pending_; });
  }

  PrivateFonts& fonts() { return fonts_; }
  std::string userFonts() const { return fonts_.root() + "/user/fonts"; }

  // Runs the main loop until `done` holds; false when it never did.
  bool runUntil(const std::function<bool()>& done) {
    int generation = ++waits_;
    bool timedOut = false;
    MainLoop::shared().runAfter(kGiveUp, [&, generation] {
      if (generation != waits_) return;
      timedOut = true;
      MainLoop::shared().stop();
    });
    while (!done() && !timedOut) MainLoop::shared().run();
    ++waits_;
    return done();
  }

  // Runs the work posted so far: what a scan leaves for the end of its turn
  // of the main loop.
  void drain() {
    MainLoop::shared().post([] { MainLoop::shared().stop(); });
    MainLoop::shared().run();
  }

  // Waits for the next reload that changed the face list.
  bool waitForChange() {
    int before = changes_;
    return runUntil([&] { return changes_ > before; });
  }

  std::vector<nlohmann::json> messages() const {
    std::vector<nlohmann::json> out;
    std::string text = testing::readFile(messagesPath_);
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      out.push_back(nlohmann::json::parse(text.substr(start, end - start), nullptr, false));
    }
    EXPECT_EQ(start, text.size()) << "a message without its line feed";
    return out;
  }

  nlohmann::json lastMessage() const {
    std::vector<nlohmann::json> all = messages();
    return all.empty() ? nlohmann::json() : all.back();
  }

  int changes() const { return changes_; }

  // The last message as sent, its line feed included.
  std::string lastMessageText() const {
    std::vector<std::string> lines = testing::splitLines(testing::readFile(messagesPath_));
    return lines.empty() ? std::string() : lines.back() + "\n";
  }
  int unchanged() const { return unchanged_; }

 private:
  PrivateFonts fonts_;
  testing::TempDir outside_;
  std::string messagesPath_;
  std::unique_ptr<FontScanner> scanner_;
  int changes_ = 0;
  int unchanged_ = 0;
  bool pending_ = false;
  int waits_ = 0;
};

// Runs `scenario` in a child process and reports its failures.
void inChild(const std::function<void(Agent&)>& scenario,
             const std::function<void(PrivateFonts&)>& prepare = nullptr) {
  fflush(nullptr);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    {
      Agent agent(prepare);
      scenario(agent);
      // Every message is one whole catalogue, one per real change.
      std::vector<nlohmann::json> all = agent.messages();
      EXPECT_EQ(static_cast<int>(all.size()), 1 + agent.changes());
      for (const nlohmann::json& m : all) EXPECT_TRUE(m.is_object());
    }
    fflush(nullptr);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// Whether fontconfig has a cache of `dir` it trusts, asked without letting
// it build its font set (which would write one).
bool cacheIsValid(const std::string& dir) {
  FcConfig* config = FcInitLoadConfig();
  FcCache* cache = FcDirCacheLoad(reinterpret_cast<const FcChar8*>(dir.c_str()), config, nullptr);
  if (cache) FcDirCacheUnload(cache);
  FcConfigDestroy(config);
  return cache != nullptr;
}

std::string dejavu(Agent& agent) { return agent.fonts().fontsDir() + "/DejaVuSans.ttf"; }

// A writer that is done says so (a close, a rename into place, a removal):
// each change goes out without waiting out the quiet period, here longer
// than the test waits.
TEST(FontSetNotifierTest, CopyRemovalAndRuleEachSendOneCatalogueOnceTheWriterIsDone) {
  inChild(
      [](Agent& agent) {
        std::string copy = agent.fonts().add(testing::kIpaGothic);
        ASSERT_TRUE(agent.waitForChange());
        EXPECT_TRUE(agent.lastMessage().contains(copy));
        EXPECT_TRUE(agent.lastMessage().contains(dejavu(agent)));

        ASSERT_EQ(unlink(copy.c_str()), 0);
        ASSERT_TRUE(agent.waitForChange());
        EXPECT_FALSE(agent.lastMessage().contains(copy));

        // A font manager's rule, written in place.
        testing::writeFile(agent.fonts().confDir() + "/70-reject.conf",
                           "<?xml version=\"1.0\"?>\n<fontconfig><selectfont><rejectfont><glob>" +
                               dejavu(agent) + "</glob></rejectfont></selectfont></fontconfig>\n");
        ASSERT_TRUE(agent.waitForChange());
        EXPECT_FALSE(agent.lastMessage().contains(dejavu(agent)));
        // A rule that only selects is applied to what the agent knows:
        // fontconfig did not read again the folder whose cache the copy left
        // stale (in a library of thousands, seconds).
        EXPECT_FALSE(cacheIsValid(agent.fonts().fontsDir()));

        // A family switched off by its name in another language, and on again.
        std::string ipa = agent.fonts().add(testing::kIpaGothic);
        ASSERT_TRUE(agent.waitForChange());
        std::string family = agent.fonts().confDir() + "/71-family.conf";
        testing::writeFile(family,
                           "<?xml version=\"1.0\"?>\n<fontconfig><selectfont><rejectfont><pattern>"
                           "<patelt name=\"family\"><string>IPAゴシック</string></patelt>"
                           "</pattern></rejectfont></selectfont></fontconfig>\n");
        ASSERT_TRUE(agent.waitForChange());
        EXPECT_FALSE(agent.lastMessage().contains(ipa));
        ASSERT_EQ(unlink(family.c_str()), 0);
        ASSERT_TRUE(agent.waitForChange());
        EXPECT_TRUE(agent.lastMessage().contains(ipa));
        EXPECT_FALSE(cacheIsValid(agent.fonts().fontsDir()));
        EXPECT_EQ(agent.changes(), 6);
        EXPECT_EQ(agent.unchanged(), 0);
      },
      [](PrivateFonts&) { setFontSetWaitsForTesting(std::chrono::hours(1), std::chrono::hours(1)); });
}

TEST(FontSetNotifierTest, DirectoryTreeCopiedIn) {
  inChild([](Agent& agent) {
    std::string top = agent.fonts().fontsDir() + "/family";
    ASSERT_EQ(mkdir(top.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((top + "/deeper").c_str(), 0755), 0);
    ASSERT_TRUE(testing::copyFile(testing::kIpaGothic, top + "/ipag.ttf"));
    ASSERT_TRUE(testing::copyFile(testing::kInterThin, top + "/deeper/Inter-Thin.otf"));
    EXPECT_TRUE(agent.runUntil([&] {
      nlohmann::json last = agent.lastMessage();
      return last.contains(top + "/ipag.ttf") && last.contains(top + "/deeper/Inter-Thin.otf");
    }));
    // A font added later deep in the new tree is seen too.
    ASSERT_TRUE(testing::copyFile(testing::kUrwType1, top + "/deeper/C059-BdIta.t1"));
    EXPECT_TRUE(agent.runUntil(
        [&] { return agent.lastMessage().contains(top + "/deeper/C059-BdIta.t1"); }));
  });
}

TEST(FontSetNotifierTest, MoveInAndRemoval) {
  inChild([](Agent& agent) {
    std::string staged = agent.fonts().root() + "/ipag.ttf";
    ASSERT_TRUE(testing::copyFile(testing::kIpaGothic, staged));
    std::string moved = agent.fonts().fontsDir() + "/ipag.ttf";
    ASSERT_EQ(rename(staged.c_str(), moved.c_str()), 0);
    ASSERT_TRUE(agent.waitForChange());
    EXPECT_TRUE(agent.lastMessage().contains(moved));

    ASSERT_EQ(unlink(moved.c_str()), 0);
    ASSERT_TRUE(agent.waitForChange());
    EXPECT_FALSE(agent.lastMessage().contains(moved));
    EXPECT_TRUE(agent.lastMessage().contains(dejavu(agent)));
  });
}

TEST(FontSetNotifierTest, FontDirectoryReplacedByAnother) {
  inChild([](Agent& agent) {
    std::string dir = agent.fonts().fontsDir();
    ASSERT_EQ(rename(dir.c_str(), (dir + ".old").c_str()), 0);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_TRUE(testing::copyFile(testing::kIpaGothic, dir + "/ipag.ttf"));
    EXPECT_TRUE(agent.runUntil([&] {
      nlohmann::json last = agent.lastMessage();
      return last.contains(dir + "/ipag.ttf") && !last.contains(dejavu(agent));
    }));
    // The new directory is the one watched now.
    ASSERT_TRUE(testing::copyFile(testing::kInterThin, dir + "/Inter-Thin.otf"));
    EXPECT_TRUE(
        agent.runUntil([&] { return agent.lastMessage().contains(dir + "/Inter-Thin.otf"); }));
  });
}

// Writers that take their time: a font rewritten in place in two pieces,
// and a new one whose bytes are all there but whose file is still open. A
// look taken meanwhile leaves both alone; their closing brings them in.
TEST(FontSetNotifierTest, FontsAreTakenOnceTheirWritersAreDone) {
  inChild([](Agent& agent) {
    // Same file, same directory time stamp: only its contents change.
    std::string bytes = testing::readFile(testing::kIpaGothic);
    size_t half = bytes.size() / 2;
    int rewritten = open(dejavu(agent).c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    ASSERT_GE(rewritten, 0);
    ASSERT_EQ(write(rewritten, bytes.data(), half), static_cast<ssize_t>(half));
    std::string inter = testing::readFile(testing::kInterThin);
    std::string added = agent.fonts().fontsDir() + "/Inter-Thin.otf";
    int written = open(added.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    ASSERT_GE(written, 0);
    ASSERT_EQ(write(written, inter.data(), inter.size()), static_cast<ssize_t>(inter.size()));

    ASSERT_TRUE(agent.settle());
    EXPECT_EQ(agent.changes(), 0);
    EXPECT_EQ(agent.lastMessage()[dejavu(agent)][0]["family"], "DejaVu Sans");
    EXPECT_FALSE(agent.lastMessage().contains(added));

    ASSERT_EQ(write(rewritten, bytes.data() + half, bytes.size() - half),
              static_cast<ssize_t>(bytes.size() - half));
    close(rewritten);
    close(written);
    ASSERT_TRUE(agent.runUntil([&] {
      nlohmann::json faces = agent.lastMessage()[dejavu(agent)];
      return faces.size() == 1 && faces[0]["family"] == "IPAGothic" &&
             agent.lastMessage().contains(added);
    }));
  });
}

TEST(FontSetNotifierTest, UserFontDirectoryCreatedLater) {
  inChild([](Agent& agent) {
    std::string dir = agent.userFonts();
    ASSERT_EQ(mkdir((agent.fonts().root() + "/user").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_TRUE(testing::copyFile(testing::kIpaGothic, dir + "/ipag.ttf"));
    EXPECT_TRUE(agent.runUntil([&] { return agent.lastMessage().contains(dir + "/ipag.ttf"); }));
    // The new directory is watched from now on.
    ASSERT_TRUE(testing::copyFile(testing::kInterThin, dir + "/Inter-Thin.otf"));
    EXPECT_TRUE(
        agent.runUntil([&] { return agent.lastMessage().contains(dir + "/Inter-Thin.otf"); }));
  });
}

TEST(FontSetNotifierTest, ConfigurationNamingAnotherFontDirectory) {
  inChild([](Agent& agent) {
    std::string extra = agent.fonts().root() + "/extra";
    ASSERT_EQ(mkdir(extra.c_str(), 0755), 0);
    ASSERT_TRUE(testing::copyFile(testing::kIpaGothic, extra + "/ipag.ttf"));
    testing::writeFile(
        agent.fonts().confDir() + "/50-extra.conf",
        "<?xml version=\"1.0\"?>\n<fontconfig><dir>" + extra + "</dir></fontconfig>\n");
    ASSERT_TRUE(agent.waitForChange());
    EXPECT_TRUE(agent.lastMessage().contains(extra + "/ipag.ttf"));
    // The directory it named is watched from now on.
    ASSERT_TRUE(testing::copyFile(testing::kInterThin, extra + "/Inter-Thin.otf"));
    EXPECT_TRUE(
        agent.runUntil([&] { return agent.lastMessage().contains(extra + "/Inter-Thin.otf"); }));
  });
}

TEST(FontSetNotifierTest, ChangeThatLeavesTheFacesAsTheyWereSendsNothing) {
  inChild([](Agent& agent) {
    ASSERT_EQ(utime(dejavu(agent).c_str(), nullptr), 0);
    EXPECT_TRUE(agent.runUntil([&] { return agent.unchanged() >= 1; }));
    // The same bytes written again in place.
    testing::writeFile(dejavu(agent), testing::readFile(dejavu(agent)));
    EXPECT_TRUE(agent.runUntil([&] { return agent.unchanged() >= 2; }));
    // A file that is no font.
    testing::writeFile(agent.fonts().fontsDir() + "/README", "not a font");
    EXPECT_TRUE(agent.runUntil([&] { return agent.unchanged() >= 3; }));
    EXPECT_EQ(agent.changes(), 0);
    EXPECT_EQ(agent.messages().size(), 1u);
  });
}

// What a fresh scan of the fonts as they are now sends, and its log lines:
// a source of its own, and no cache of fontconfig's to trust.
struct FreshScan {
  std::string message;
  std::vector<std::string> log;
  bool operator==(const FreshScan&) const = default;
};

FreshScan freshScan(PrivateFonts& fonts, const std::string& scratch) {
  // A configuration of its own whose cache directory starts empty: the
  // agent's caches stay as the agent left them.
  std::string conf = testing::readFile(fonts.root() + "/fonts.conf");
  const std::string cache = "<cachedir>" + fonts.root() + "/cache</cachedir>";
  conf.replace(conf.find(cache), cache.size(), "<cachedir>" + fonts.root() + "/fresh</cachedir>");
  testing::writeFile(fonts.root() + "/fresh.conf", conf);
  std::filesystem::remove_all(fonts.root() + "/fresh");
  setenv("FONTCONFIG_FILE", (fonts.root() + "/fresh.conf").c_str(), 1);
  FreshScan scan;
  setLogSinkForTesting([&](const std::string& line) { scan.log.push_back(line); });
  int saved = serverStdin;
  serverStdin = open(scratch.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  {
    std::unique_ptr<FontSource> source = FontSource::create();
    FontScanner(*source).scanForFonts();
  }
  close(serverStdin);
  serverStdin = saved;
  setLogSinkForTesting([](const std::string&) {});
  setenv("FONTCONFIG_FILE", (fonts.root() + "/fonts.conf").c_str(), 1);
  scan.message = testing::readFile(scratch);
  return scan;
}

std::string configurationText(const std::string& body) {
  return "<?xml version=\"1.0\"?>\n<fontconfig>" + body + "</fontconfig>\n";
}

TEST(FontSetNotifierTest, SelectionRulesApplyToFilesReadOneByOne) {
  inChild([](Agent& agent) {
    PrivateFonts& fonts = agent.fonts();
    testing::TempDir outside;
    const std::string scratch = outside.file("fresh");
    const std::string dir = fonts.fontsDir();
    struct Case {
      std::string rules;
      std::vector<std::pair<std::string, std::string>> added;  // font, where
    } cases[] = {
        {"<selectfont><rejectfont><pattern><patelt name=\"family\"><string>DejaVu Sans"
         "</string></patelt></pattern></rejectfont></selectfont>",
         {{testing::kDejaVuSans, "dejavu-2.ttf"}, {testing::kInterThin, "inter.otf"}}},
        // Debian's way: bitmap faces out, Terminus's TrueType bitmaps back in.
        {"<selectfont><rejectfont><pattern><patelt name=\"scalable\"><bool>false</bool>"
         "</patelt></pattern></rejectfont><acceptfont><pattern><patelt name=\"family\">"
         "<string>terminus</string></patelt><patelt name=\"fontformat\"><string>TrueType"
         "</string></patelt></pattern></acceptfont></selectfont>",
         {{testing::kTerminusOtb, "terminus.otb"}, {testing::kTerminusPcf, "terminus.pcf.gz"}}},
        {"<selectfont><rejectfont><glob>*/r-*</glob></rejectfont><acceptfont>"
         "<glob>*/r-keep*</glob></acceptfont></selectfont>",
         {{testing::kInterThin, "r-out.otf"},
          {testing::kInterThin, "r-keep.otf"},
          {testing::kInterThin, "r-dir/inside.otf"},
          {testing::kInterThin, "plain.otf"}}},
        {"<selectfont><rejectfont><pattern><patelt name=\"weight\"><const>bold</const>"
         "</patelt></pattern></rejectfont></selectfont>",
         {{testing::kUrwType1, "bold-italic.t1"}, {testing::kIpaGothic, "regular.ttf"}}},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.rules);
      testing::writeFile(fonts.confDir() + "/60-rules.conf", configurationText(c.rules));
      ASSERT_TRUE(agent.settle());
      EXPECT_EQ(agent.lastMessageText(), freshScan(fonts, scratch).message);
      // Written again, nothing else changed: the reload takes the faces it
      // listed from the same caches before.
      ASSERT_TRUE(agent.settle([&] {
        testing::writeFile(fonts.confDir() + "/60-rules.conf",
                           configurationText(c.rules + "<!-- again -->"));
      }));
      EXPECT_EQ(agent.lastMessageText(), freshScan(fonts, scratch).message);
      for (const auto& [font, where] : c.added) {
        std::filesystem::create_directories(std::filesystem::path(dir + "/" + where).parent_path());
        ASSERT_TRUE(testing::copyFile(font, dir + "/" + where));
      }
      ASSERT_TRUE(agent.settle());
      FreshScan fresh = freshScan(fonts, scratch);
      EXPECT_EQ(agent.lastMessageText(), fresh.message);
      for (const auto& [font, where] : c.added) {
        std::filesystem::remove_all(dir + "/" + where.substr(0, where.find('/')));
      }
      ASSERT_TRUE(agent.settle());
    }
  });
}

// A drive of fonts turns up in the font folder, another under a font a
// font manager linked to, and both go again: no file event tells of any of
// it. Each is a change, the catalogue is what a fresh scan sends, and the
// agent never keeps a drive busy. In a mount namespace of the test's own.
TEST(FontSetNotifierTest, DrivesThatComeAndGoAreChangesAndNeverKeptBusy) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting needs root";
  auto paths = [](PrivateFonts& fonts) {
    // A space, as the mount table escapes it.
    return std::tuple(fonts.fontsDir() + "/Mounted Drive", fonts.root() + "/drive",
                      fonts.root() + "/staging", fonts.fontsDir() + "/linked.otf");
  };
  inChild(
      [&](Agent& agent) {
        PrivateFonts& fonts = agent.fonts();
        auto [mounted, drive, staging, linked] = paths(fonts);
        testing::TempDir outside;
        const std::string scratch = outside.file("fresh");
        // The font, its name on the drive, where the drive goes, and where
        // the catalogue lists it.
        struct Drive {
          std::string font, name, where, listed;
        } drives[] = {{testing::kIpaGothic, "ipag.ttf", mounted, mounted + "/ipag.ttf"},
                      {testing::kInterThin, "Inter-Thin.otf", drive, linked}};
        for (const Drive& d : drives) {
          SCOPED_TRACE(d.listed);
          // Fonts on a drive of their own, moved into place whole.
          ASSERT_EQ(mount("tmpfs", staging.c_str(), "tmpfs", 0, "size=64m"), 0) << strerror(errno);
          ASSERT_TRUE(testing::copyFile(d.font, staging + "/" + d.name));
          ASSERT_EQ(mount(staging.c_str(), d.where.c_str(), nullptr, MS_MOVE, nullptr), 0)
              << strerror(errno);
          ASSERT_TRUE(agent.runUntil([&] { return agent.lastMessage().contains(d.listed); }));
          EXPECT_EQ(agent.lastMessageText(), freshScan(fonts, scratch).message);

          agent.drain();
          ASSERT_EQ(umount(d.where.c_str()), 0) << strerror(errno);
          ASSERT_TRUE(agent.runUntil([&] { return !agent.lastMessage().contains(d.listed); }));
          EXPECT_EQ(agent.lastMessageText(), freshScan(fonts, scratch).message);
        }
      },
      [&](PrivateFonts& fonts) {
        auto [mounted, drive, staging, linked] = paths(fonts);
        ASSERT_EQ(unshare(CLONE_NEWNS), 0) << strerror(errno);
        ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
        for (const std::string& dir : {mounted, drive, staging}) ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        ASSERT_EQ(symlink((drive + "/Inter-Thin.otf").c_str(), linked.c_str()), 0);
      });
}

// More events than the kernel queues for the agent: the ones that tell of
// the new font are dropped, and the agent looks at everything instead.
TEST(FontSetNotifierTest, EventsLostToAFullQueueStillLeadToTheNewFont) {
  inChild([](Agent& agent) {
    int queued = std::stoi(testing::readFile("/proc/sys/fs/inotify/max_queued_events"));
    std::string a = agent.fonts().fontsDir() + "/a.txt", b = agent.fonts().fontsDir() + "/b.txt";
    testing::writeFile(a, "a");
    testing::writeFile(b, "b");
    // Alternating, so the kernel cannot fold them into one.
    for (int i = 0; i <= queued / 2 + 1; ++i) {
      ASSERT_EQ(utime(a.c_str(), nullptr), 0);
      ASSERT_EQ(utime(b.c_str(), nullptr), 0);
    }
    std::string copy = agent.fonts().add(testing::kIpaGothic);
    ASSERT_TRUE(agent.waitForChange());
    EXPECT_TRUE(agent.lastMessage().contains(copy));
  });
}

// A desktop's font manager on a fresh account: the user's configuration
// folder does not exist when the agent starts.
TEST(FontSetNotifierTest, UserConfigurationCreatedLaterIsRead) {
  inChild(
      [](Agent& agent) {
        std::string home = agent.fonts().root() + "/home";
        std::string reject = home + "/.config/fontconfig/conf.d/78-Reject.conf";
        std::filesystem::create_directories(std::filesystem::path(reject).parent_path());
        testing::writeFile(
            reject, configurationText("<selectfont><rejectfont><pattern><patelt name=\"family\">"
                                      "<string>DejaVu Sans</string></patelt></pattern>"
                                      "</rejectfont></selectfont>"));
        ASSERT_TRUE(agent.waitForChange());
        EXPECT_FALSE(agent.lastMessage().contains(agent.fonts().fontsDir() + "/DejaVuSans.ttf"));
        // The folder is read from now on; taking the rule back brings the
        // family back.
        ASSERT_EQ(unlink(reject.c_str()), 0);
        ASSERT_TRUE(agent.waitForChange());
        EXPECT_TRUE(agent.lastMessage().contains(agent.fonts().fontsDir() + "/DejaVuSans.ttf"));
        // A family rejected since the start comes back with its rule gone.
        std::string ipa = agent.fonts().fontsDir() + "/ipag.ttf";
        EXPECT_FALSE(agent.lastMessage().contains(ipa));
        ASSERT_EQ(unlink((agent.fonts().confDir() + "/60-ipa.conf").c_str()), 0);
        ASSERT_TRUE(agent.waitForChange());
        EXPECT_TRUE(agent.lastMessage().contains(ipa));
      },
      [](PrivateFonts& fonts) {
        fonts.add(testing::kIpaGothic, "ipag.ttf");
        testing::writeFile(fonts.confDir() + "/60-ipa.conf",
                           configurationText("<selectfont><rejectfont><pattern><patelt "
                                             "name=\"family\"><string>IPAゴシック</string></patelt>"
                                             "</pattern></rejectfont></selectfont>"));
        setenv("XDG_CONFIG_HOME", (fonts.root() + "/home/.config").c_str(), 1);
        testing::writeFile(fonts.confDir() + "/50-user.conf",
                           configurationText("<include ignore_missing=\"yes\" prefix=\"xdg\">"
                                             "fontconfig/conf.d</include>"));
      });
}

// A random walk through what users and installers do to fonts and their
// configuration. After every step the agent's catalogue, kept up to date
// file by file, must be byte for byte what a fresh scan sends; and a new
// message comes exactly when the fresh scan's outcome changed.
TEST(FontSetNotifierTest, KeptCatalogueIsAFreshScanAfterEveryStep) {
  unsigned seed = 20261208;
  if (const char* chosen = getenv("KAVRI_FONT_WALK_SEED")) seed = std::stoul(chosen);
  int steps = 28;
  if (const char* chosen = getenv("KAVRI_FONT_WALK_STEPS")) steps = std::stoi(chosen);
  inChild([seed, steps](Agent& agent) {
    SCOPED_TRACE("KAVRI_FONT_WALK_SEED=" + std::to_string(seed));
    std::mt19937 random(seed);
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); };
    const std::vector<std::string> pool = {
        testing::kDejaVuSans, testing::kInterThin,       testing::kInterVariable,
        testing::kIpaGothic,  testing::kTerminusOtb,     testing::kTerminusPcf,
        testing::kUrwType1,   testing::kWenQuanYiZenHei,
    };
    PrivateFonts& fonts = agent.fonts();
    const std::string root = fonts.root();
    testing::TempDir outside;
    const std::string scratch = outside.file("fresh");
    // The font directories there may be: configured ones (the user's one
    // missing at first, another only once a configuration names it) and
    // whatever subdirectories the walk makes.
    auto fontDirs = [&] {
      std::vector<std::string> dirs;
      for (const std::string& top : {fonts.fontsDir(), agent.userFonts(), root + "/extra"}) {
        if (!std::filesystem::is_directory(top)) continue;
        dirs.push_back(top);
        for (const auto& entry : std::filesystem::recursive_directory_iterator(top)) {
          if (entry.is_directory()) dirs.push_back(entry.path());
        }
      }
      return dirs;
    };
    auto files = [&] {
      std::vector<std::string> found;
      for (const std::string& dir : fontDirs()) {
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
          if (entry.is_regular_file() && entry.path().filename() != "marker") {
            found.push_back(entry.path());
          }
        }
      }
      std::sort(found.begin(), found.end());
      found.erase(std::unique(found.begin(), found.end()), found.end());
      return found;
    };
    const std::vector<std::string> configurations = {
        // A family rejected by name.
        "<selectfont><rejectfont><pattern><patelt name=\"family\"><string>DejaVu Sans</string>"
        "</patelt></pattern></rejectfont></selectfont>",
        // A family rejected by its name in another language.
        "<selectfont><rejectfont><pattern><patelt name=\"family\"><string>IPAゴシック</string>"
        "</patelt></pattern></rejectfont></selectfont>",
        // Bitmap faces rejected, Terminus's taken all the same.
        "<selectfont><rejectfont><pattern><patelt name=\"scalable\"><bool>false</bool></patelt>"
        "</pattern></rejectfont><acceptfont><pattern><patelt name=\"family\"><string>Terminus"
        "</string></patelt></pattern></acceptfont></selectfont>",
        // Files rejected by path, one accepted back.
        "<selectfont><rejectfont><glob>*/sub*</glob></rejectfont><acceptfont><glob>*/sub*/keep*"
        "</glob></acceptfont></selectfont>",
        // Files rejected by name and kind: the same selection as one of these,
        // or none, is applied without fontconfig reading folders again.
        "<selectfont><rejectfont><glob>*/f1*</glob><glob>*.otf</glob></rejectfont>"
        "</selectfont>",
        // Weights rejected by a constant.
        "<selectfont><rejectfont><pattern><patelt name=\"weight\"><const>bold</const></patelt>"
        "</pattern></rejectfont></selectfont>",
        // Another font directory.
        "<dir>" + root + "/extra</dir>",
    };
    const std::string configuration = fonts.confDir() + "/60-walk.conf";
    int counter = 0;
    auto fresh = [&] { return "f" + std::to_string(counter++); };

    FreshScan before = freshScan(fonts, scratch);
    ASSERT_EQ(agent.lastMessageText(), before.message);
    for (int step = 0; step < steps; ++step) {
      std::vector<std::string> existing = files();
      std::vector<std::string> dirs = fontDirs();
      std::string did;
      switch (pick(11)) {
        case 0:
        case 1: {  // a font copied in (through a temporary name)
          const std::string& font = pool[pick(pool.size())];
          std::string to = dirs[pick(dirs.size())] + "/" + (pick(4) == 0 ? "keep-" : "") + fresh() +
                           std::filesystem::path(font).extension().string();
          ASSERT_TRUE(testing::copyFile(font, to));
          did = "add " + to;
          break;
        }
        case 2:  // a file that is no font
          testing::writeFile(dirs[pick(dirs.size())] + "/" + fresh() + ".txt", "notes");
          did = "add a text file";
          break;
        case 3:
          if (existing.empty()) continue;
          did = "remove " + existing[pick(existing.size())];
          ASSERT_EQ(unlink(did.substr(7).c_str()), 0);
          break;
        case 4: {  // renamed, maybe into another directory
          if (existing.empty()) continue;
          std::string from = existing[pick(existing.size())];
          std::string to = dirs[pick(dirs.size())] + "/" + fresh() +
                           std::filesystem::path(from).extension().string();
          ASSERT_EQ(rename(from.c_str(), to.c_str()), 0);
          did = "rename " + from + " " + to;
          break;
        }
        case 5: {  // rewritten in place with another font's bytes
          if (existing.empty()) continue;
          std::string file = existing[pick(existing.size())];
          std::string bytes = testing::readFile(pool[pick(pool.size())]);
          int fd = open(file.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
          ASSERT_GE(fd, 0);
          ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
          close(fd);
          did = "rewrite " + file;
          break;
        }
        case 6:  // touched: nothing changes
          if (existing.empty()) continue;
          did = "touch " + existing[pick(existing.size())];
          ASSERT_EQ(utime(did.substr(6).c_str(), nullptr), 0);
          break;
        case 7: {  // a directory of fonts moved in, or made where the user's fonts go
          std::string dir =
              pick(3) == 0 ? agent.userFonts() : dirs[pick(dirs.size())] + "/sub" + fresh();
          std::string staged = outside.file(fresh());
          ASSERT_TRUE(std::filesystem::create_directories(staged + "/deeper"));
          ASSERT_TRUE(testing::copyFile(pool[pick(pool.size())], staged + "/a.ttf"));
          ASSERT_TRUE(testing::copyFile(pool[pick(pool.size())], staged + "/deeper/b.otf"));
          if (std::filesystem::exists(dir)) continue;
          std::filesystem::create_directories(std::filesystem::path(dir).parent_path());
          ASSERT_EQ(rename(staged.c_str(), dir.c_str()), 0);
          did = "move in " + dir;
          break;
        }
        case 8: {  // a directory removed with all in it
          std::vector<std::string> subs;
          for (const std::string& dir : dirs) {
            if (dir != fonts.fontsDir() && dir != root + "/extra") subs.push_back(dir);
          }
          if (subs.empty()) continue;
          did = "remove tree " + subs[pick(subs.size())];
          std::filesystem::remove_all(did.substr(12));
          break;
        }
        case 9:
        case 10:  // the configuration changes
          if (pick(3) == 0) {
            unlink(configuration.c_str());
            did = "configuration removed";
          } else {
            size_t which = pick(configurations.size());
            if (which == configurations.size() - 1) {
              std::filesystem::create_directories(root + "/extra");
              ASSERT_TRUE(
                  testing::copyFile(testing::kInterThin, root + "/extra/" + fresh() + ".otf"));
            }
            testing::writeFile(configuration, "<?xml version=\"1.0\"?>\n<fontconfig>" +
                                                  configurations[which] + "</fontconfig>\n");
            did = "configuration " + std::to_string(which);
          }
          break;
      }
      SCOPED_TRACE("step " + std::to_string(step) + ": " + did);
      size_t messages = agent.messages().size();
      ASSERT_TRUE(agent.settle());
      FreshScan after = freshScan(fonts, scratch);
      std::vector<nlohmann::json> sent = agent.messages();
      if (after == before) {
        EXPECT_LE(sent.size(), messages + 1) << "more than one message for one change";
      } else {
        EXPECT_EQ(sent.size(), messages + 1) << "one message per change";
      }
      ASSERT_EQ(agent.lastMessageText(), after.message);
      before = after;
    }
  });
}

}  // namespace
}  // namespace kavri
