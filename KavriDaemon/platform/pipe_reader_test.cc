#include "platform/pipe_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

namespace kavri {
namespace {

TEST(PipeReaderTest, ChunksArriveInOrderOneCallAtATime) {
  Pipe pipe;
  ASSERT_TRUE(createPipe(&pipe, nullptr));
  std::mutex mu;
  std::condition_variable grew;
  std::string received;
  int inside = 0, overlapped = 0;
  auto reader = PipeReader::start(std::move(pipe.readEnd),
                                  [&](std::string_view chunk) {
                                    std::lock_guard<std::mutex> lock(mu);
                                    if (++inside > 1) ++overlapped;
                                    received.append(chunk);
                                    --inside;
                                    grew.notify_all();
                                  },
                                  nullptr);
  ASSERT_TRUE(reader);
  std::string sent;
  for (int i = 0; i < 2000; ++i) {
    std::string piece = std::to_string(i) + ",";
    ASSERT_EQ(write(pipe.writeEnd.get(), piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
    sent += piece;
  }
  std::unique_lock<std::mutex> lock(mu);
  EXPECT_TRUE(grew.wait_for(lock, std::chrono::seconds(30), [&] { return received.size() >= sent.size(); }));
  EXPECT_EQ(received, sent);
  EXPECT_EQ(overlapped, 0);
}

TEST(PipeReaderTest, DestroyingItStopsTheThreadWhileTheWriterStaysOpen) {
  Pipe pipe;
  ASSERT_TRUE(createPipe(&pipe, nullptr));
  auto reader = PipeReader::start(std::move(pipe.readEnd), [](std::string_view) {}, nullptr);
  ASSERT_TRUE(reader);
  reader.reset();  // must return although no EOF ever comes
  SUCCEED();
}

}  // namespace
}  // namespace kavri
