// The updater's heavy steps on an archive the size of a real bundle (the
// Node.js runtime inside): Ed25519 verification of the whole archive and
// unpacking it, with time and peak memory. Usage: update_bench [file]
// (default: this machine's node binary as the bundle's payload).

#include <fcntl.h>
#include <sodium.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "updater/update_archive.h"
#include "updater/update_signature.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

static long peakKilobytes() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

static double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

static std::string base64(const unsigned char* data, size_t size) {
  std::vector<char> text(sodium_base64_encoded_len(size, sodium_base64_VARIANT_ORIGINAL));
  sodium_bin2base64(text.data(), text.size(), data, size, sodium_base64_VARIANT_ORIGINAL);
  return text.data();
}

int main(int argc, char** argv) {
  if (sodium_init() < 0) return 1;
  std::string payload = argc > 1 ? argv[1] : fs::canonical("/proc/self/exe").string();
  if (argc == 1) {
    if (const char* node = std::getenv("KAVRI_BENCH_NODE")) payload = node;
    else if (fs::exists("/usr/bin/node")) payload = fs::canonical("/usr/bin/node").string();
  }
  fs::path dir = fs::temp_directory_path() / ("kavri-update-bench-" + std::to_string(getpid()));
  fs::create_directories(dir / "src/KavriDaemon.app/Contents/Resources");
  fs::copy_file(payload, dir / "src/KavriDaemon.app/Contents/Resources/kavri-node");
  std::printf("payload: %s, %.1f MB\n", payload.c_str(), fs::file_size(payload) / 1e6);

  unsigned char publicKey[crypto_sign_PUBLICKEYBYTES], secretKey[crypto_sign_SECRETKEYBYTES];
  crypto_sign_keypair(publicKey, secretKey);
  for (const char* compression : {"--gzip", "--zstd", "--xz"}) {
    std::string archive = (dir / "archive").string();
    std::string command = "tar -C '" + (dir / "src").string() + "' " + compression + " -cf '" +
                          archive + "' KavriDaemon.app";
    if (std::system(command.c_str()) != 0) return 1;
    std::ifstream in(archive, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(bytes.data()),
                         bytes.size(), secretKey);
    bytes.clear();
    bytes.shrink_to_fit();

    kavri::UniqueFd fd(open(archive.c_str(), O_RDONLY | O_CLOEXEC));
    std::string err;
    auto start = Clock::now();
    bool verified = kavri::verifyEdSignature(fd.get(), base64(signature, sizeof signature),
                                             base64(publicKey, sizeof publicKey), &err);
    double verifySeconds = secondsSince(start);
    fs::remove_all(dir / "out");
    fs::create_directories(dir / "out");
    start = Clock::now();
    bool unpacked = kavri::unpackArchive(fd.get(), (dir / "out").string(), kavri::UnpackLimits(), &err);
    double unpackSeconds = secondsSince(start);
    std::printf("%-7s archive %6.1f MB  verify %s %.2f s  unpack %s %.2f s  peak RSS %ld MB (with the bench's own signing copy)\n",
                compression + 2, fs::file_size(archive) / 1e6, verified ? "ok" : "FAILED",
                verifySeconds, unpacked ? "ok" : "FAILED", unpackSeconds, peakKilobytes() / 1024);
    if (!verified || !unpacked) std::printf("  %s\n", err.c_str());
    fs::remove(archive);
  }
  fs::remove_all(dir);
  return 0;
}
