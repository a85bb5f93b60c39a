#include "support/update_test_support.h"

#include <archive.h>
#include <archive_entry.h>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "test_util.h"

namespace kavri::testing {
namespace {

void sendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

}  // namespace

TestHttpServer::TestHttpServer(HttpHandler handler) : handler_(std::move(handler)) {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listenFd_, 64) != 0 ||
      getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      pipe2(wakeFds_, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "cannot start the test HTTP server: " << strerror(errno);
    return;
  }
  port_ = ntohs(address.sin_port);
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

TestHttpServer::~TestHttpServer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  stopped_.notify_all();
  if (wakeFds_[1] >= 0) (void)!write(wakeFds_[1], "x", 1);
  if (acceptThread_.joinable()) acceptThread_.join();
  std::vector<std::thread> connections;
  {
    std::lock_guard lock(mutex_);
    connections.swap(connections_);
  }
  for (std::thread& t : connections) t.join();
  for (int fd : {listenFd_, wakeFds_[0], wakeFds_[1]})
    if (fd >= 0) close(fd);
}

std::string TestHttpServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

int TestHttpServer::requests(const std::string& path) const {
  std::lock_guard lock(mutex_);
  auto it = requests_.find(path);
  return it == requests_.end() ? 0 : it->second;
}

int TestHttpServer::maxConcurrent(const std::string& path) const {
  std::lock_guard lock(mutex_);
  auto it = maxInFlight_.find(path);
  return it == maxInFlight_.end() ? 0 : it->second;
}

void TestHttpServer::acceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard lock(mutex_);
    connections_.emplace_back([this, fd] { serve(fd); });
  }
}

void TestHttpServer::serve(int fd) {
  timeval timeout = {10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    request.append(buffer, static_cast<size_t>(n));
    // Not HTTP (a TLS hello, say): hang up rather than wait for a blank line.
    if (request[0] < 'A' || request[0] > 'Z') break;
  }
  std::string path;
  size_t space = request.find(' ');
  if (space != std::string::npos) {
    size_t end = request.find(' ', space + 1);
    if (end != std::string::npos) path = request.substr(space + 1, end - space - 1);
  }
  {
    std::lock_guard lock(mutex_);
    ++requests_[path];
    int now = ++inFlight_[path];
    maxInFlight_[path] = std::max(maxInFlight_[path], now);
  }
  HttpResponse response = handler_(path);
  std::string head = "HTTP/1.1 " + std::to_string(response.status) + " X\r\nConnection: close\r\n";
  for (auto& [key, value] : response.headers) head += key + ": " + value + "\r\n";
  if (!response.omitContentLength) {
    uint64_t length = response.contentLength.value_or(response.body.size() * response.repeatBody);
    head += "Content-Length: " + std::to_string(length) + "\r\n";
  }
  head += "\r\n";
  sendAll(fd, head.data(), head.size());
  for (uint64_t i = 0; i < response.repeatBody; ++i) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) break;
    }
    sendAll(fd, response.body.data(), response.body.size());
  }
  if (response.stall) {
    std::unique_lock lock(mutex_);
    stopped_.wait(lock, [this] { return stopping_; });
  }
  {
    std::lock_guard lock(mutex_);
    --inFlight_[path];
  }
  close(fd);
}

ArchiveMember fileMember(const std::string& name, const std::string& data, unsigned mode,
                         uint64_t repeat) {
  ArchiveMember m;
  m.name = name;
  m.data = data;
  m.mode = mode;
  m.repeat = repeat;
  return m;
}

ArchiveMember directoryMember(const std::string& name, unsigned mode) {
  ArchiveMember m;
  m.name = name;
  m.type = ArchiveMember::Type::kDirectory;
  m.mode = mode;
  return m;
}

ArchiveMember symlinkMember(const std::string& name, const std::string& target) {
  ArchiveMember m;
  m.name = name;
  m.type = ArchiveMember::Type::kSymlink;
  m.target = target;
  m.mode = 0777;
  return m;
}

ArchiveMember hardlinkMember(const std::string& name, const std::string& target) {
  ArchiveMember m = symlinkMember(name, target);
  m.type = ArchiveMember::Type::kHardlink;
  m.mode = 0644;
  return m;
}

ArchiveMember specialMember(const std::string& name, ArchiveMember::Type type) {
  ArchiveMember m;
  m.name = name;
  m.type = type;
  return m;
}

void writeArchive(const std::string& path, const std::string& format, const std::string& filter,
                  const std::vector<ArchiveMember>& members) {
  archive* a = archive_write_new();
  if (format == "zip")
    archive_write_set_format_zip(a);
  else
    archive_write_set_format_pax_restricted(a);
  if (filter == "gzip") archive_write_add_filter_gzip(a);
  if (filter == "bzip2") archive_write_add_filter_bzip2(a);
  if (filter == "xz") archive_write_add_filter_xz(a);
  if (filter == "zstd") archive_write_add_filter_zstd(a);
  ASSERT_EQ(archive_write_open_filename(a, path.c_str()), ARCHIVE_OK) << archive_error_string(a);
  for (const ArchiveMember& m : members) {
    archive_entry* e = archive_entry_new();
    archive_entry_set_pathname(e, m.name.c_str());
    archive_entry_set_perm(e, m.mode);
    archive_entry_set_mtime(e, 1700000000, 0);
    uint64_t size = 0;
    switch (m.type) {
      case ArchiveMember::Type::kFile:
        archive_entry_set_filetype(e, AE_IFREG);
        size = m.data.size() * m.repeat;
        break;
      case ArchiveMember::Type::kDirectory:
        archive_entry_set_filetype(e, AE_IFDIR);
        break;
      case ArchiveMember::Type::kSymlink:
        archive_entry_set_filetype(e, AE_IFLNK);
        archive_entry_set_symlink(e, m.target.c_str());
        break;
      case ArchiveMember::Type::kHardlink:
        archive_entry_set_filetype(e, AE_IFREG);
        archive_entry_set_hardlink(e, m.target.c_str());
        break;
      case ArchiveMember::Type::kCharDevice:
        archive_entry_set_filetype(e, AE_IFCHR);
        archive_entry_set_rdev(e, makedev(1, 3));
        break;
      case ArchiveMember::Type::kFifo:
        archive_entry_set_filetype(e, AE_IFIFO);
        break;
    }
    archive_entry_set_size(e, static_cast<la_int64_t>(size));
    ASSERT_GE(archive_write_header(a, e), ARCHIVE_WARN) << archive_error_string(a);
    for (uint64_t i = 0; size && i < m.repeat; ++i)
      archive_write_data(a, m.data.data(), m.data.size());
    archive_entry_free(e);
  }
  archive_write_close(a);
  archive_write_free(a);
}

SigningKey makeSigningKey(const std::string& directory) {
  SigningKey key;
  key.privateKeyPath = directory + "/ed25519.pem";
  std::string der = directory + "/ed25519.pub.der";
  RunResult made = run({"/usr/bin/openssl", "genpkey", "-algorithm", "ed25519", "-out", key.privateKeyPath});
  EXPECT_EQ(made.exitStatus, 0) << made.err;
  RunResult pub = run({"/usr/bin/openssl", "pkey", "-in", key.privateKeyPath, "-pubout", "-outform",
                       "DER", "-out", der});
  EXPECT_EQ(pub.exitStatus, 0) << pub.err;
  std::string bytes = readFile(der);
  // The DER SubjectPublicKeyInfo ends with the raw 32-byte key.
  EXPECT_GE(bytes.size(), 32u);
  if (bytes.size() >= 32) key.publicKeyBase64 = base64(bytes.substr(bytes.size() - 32));
  return key;
}

std::string signFile(const SigningKey& key, const std::string& file) {
  std::string signature = file + ".sig";
  RunResult signed_ = run({"/usr/bin/openssl", "pkeyutl", "-sign", "-rawin", "-inkey",
                           key.privateKeyPath, "-in", file, "-out", signature});
  EXPECT_EQ(signed_.exitStatus, 0) << signed_.err;
  std::string bytes = readFile(signature);
  unlink(signature.c_str());
  EXPECT_EQ(bytes.size(), 64u);
  return base64(bytes);
}

void makeBundle(const std::string& appPath, const std::string& identifier,
                const std::string& version, const std::string& publicKey) {
  std::filesystem::create_directories(appPath + "/Contents/MacOS");
  std::filesystem::create_directories(appPath + "/Contents/Resources");
  writeFile(appPath + "/Contents/Info.plist",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
            "<key>CFBundleExecutable</key><string>KavriDaemon</string>"
            "<key>CFBundleIdentifier</key><string>" + identifier + "</string>"
            "<key>CFBundleVersion</key><string>" + version + "</string>"
            "<key>SUPublicEDKey</key><string>" + publicKey + "</string>"
            "</dict></plist>\n");
  std::string executable = appPath + "/Contents/MacOS/KavriDaemon";
  writeFile(executable, "#!/bin/sh\necho " + version + "\n");
  chmod(executable.c_str(), 0755);
  writeFile(appPath + "/Contents/Resources/daemon.js", "// version " + version + "\n");
}

std::string base64(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    uint32_t v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8) | uint8_t(bytes[i + 2]);
    for (int s = 18; s >= 0; s -= 6) out += kAlphabet[(v >> s) & 63];
  }
  if (i + 1 == bytes.size()) {
    uint32_t v = uint8_t(bytes[i]) << 16;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == bytes.size()) {
    uint32_t v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

}  // namespace kavri::testing
