#ifndef KAVRI_TESTS_SUPPORT_UPDATE_TEST_SUPPORT_H_
#define KAVRI_TESTS_SUPPORT_UPDATE_TEST_SUPPORT_H_

// Helpers for the updater's tests: a loopback HTTP server that can misbehave,
// archives written entry by entry, and Ed25519 signing with the openssl tool.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kavri::testing {

struct HttpResponse {
  int status = 200;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  // Declared Content-Length; defaults to the body's size. Larger than what is
  // sent makes a truncated response.
  std::optional<uint64_t> contentLength;
  bool omitContentLength = false;  // the end of the connection ends the body
  uint64_t repeatBody = 1;         // the body sent this many times
  bool stall = false;              // after sending, hold the connection open
};

using HttpHandler = std::function<HttpResponse(const std::string& path)>;

// An HTTP/1.1 server on 127.0.0.1, one thread per connection, one request
// per connection. Stops (releasing stalled connections) when destroyed.
class TestHttpServer {
 public:
  explicit TestHttpServer(HttpHandler handler);
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  std::string url(const std::string& path) const;
  int port() const { return port_; }
  int requests(const std::string& path) const;
  // The most requests for `path` ever handled at the same time.
  int maxConcurrent(const std::string& path) const;

 private:
  void acceptLoop();
  void serve(int fd);

  HttpHandler handler_;
  int listenFd_ = -1;
  int wakeFds_[2] = {-1, -1};
  int port_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable stopped_;
  bool stopping_ = false;                      // guarded by mutex_
  std::map<std::string, int> requests_;        // guarded by mutex_
  std::map<std::string, int> inFlight_;        // guarded by mutex_
  std::map<std::string, int> maxInFlight_;     // guarded by mutex_
  std::vector<std::thread> connections_;       // guarded by mutex_
  std::thread acceptThread_;
};

struct ArchiveMember {
  enum class Type { kFile, kDirectory, kSymlink, kHardlink, kCharDevice, kFifo };
  std::string name;
  Type type = Type::kFile;
  std::string data;       // file contents
  std::string target;     // link target
  unsigned mode = 0644;   // permission bits, set-id bits included
  uint64_t repeat = 1;    // the data written this many times
};

ArchiveMember fileMember(const std::string& name, const std::string& data, unsigned mode = 0644,
                         uint64_t repeat = 1);
ArchiveMember directoryMember(const std::string& name, unsigned mode = 0755);
ArchiveMember symlinkMember(const std::string& name, const std::string& target);
ArchiveMember hardlinkMember(const std::string& name, const std::string& target);
ArchiveMember specialMember(const std::string& name, ArchiveMember::Type type);

// Writes an archive with libarchive. `format` is "tar" (pax) or "zip";
// `filter` is "", "gzip", "bzip2", "xz" or "zstd".
void writeArchive(const std::string& path, const std::string& format, const std::string& filter,
                  const std::vector<ArchiveMember>& members);

// An Ed25519 key made by `openssl genpkey` in `directory`.
struct SigningKey {
  std::string privateKeyPath;
  std::string publicKeyBase64;  // the raw 32 bytes, base64
};
SigningKey makeSigningKey(const std::string& directory);

// The base64 Ed25519 signature of `file`, made with `openssl pkeyutl -sign -rawin`.
std::string signFile(const SigningKey& key, const std::string& file);

// Writes a minimal bundle at `appPath` (NAME.app): Info.plist with the given
// identifier, version and SUPublicEDKey, and Contents/MacOS/KavriDaemon, a
// shell script printing `version`.
void makeBundle(const std::string& appPath, const std::string& identifier,
                const std::string& version, const std::string& publicKey = "");

// Base64 of `bytes`, standard alphabet, padded.
std::string base64(const std::string& bytes);

}  // namespace kavri::testing

#endif  // KAVRI_TESTS_SUPPORT_UPDATE_TEST_SUPPORT_H_
