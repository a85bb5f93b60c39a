#include "updater/update_download.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "support/update_test_support.h"
#include "test_util.h"

extern char** environ;

namespace kavri {
namespace {

using testing::HttpResponse;
using testing::TestHttpServer;

DownloadLimits quick(uint64_t maxBytes) {
  DownloadLimits limits;
  limits.maxBytes = maxBytes;
  limits.connectTimeout = std::chrono::seconds(5);
  limits.stallTimeout = std::chrono::seconds(1);
  limits.totalTimeout = std::chrono::seconds(20);
  return limits;
}

HttpResponse serve(const std::string& path) {
  HttpResponse r;
  if (path == "/feed") {
    r.body = "hello";
  } else if (path == "/redirect") {
    r.status = 302;
    r.headers = {{"Location", "/feed"}};
    r.body = "moved";
  } else if (path == "/redirect-file") {
    r.status = 301;
    r.headers = {{"Location", "file:///etc/passwd"}};
  } else if (path == "/redirect-away") {
    r.status = 307;
    r.headers = {{"Location", "http://192.0.2.1/feed"}};
  } else if (path == "/loop") {
    r.status = 302;
    r.headers = {{"Location", "/loop"}};
  } else if (path == "/truncated") {
    r.body = "only part";
    r.contentLength = 1000;
  } else if (path == "/oversend") {
    r.body = std::string(4096, 'x');
    r.repeatBody = 1024;
    r.omitContentLength = true;
  } else if (path == "/declared-huge") {
    r.body = "x";
    r.contentLength = uint64_t{1} << 40;
  } else if (path == "/stall") {
    r.body = "first bytes";
    r.contentLength = 1000;
    r.stall = true;
  } else {
    r.status = 404;
    r.body = "not found";
  }
  return r;
}

TEST(UpdateDownload, PermitsHttpsAnywhereAndHttpOnlyToLoopback) {
  std::string err;
  EXPECT_TRUE(isPermittedUpdateURL("https://updates.example.com/feed.xml", &err)) << err;
  EXPECT_TRUE(isPermittedUpdateURL("http://127.0.0.1:8000/feed.xml", &err)) << err;
  EXPECT_TRUE(isPermittedUpdateURL("http://127.3.2.1/feed.xml", &err)) << err;
  EXPECT_TRUE(isPermittedUpdateURL("http://[::1]:99/feed.xml", &err)) << err;
  EXPECT_TRUE(isPermittedUpdateURL("http://localhost/feed.xml", &err)) << err;
  EXPECT_FALSE(isPermittedUpdateURL("http://example.com/feed.xml", &err));
  EXPECT_FALSE(isPermittedUpdateURL("http://128.0.0.1/feed.xml", &err));
  EXPECT_FALSE(isPermittedUpdateURL("http://127.0.0.1.example.com/feed.xml", &err));
  EXPECT_FALSE(isPermittedUpdateURL("ftp://127.0.0.1/feed.xml", &err));
  EXPECT_FALSE(isPermittedUpdateURL("file:///etc/passwd", &err));
  EXPECT_FALSE(isPermittedUpdateURL("not a url", &err));
  EXPECT_FALSE(isPermittedUpdateURL("", &err));
}

TEST(UpdateDownload, FetchesAndFollowsLocalRedirects) {
  TestHttpServer server(serve);
  std::string body, err;
  ASSERT_TRUE(downloadToString(server.url("/feed"), quick(100), &body, nullptr, &err)) << err;
  EXPECT_EQ(body, "hello");
  ASSERT_TRUE(downloadToString(server.url("/redirect"), quick(100), &body, nullptr, &err)) << err;
  EXPECT_EQ(body, "hello");  // the redirect's own body is not part of it
}

TEST(UpdateDownload, RefusesBadRedirectsAndStatuses) {
  TestHttpServer server(serve);
  std::string body, err;
  EXPECT_FALSE(downloadToString(server.url("/redirect-file"), quick(100), &body, nullptr, &err));
  EXPECT_NE(err.find("redirect refused"), std::string::npos) << err;
  EXPECT_FALSE(downloadToString(server.url("/redirect-away"), quick(100), &body, nullptr, &err));
  EXPECT_NE(err.find("redirect refused"), std::string::npos) << err;
  EXPECT_FALSE(downloadToString(server.url("/loop"), quick(100), &body, nullptr, &err));
  EXPECT_NE(err.find("too many redirects"), std::string::npos) << err;
  EXPECT_FALSE(downloadToString(server.url("/missing"), quick(100), &body, nullptr, &err));
  EXPECT_NE(err.find("404"), std::string::npos) << err;
}

TEST(UpdateDownload, EnforcesSizeAsBytesArrive) {
  TestHttpServer server(serve);
  std::string body, err;
  EXPECT_FALSE(downloadToString(server.url("/feed"), quick(4), &body, nullptr, &err));
  EXPECT_FALSE(downloadToString(server.url("/oversend"), quick(64 * 1024), &body, nullptr, &err));
  EXPECT_NE(err.find("larger than 65536"), std::string::npos) << err;
  EXPECT_LE(body.size(), 64u * 1024);
  EXPECT_FALSE(downloadToString(server.url("/declared-huge"), quick(1 << 20), &body, nullptr, &err));
  EXPECT_NE(err.find("larger"), std::string::npos) << err;
}

TEST(UpdateDownload, FailsOnTruncationStallsAndRefusedConnections) {
  std::string body, err, url;
  {
    TestHttpServer server(serve);
    url = server.url("/feed");
    EXPECT_FALSE(downloadToString(server.url("/truncated"), quick(5000), &body, nullptr, &err));
    EXPECT_FALSE(err.empty());
    EXPECT_FALSE(downloadToString(server.url("/stall"), quick(5000), &body, nullptr, &err));
    EXPECT_NE(err.find("timed out"), std::string::npos) << err;
    std::atomic<bool> cancel{true};
    EXPECT_FALSE(downloadToString(server.url("/stall"), quick(5000), &body, &cancel, &err));
    EXPECT_EQ(err, "cancelled");
  }
  // Nothing listens there any more.
  EXPECT_FALSE(downloadToString(url, quick(100), &body, nullptr, &err));
  EXPECT_FALSE(err.empty());
}

// `openssl s_server` on loopback with a self-signed certificate for
// 127.0.0.1: real TLS that nobody vouches for.
class UntrustedTlsServer {
 public:
  explicit UntrustedTlsServer(const std::string& dir) {
    std::string cert = dir + "/cert.pem", key = dir + "/key.pem";
    auto made = testing::run({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                              "ec_paramgen_curve:prime256v1", "-nodes", "-subj", "/CN=127.0.0.1",
                              "-addext", "subjectAltName=IP:127.0.0.1", "-days", "1", "-keyout", key,
                              "-out", cert});
    EXPECT_EQ(made.exitStatus, 0) << made.err;
    // A free port: taken, noted, let go.
    int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    close(probe);
    std::string accept = "127.0.0.1:" + std::to_string(port_);
    std::vector<std::string> args = {"/usr/bin/openssl", "s_server", "-quiet", "-www", "-accept",
                                     accept, "-cert", cert, "-key", key};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
  }
  ~UntrustedTlsServer() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }

  // Waits until the server accepts connections.
  bool ready() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address = {};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<uint16_t>(port_));
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
      close(fd);
      if (connected) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

TEST(UpdateDownload, RefusesACertificateNobodyVouchesFor) {
  testing::TempDir dir;
  UntrustedTlsServer tls(dir.path());
  ASSERT_TRUE(tls.ready());
  std::string body, err;
  std::string url = "https://127.0.0.1:" + std::to_string(tls.port()) + "/";
  EXPECT_FALSE(downloadToString(url, quick(1 << 20), &body, nullptr, &err));
  EXPECT_NE(err.find("certificate"), std::string::npos) << err;
}

TEST(UpdateDownload, HttpsMustBeRealTls) {
  TestHttpServer plain(serve);
  std::string body, err;
  std::string https = "https://127.0.0.1:" + std::to_string(plain.port()) + "/feed";
  EXPECT_FALSE(downloadToString(https, quick(100), &body, nullptr, &err));
  EXPECT_FALSE(err.empty());
}

}  // namespace
}  // namespace kavri
