#include "platform/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace kavri {
namespace {

// Captures what is written to standard error while it lives.
class StderrCapture {
 public:
  StderrCapture() {
    pipe2(fds_, O_CLOEXEC);
    saved_ = dup(STDERR_FILENO);
    dup2(fds_[1], STDERR_FILENO);
  }
  std::string finish() {
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    close(fds_[1]);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds_[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    close(fds_[0]);
    return text;
  }

 private:
  int fds_[2];
  int saved_;
};

TEST(LogTest, OneLineInThePlatformFormat) {
  StderrCapture capture;
  logLine("kavri-node died (%d), exiting", 3);
  std::string text = capture.finish();
  std::regex format(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} KavriDaemon\[)" +
                    std::to_string(getpid()) + R"(:\d+\] kavri-node died \(3\), exiting\n)");
  EXPECT_TRUE(std::regex_match(text, format)) << text;
}

TEST(LogTest, LinesFromManyThreadsStayWhole) {
  StderrCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) logLine("thread %d line %d %s", t, i, std::string(200, 'x').c_str());
    });
  for (auto& thread : threads) thread.join();
  std::string text = capture.finish();
  std::regex line(R"([^\n]*\] thread \d line \d+ x{200})");
  size_t count = 0, start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1, ++count)
    EXPECT_TRUE(std::regex_match(text.substr(start, end - start), line));
  EXPECT_EQ(count, 200u);
}

TEST(LogTest, OverlongMessageIsCutButStaysOneLine) {
  StderrCapture capture;
  logLine("%s", std::string(10000, 'y').c_str());
  std::string text = capture.finish();
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find('\n'), text.size() - 1);
}

TEST(LogTest, SinkReceivesBareMessage) {
  std::vector<std::string> seen;
  setLogSinkForTesting([&](const std::string& m) { seen.push_back(m); });
  logLine("ignoring bad font '%s'", "X-Bold");
  setLogSinkForTesting(nullptr);
  EXPECT_EQ(seen, std::vector<std::string>{"ignoring bad font 'X-Bold'"});
}

}  // namespace
}  // namespace kavri
