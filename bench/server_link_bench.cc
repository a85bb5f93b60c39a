// Figures for the server link:
//  - validateHash of a 100 MB file against `openssl dgst -sha512` on the
//    same file, in the same run (target: within 1.1x of its time);
//  - peak resident memory of validateHash for a 10 MB and a 100 MB file
//    (target: the same for both: the file is hashed as it is read);
//  - a 1 MiB catalogue line through sendStringToServer into a server that
//    reads slowly (target: every byte arrives once, in order).
//
// Usage: server_link_bench [directory for the scratch files]

#include <fcntl.h>
#include <openssl/evp.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "server/channel.h"
#include "server/validate_hash.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string selfPath() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

// Runs argv with its standard input on `stdinFd` (or /dev/null), returns
// its standard output; `maxRssKiB` gets the child's peak resident memory.
std::string runCapturing(const std::vector<std::string>& argv, int stdinFd = -1, long* maxRssKiB = nullptr) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return "";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdinFd >= 0)
    posix_spawn_file_actions_adddup2(&actions, stdinFd, 0);
  else
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::string output;
  if (rc == 0) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0) output.append(buffer, static_cast<size_t>(n));
    int status;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    if (maxRssKiB) *maxRssKiB = usage.ru_maxrss;
  }
  close(out[0]);
  return output;
}

bool writeRandomFile(const std::string& path, size_t bytes) {
  FILE* f = fopen(path.c_str(), "wbe");
  if (!f) return false;
  std::mt19937_64 random(bytes);
  std::vector<uint64_t> block(1 << 17);
  for (size_t written = 0; written < bytes;) {
    for (auto& word : block) word = random();
    size_t n = std::min(bytes - written, block.size() * sizeof(uint64_t));
    fwrite(block.data(), 1, n, f);
    written += n;
  }
  return fclose(f) == 0;
}

bool parseHex(const std::string& hex, unsigned char (&digest)[kavri::kSha512Bytes]) {
  if (hex.size() < 2 * kavri::kSha512Bytes) return false;
  for (size_t i = 0; i < kavri::kSha512Bytes; ++i)
    digest[i] = static_cast<unsigned char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
  return true;
}

std::string opensslDigest(const std::string& path) {
  return runCapturing({"/usr/bin/openssl", "dgst", "-sha512", "-r", path}).substr(0, 128);
}

// --hash FILE HEX: one validateHash, in a process of its own so that its
// peak memory is measured alone.
int hashOnly(const char* path, const char* hex) {
  unsigned char digest[kavri::kSha512Bytes];
  if (!parseHex(hex, digest)) return 2;
  return kavri::validateHash(std::string(path), digest) ? 0 : 1;
}

// --slow-reader: a server that takes its standard input 4 KiB at a time,
// pausing between reads; prints the byte count and the SHA-256 of what came.
int slowReader() {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
  char buffer[4096];
  size_t total = 0;
  ssize_t n;
  struct timespec pause = {0, 100 * 1000};
  while ((n = read(0, buffer, sizeof buffer)) != 0) {
    if (n < 0) continue;
    EVP_DigestUpdate(context, buffer, static_cast<size_t>(n));
    total += static_cast<size_t>(n);
    nanosleep(&pause, nullptr);
  }
  unsigned char digest[32];
  EVP_DigestFinal_ex(context, digest, nullptr);
  EVP_MD_CTX_free(context);
  printf("%zu ", total);
  for (unsigned char byte : digest) printf("%02x", byte);
  printf("\n");
  return 0;
}

void benchmarkHash(const std::string& dir) {
  std::string path = dir + "/kavri-bench-100mb";
  const size_t kBytes = 100 * 1000 * 1000;
  if (!writeRandomFile(path, kBytes)) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    return;
  }
  std::string hex = opensslDigest(path);  // also warms the page cache
  unsigned char digest[kavri::kSha512Bytes];
  if (!parseHex(hex, digest)) {
    fprintf(stderr, "openssl dgst failed\n");
    return;
  }
  std::vector<double> ours, theirs;
  bool allMatched = true;
  for (int round = 0; round < 5; ++round) {
    auto start = Clock::now();
    allMatched &= kavri::validateHash(path, digest);
    ours.push_back(millisecondsSince(start));
    start = Clock::now();
    allMatched &= opensslDigest(path) == hex;
    theirs.push_back(millisecondsSince(start));
  }
  std::sort(ours.begin(), ours.end());
  std::sort(theirs.begin(), theirs.end());
  printf("SHA-512 of a 100 MB file, best of 5 (median):\n");
  printf("  validateHash          %7.1f ms (%7.1f ms)  %6.0f MB/s\n", ours[0], ours[2], kBytes / 1e3 / ours[0]);
  printf("  openssl dgst -sha512  %7.1f ms (%7.1f ms)  %6.0f MB/s\n", theirs[0], theirs[2],
         kBytes / 1e3 / theirs[0]);
  printf("  ratio validateHash / openssl: %.2f (target <= 1.10)%s\n", ours[0] / theirs[0],
         allMatched ? "" : "  DIGEST MISMATCH");

  std::string small = dir + "/kavri-bench-10mb";
  writeRandomFile(small, kBytes / 10);
  std::string smallHex = opensslDigest(small);
  long rssSmall = 0, rssLarge = 0, rssNone = 0;
  std::string self = selfPath();
  runCapturing({self, "--hash", "/dev/null", std::string(128, '0')}, -1, &rssNone);
  runCapturing({self, "--hash", small, smallHex}, -1, &rssSmall);
  runCapturing({self, "--hash", path, hex}, -1, &rssLarge);
  printf("Peak resident memory of a process running validateHash once:\n");
  printf("  no file read %6ld KiB, 10 MB file %6ld KiB, 100 MB file %6ld KiB (growth 10->100 MB: %ld KiB)\n",
         rssNone, rssSmall, rssLarge, rssLarge - rssSmall);
  unlink(path.c_str());
  unlink(small.c_str());
}

std::string catalogueLine() {
  std::string message = "{";
  for (int i = 0; message.size() < (1u << 20); ++i) {
    message += "\"/usr/share/fonts/opentype/noto/NotoSansCJK-" + std::to_string(i) +
               ".ttc\":[{\"family\":\"Noto Sans CJK JP\",\"localizedFamily\":\"Noto Sans CJK JP ゴシック\","
               "\"style\":\"Regular\",\"localizedStyle\":\"標準\",\"postscript\":\"NotoSansCJKjp-Regular\","
               "\"weight\":400,\"stretch\":5,\"italic\":false}],";
  }
  message.back() = '}';
  return message + "\n";
}

void benchmarkCatalogue() {
  std::string line = catalogueLine();
  unsigned char expected[32];
  EVP_Digest(line.data(), line.size(), expected, nullptr, EVP_sha256(), nullptr);
  char expectedHex[65];
  for (int i = 0; i < 32; ++i) snprintf(expectedHex + 2 * i, 3, "%02x", expected[i]);

  int input[2];
  if (pipe2(input, O_CLOEXEC) != 0) return;
  fcntl(input[1], F_SETPIPE_SZ, 4096);
  std::string report;
  double sendMs = 0;
  {
    // The reader runs while this thread writes; its report comes at EOF.
    pid_t pid;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::string self = selfPath();
    char* args[] = {self.data(), const_cast<char*>("--slow-reader"), nullptr};
    posix_spawn(&pid, args[0], &actions, nullptr, args, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    close(out[1]);

    kavri::serverStdin = input[1];
    auto start = Clock::now();
    kavri::sendStringToServer(line);
    sendMs = millisecondsSince(start);
    close(input[1]);
    char buffer[256];
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0) report.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    waitpid(pid, nullptr, 0);
  }
  std::string want = std::to_string(line.size()) + " " + expectedHex + "\n";
  printf("A %zu-byte catalogue line through sendStringToServer to a server reading 4 KiB per read:\n",
         line.size());
  printf("  written in %.1f ms; server received %s", sendMs, report.c_str());
  printf("  every byte once and in order: %s\n", report == want ? "yes" : "NO");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "--hash") == 0) return hashOnly(argv[2], argv[3]);
  if (argc == 2 && strcmp(argv[1], "--slow-reader") == 0) return slowReader();
  const char* tmp = getenv("TMPDIR");
  std::string dir = argc > 1 ? argv[1] : (tmp && *tmp ? tmp : "/tmp");
  benchmarkHash(dir);
  benchmarkCatalogue();
  return 0;
}
