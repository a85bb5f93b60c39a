#ifndef KAVRI_TESTS_E2E_FEED_SERVER_H_
#define KAVRI_TESTS_E2E_FEED_SERVER_H_

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kavri::testing {

// A plain HTTP server on 127.0.0.1 that answers every GET with one fixed
// body and records when each request came.
class FeedServer {
 public:
  explicit FeedServer(std::string body);
  ~FeedServer();
  FeedServer(const FeedServer&) = delete;
  FeedServer& operator=(const FeedServer&) = delete;

  int port() const { return port_; }
  std::vector<std::chrono::steady_clock::time_point> requests();

 private:
  void serve();

  std::string body_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;  // guards requests_
  std::vector<std::chrono::steady_clock::time_point> requests_;
  std::thread thread_;
};

}  // namespace kavri::testing

#endif  // KAVRI_TESTS_E2E_FEED_SERVER_H_
