// The extraction mode of the whole KavriDaemon executable, on sidecars and
// attributes written by real tools where Debian has them.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fork_fixtures.h"
#include "test_util.h"

extern char** environ;

namespace kavri {
namespace {

using testing::appleDouble;
using testing::RunResult;
using testing::TempDir;
using testing::writeFile;

const std::string kDaemon = KAVRI_DAEMON_PATH;

RunResult extract(const std::string& path) { return testing::run({kDaemon, "--extract-resource-fork", path}); }

// Runs a shell command line (tool set-up); fails the test when it fails.
void shell(const std::string& script) {
  RunResult result = testing::run({"/bin/sh", "-c", script});
  ASSERT_EQ(result.exitStatus, 0) << script << "\n" << result.err;
}

#define EXPECT_FORK(result, bytes)                                                           \
  do {                                                                                       \
    RunResult r_ = (result);                                                                 \
    EXPECT_EQ(r_.exitStatus, 0) << r_.err;                                                   \
    EXPECT_EQ(r_.out.size(), (bytes).size());                                                \
    EXPECT_TRUE(r_.out == (bytes)) << "output differs from the fork";                        \
    EXPECT_EQ(r_.err, "");                                                                   \
  } while (0)

#define EXPECT_NO_FORK(result)            \
  do {                                    \
    RunResult r_ = (result);              \
    EXPECT_EQ(r_.exitStatus, 1);          \
    EXPECT_EQ(r_.signal, 0);              \
    EXPECT_EQ(r_.out.size(), 0u);         \
    EXPECT_EQ(r_.err, "");                \
  } while (0)

std::string hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text = "0x";
  for (unsigned char c : bytes) {
    text += kDigits[c >> 4];
    text += kDigits[c & 15];
  }
  return text;
}

class ExtractResourceForkTest : public ::testing::Test {
 protected:
  TempDir dir_;
  const std::string font_ = testing::dejaVuFont();

  // A MacBinary stream holding `font_` as the resource fork of "Font.ttf",
  // written by macutils.
  std::string macBinaryOfFont() {
    writeFile(dir_.file("Font.ttf"), font_);
    shell("cd " + dir_.path() + " && macstream -r Font.ttf > font.bin && rm Font.ttf");
    return dir_.file("font.bin");
  }
};

TEST_F(ExtractResourceForkTest, SidecarFromAnArchiveToolWithFinderInfoFirst) {
  // unar writes a "._" sidecar: Finder info, then the resource fork.
  std::string bin = macBinaryOfFont();
  shell("unar -q -k hidden -o " + dir_.file("out") + " " + bin);
  ASSERT_EQ(testing::readFile(dir_.file("out/._Font.ttf")).substr(0, 8), std::string("\0\5\x16\7\0\2\0\0", 8));
  writeFile(dir_.file("out/Font.ttf"), "");  // the empty data fork
  EXPECT_FORK(extract(dir_.file("out/Font.ttf")), font_);
}

TEST_F(ExtractResourceForkTest, SidecarFromAFileSharingToolWithTheForkFirst) {
  // macsave writes the file server's layout: the resource fork's entry and
  // data first, then name, comment, file and Finder info. It writes version 1
  // into .AppleDouble/NAME; as "._NAME" that version is refused, and with the
  // version word alone changed to 2 the same file gives the fork.
  std::string bin = macBinaryOfFont();
  shell("mkdir " + dir_.file("share") + " " + dir_.file("share/.AppleDouble") + " && cd " + dir_.file("share") +
        " && macsave -a < " + bin);
  std::string sidecar = testing::readFile(dir_.file("share/.AppleDouble/Font.ttf"));
  ASSERT_EQ(sidecar.substr(0, 8), std::string("\0\5\x16\7\0\1\0\0", 8));
  ASSERT_EQ(sidecar.substr(26, 4), std::string("\0\0\0\2", 4));  // the fork's entry comes first
  writeFile(dir_.file("share/._Font.ttf"), sidecar);
  EXPECT_NO_FORK(extract(dir_.file("share/Font.ttf")));

  sidecar[5] = 2;
  writeFile(dir_.file("share/._Font.ttf"), sidecar);
  EXPECT_FORK(extract(dir_.file("share/Font.ttf")), font_);
}

// A Samba server on loopback sharing one directory the way it serves macOS
// clients: vfs_fruit keeps each resource fork in a "._NAME" sidecar.
class SambaShare {
 public:
  explicit SambaShare(const TempDir& work) : work_(work) {
    for (const char* sub : {"share", "private", "lock", "state", "cache", "pid", "ncalrpc"})
      mkdir(work_.file(sub).c_str(), 0700);
    port_ = freeLoopbackPort();
    std::string conf = "[global]\n"
        "server role = standalone server\n"
        "smb ports = " + std::to_string(port_) + "\n"
        "interfaces = 127.0.0.1\nbind interfaces only = yes\n"
        "private dir = " + work_.file("private") + "\nlock directory = " + work_.file("lock") + "\n"
        "state directory = " + work_.file("state") + "\ncache directory = " + work_.file("cache") + "\n"
        "pid directory = " + work_.file("pid") + "\nncalrpc dir = " + work_.file("ncalrpc") + "\n"
        "log file = " + work_.file("smbd.log") + "\n"
        "map to guest = Bad User\nguest account = root\ndisable netbios = yes\n"
        "load printers = no\nprinting = bsd\nprintcap name = /dev/null\ndisable spoolss = yes\n"
        "[share]\npath = " + work_.file("share") + "\nread only = no\nguest ok = yes\nforce user = root\n"
        "vfs objects = catia fruit streams_xattr\nfruit:resource = file\nfruit:metadata = stream\n";
    writeFile(work_.file("smb.conf"), conf);

    // smbd puts itself and its helpers in a process group of their own,
    // which the destructor ends as a whole.
    std::string configOption = "--configfile=" + work_.file("smb.conf");
    std::vector<char*> argv = {const_cast<char*>("/usr/sbin/smbd"), const_cast<char*>("--foreground"),
                               configOption.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, work_.file("smbd.out").c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }

  ~SambaShare() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGTERM);
    kill(pid_, SIGTERM);
    int status;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }

  std::string share() const { return work_.file("share"); }

  // Waits until the server takes connections; false if it ended or did not
  // listen within a generous time.
  bool waitUntilListening() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
      int status;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      if (connects()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << "smbd did not start:\n" << testing::readFile(work_.file("smbd.out"));
    return false;
  }

  // Runs smbclient commands against the share as guest.
  RunResult client(const std::string& commands) {
    return testing::run({"/usr/bin/smbclient", "//127.0.0.1/share", "-p", std::to_string(port_), "-N",
                         "--configfile=" + work_.file("smb.conf"), "-c", commands});
  }

 private:
  static int freeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
  }

  bool connects() const {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port_));
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
  }

  const TempDir& work_;
  int port_ = 0;
  pid_t pid_ = -1;
};

TEST_F(ExtractResourceForkTest, SidecarFromAFileServerWithTheForkEntryFirst) {
  if (geteuid() != 0) GTEST_SKIP() << "smbd needs root";
  // A macOS client copying a font suitcase writes its resource fork as the
  // AFP_Resource stream; Samba stores it in "._Font.ttf" with the fork's
  // entry first in the table and the Finder info's data first in the file.
  SambaShare samba(dir_);
  ASSERT_TRUE(samba.waitUntilListening());
  writeFile(dir_.file("font"), font_);
  RunResult put = samba.client("put " + dir_.file("font") + " Font.ttf; put " + dir_.file("font") +
                               " Font.ttf:AFP_Resource");
  ASSERT_EQ(put.exitStatus, 0) << put.out << put.err;
  std::string sidecar = testing::readFile(samba.share() + "/._Font.ttf");
  ASSERT_EQ(sidecar.substr(0, 8), std::string("\0\5\x16\7\0\2\0\0", 8));
  EXPECT_EQ(sidecar.substr(26, 4), std::string("\0\0\0\2", 4));
  EXPECT_FORK(extract(samba.share() + "/Font.ttf"), font_);

  // Its own data fork is no resource fork.
  writeFile(dir_.file("plain"), "plain");
  ASSERT_EQ(samba.client("put " + dir_.file("plain") + " Plain.txt").exitStatus, 0);
  EXPECT_NO_FORK(extract(samba.share() + "/Plain.txt"));
}

TEST_F(ExtractResourceForkTest, MacOsSidecarWithExtendedAttributesBeforeTheFork) {
  writeFile(dir_.file("Font.ttf"), "");
  writeFile(dir_.file("._Font.ttf"),
            testing::macOsSidecar(font_, {{"com.apple.quarantine", "0081;65a1b2c3;Safari;"},
                                          {"com.apple.lastuseddate#PS", std::string(16, '\x07')}}));
  EXPECT_FORK(extract(dir_.file("Font.ttf")), font_);
}

TEST_F(ExtractResourceForkTest, AttributeSetWithSetfattr) {
  // ext4 keeps an attribute within one block: the font's first 3000 bytes
  // (its table directory and first tables) stand for a small fork.
  std::string fork = font_.substr(0, 3000);
  writeFile(dir_.file("f"), "data");
  shell("setfattr -n user.com.apple.ResourceFork -v " + hex(fork) + " " + dir_.file("f"));
  EXPECT_FORK(extract(dir_.file("f")), fork);

  // A blank sidecar counts as none; the attribute is the fork.
  writeFile(dir_.file("._f"), testing::macOsSidecar(testing::blankResourceFork()));
  EXPECT_FORK(extract(dir_.file("f")), fork);

  // A sidecar that holds a fork comes first.
  writeFile(dir_.file("._f"), appleDouble({{2, "sidecar"}}));
  EXPECT_FORK(extract(dir_.file("f")), std::string("sidecar"));
}

TEST_F(ExtractResourceForkTest, EmptyAndBlankForksAreNoFork) {
  writeFile(dir_.file("f"), "data");
  shell("setfattr -n user.com.apple.ResourceFork -v '' " + dir_.file("f"));
  EXPECT_NO_FORK(extract(dir_.file("f")));
  writeFile(dir_.file("._f"), appleDouble({{9, std::string(32, '\0')}, {2, ""}}));
  EXPECT_NO_FORK(extract(dir_.file("f")));
  writeFile(dir_.file("._f"), testing::macOsSidecar(testing::blankResourceFork()));
  EXPECT_NO_FORK(extract(dir_.file("f")));
  EXPECT_EQ(testing::readFile(dir_.file("._f")).size(), 4096u);  // the classic blank sidecar
  writeFile(dir_.file("g"), "");
  EXPECT_NO_FORK(extract(dir_.file("g")));
}

TEST_F(ExtractResourceForkTest, MissingPathsDirectoriesAndLinkedSidecars) {
  EXPECT_NO_FORK(extract(dir_.file("missing")));
  EXPECT_NO_FORK(extract(""));

  ASSERT_EQ(mkdir(dir_.file("d").c_str(), 0700), 0);
  writeFile(dir_.file("d/rsrc"), font_);
  writeFile(dir_.file("._d"), appleDouble({{2, "beside"}}));
  EXPECT_NO_FORK(extract(dir_.file("d")));

  writeFile(dir_.file("f"), "");
  writeFile(dir_.file("target"), appleDouble({{2, "through a link"}}));
  ASSERT_EQ(symlink(dir_.file("target").c_str(), dir_.file("._f").c_str()), 0);
  EXPECT_NO_FORK(extract(dir_.file("f")));
}

TEST_F(ExtractResourceForkTest, MalformedSidecarsGiveNoOutput) {
  writeFile(dir_.file("f"), "");
  std::string good = testing::macOsSidecar(font_);
  for (const std::string& bad : {good.substr(0, good.size() - 1), good.substr(0, 0xEE2), good.substr(0, 49),
                                 appleDouble({{2, "one"}, {2, "two"}})}) {
    writeFile(dir_.file("._f"), bad);
    EXPECT_NO_FORK(extract(dir_.file("f")));
  }
}

// Runs the extraction with standard output on `stdoutFd` and SIGPIPE at its
// default, whatever this test process does with it.
RunResult extractTo(int stdoutFd, const std::string& path) {
  int err[2];
  EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  std::vector<char*> argv = {const_cast<char*>(kDaemon.c_str()), const_cast<char*>("--extract-resource-fork"),
                             const_cast<char*>(path.c_str()), nullptr};
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(err[1]);
  RunResult result;
  if (rc != 0) {
    close(err[0]);
    ADD_FAILURE() << "cannot start " << kDaemon;
    return result;
  }
  char buffer[4096];
  ssize_t n;
  while ((n = read(err[0], buffer, sizeof buffer)) != 0) {
    if (n > 0) result.err.append(buffer, static_cast<size_t>(n));
    if (n < 0 && errno != EINTR) break;
  }
  close(err[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

TEST_F(ExtractResourceForkTest, OutputThatCannotBeWrittenIsStatusOne) {
  writeFile(dir_.file("Font.ttf"), "");
  writeFile(dir_.file("._Font.ttf"), testing::macOsSidecar(font_));

  int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  RunResult result = extractTo(full, dir_.file("Font.ttf"));
  close(full);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.err, "");

  // A reader that is gone before the first byte: EPIPE, not death by SIGPIPE.
  int pipeFds[2];
  ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
  close(pipeFds[0]);
  result = extractTo(pipeFds[1], dir_.file("Font.ttf"));
  close(pipeFds[1]);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.err, "");

  int closed = open("/dev/null", O_RDONLY | O_CLOEXEC);  // a descriptor that refuses writes
  result = extractTo(closed, dir_.file("Font.ttf"));
  close(closed);
  EXPECT_EQ(result.exitStatus, 1);
}

TEST_F(ExtractResourceForkTest, OutputIntoAFileIsTheWholeFork) {
  writeFile(dir_.file("Font.ttf"), "");
  writeFile(dir_.file("._Font.ttf"), testing::macOsSidecar(font_));
  int out = open(dir_.file("fork").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(out, 0);
  RunResult result = extractTo(out, dir_.file("Font.ttf"));
  close(out);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_TRUE(testing::readFile(dir_.file("fork")) == font_);
}

}  // namespace
}  // namespace kavri
