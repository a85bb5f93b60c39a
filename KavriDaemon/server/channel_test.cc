#include "server/channel.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>

#include "platform/pipe.h"

namespace kavri {
namespace {

std::atomic<int> interruptions{0};
void countInterruption(int) { interruptions.fetch_add(1, std::memory_order_relaxed); }

// A catalogue-like line of about 1 MiB with non-ASCII names.
std::string largeMessage() {
  std::string message = "{";
  for (int i = 0; message.size() < (1u << 20); ++i) {
    message += "\"/usr/share/fonts/ノート/NotoSansJP-" + std::to_string(i) +
               ".otf\":[{\"family\":\"Noto Sans JP\",\"localizedFamily\":\"ノート サンズ JP\","
               "\"style\":\"Régulier\",\"postscript\":\"Ωmega😀\",\"weight\":400,\"stretch\":5,"
               "\"italic\":false}],";
  }
  message.back() = '}';
  return message + "\n";
}

class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(createPipe(&pipe_, nullptr)); }
  void TearDown() override { serverStdin = -1; }
  Pipe pipe_;
};

TEST_F(ChannelTest, LargeMessageWithNonAsciiNamesArrivesWholeThroughAPipeTakingSmallPieces) {
  // Signals that interrupt the blocked write make it return short counts
  // (SA_RESTART restarts only the calls that wrote nothing).
  struct sigaction action {};
  action.sa_handler = countInterruption;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, nullptr), 0);
  fcntl(pipe_.writeEnd.get(), F_SETPIPE_SZ, 4096);

  std::string message = largeMessage();
  pthread_t writer = pthread_self();
  std::string received;
  std::thread slowServer([&] {
    char buffer[1000];
    ssize_t n;
    while ((n = read(pipe_.readEnd.get(), buffer, sizeof buffer)) != 0) {
      if (n < 0 && errno == EINTR) continue;
      ASSERT_GT(n, 0);
      received.append(buffer, static_cast<size_t>(n));
      pthread_kill(writer, SIGUSR1);
    }
  });
  serverStdin = pipe_.writeEnd.get();
  sendStringToServer(message);
  pipe_.writeEnd.reset();
  slowServer.join();

  EXPECT_GT(interruptions.load(), 0);
  ASSERT_EQ(received.size(), message.size());
  EXPECT_TRUE(received == message);
}

TEST_F(ChannelTest, TextWithoutAUtf8FormIsNotWrittenAndLaterTextsStillAre) {
  fcntl(pipe_.readEnd.get(), F_SETFL, O_NONBLOCK);
  serverStdin = pipe_.writeEnd.get();
  sendStringToServer("{\"family\":\"\xED\xA0\x80\"}\n");  // an unpaired surrogate
  char buffer[64];
  EXPECT_EQ(read(pipe_.readEnd.get(), buffer, sizeof buffer), -1);
  EXPECT_EQ(errno, EAGAIN);
  sendStringToServer("{}\n");
  ASSERT_EQ(read(pipe_.readEnd.get(), buffer, sizeof buffer), 3);
  EXPECT_EQ(std::string(buffer, 3), "{}\n");
}

TEST_F(ChannelTest, FailedWriteIsDroppedSilently) {
  signal(SIGPIPE, SIG_IGN);
  pipe_.readEnd.reset();
  serverStdin = pipe_.writeEnd.get();
  sendStringToServer("{}\n");  // EPIPE: returns, nothing reported
  serverStdin = -1;
  sendStringToServer("{}\n");  // EBADF likewise
  signal(SIGPIPE, SIG_DFL);
}

}  // namespace
}  // namespace kavri
