#include "platform/font_set_notifier.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "font_fixtures/private_fonts.h"
#include "fonts/font_scanner.h"
#include "platform/font_source.h"
#include "platform/fontconfig_faces.h"
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
  Agent() : fonts_({"user/fonts"}) {
    fonts_.add(testing::kDejaVuSans);
    // Outside the watched directories: writing messages changes nothing.
    messagesPath_ = outside_.file("server-input");
    serverStdin = open(messagesPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    setLogSinkForTesting([](const std::string&) {});
    MainLoop::shared();
    scanner_ = std::make_unique<FontScanner>(FontSource::shared());
    scanner_->scanForFonts();
    FontSetNotifier::shared().addObserver([this] { scanner_->fontSetChanged(); });
    setFontSetReloadHookForTesting([this](bool changed) {
      (changed ? changes_ : unchanged_)++;
      MainLoop::shared().stop();
    });
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
  int unchanged() const { return unchanged_; }

 private:
  PrivateFonts fonts_;
  testing::TempDir outside_;
  std::string messagesPath_;
  std::unique_ptr<FontScanner> scanner_;
  int changes_ = 0;
  int unchanged_ = 0;
  int waits_ = 0;
};

// Runs `scenario` in a child process and reports its failures.
void inChild(const std::function<void(Agent&)>& scenario) {
  fflush(nullptr);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    {
      Agent agent;
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

std::string dejavu(Agent& agent) { return agent.fonts().fontsDir() + "/DejaVuSans.ttf"; }

TEST(FontSetNotifierTest, CopyInSendsOneNewCatalogue) {
  inChild([](Agent& agent) {
    std::string copy = agent.fonts().add(testing::kIpaGothic);
    ASSERT_TRUE(agent.waitForChange());
    EXPECT_TRUE(agent.lastMessage().contains(copy));
    EXPECT_TRUE(agent.lastMessage().contains(dejavu(agent)));
  });
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

TEST(FontSetNotifierTest, InPlaceOverwriteIsSeen) {
  inChild([](Agent& agent) {
    // Same file, same directory time stamp: only its contents change.
    std::string bytes = testing::readFile(testing::kIpaGothic);
    int fd = open(dejavu(agent).c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
    ASSERT_TRUE(agent.waitForChange());
    nlohmann::json faces = agent.lastMessage()[dejavu(agent)];
    ASSERT_EQ(faces.size(), 1u);
    EXPECT_EQ(faces[0]["family"], "IPAGothic");
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

}  // namespace
}  // namespace kavri
