// libFuzzer target for an update archive, through the same steps an update
// takes once its signature holds: unpack it, find its one bundle and check
// that bundle against the running one. Any bytes give an unpacked bundle or
// a reason, never a crash, and an archive that unpacks keeps the unpacker's
// promises, checked here independently of it: nothing written beside the
// destination, only files, directories and links, no set-id bits, nothing
// group- or other-writable, every link resolving inside its top-level
// directory. A bundle that passes validation is newer and of the same
// identifier, with a program for an executable.
//
// The work happens in a directory of its own on /dev/shm (a tmpfs, so that
// the file system keeps up with the fuzzer), made at start and emptied
// after every input.

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/bundle.h"
#include "updater/update_archive.h"
#include "updater/update_install.h"
#include "updater/version_compare.h"

namespace fs = std::filesystem;

namespace {

constexpr char kIdentifier[] = "com.kavri.fuzz";

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// The running bundle (version 1), the destination and a file the archive
// must never reach.
struct Sandbox {
  std::string root;
  std::string running() const { return root + "/KavriDaemon.app"; }
  std::string destination() const { return root + "/unpacked"; }
  std::string outside() const { return root + "/outside"; }

  Sandbox() {
    char pattern[] = "/dev/shm/kavri-archive-fuzz-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (!made) abort();
    root = made;
    fs::create_directories(running() + "/Contents/MacOS");
    writeFile(running() + "/Contents/Info.plist",
              std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                          "<key>CFBundleIdentifier</key><string>") +
                  kIdentifier +
                  "</string><key>CFBundleVersion</key><string>1</string></dict></plist>\n");
    writeFile(outside(), "keep");
  }
  ~Sandbox() {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }
};

Sandbox& sandbox() {
  static Sandbox box;
  return box;
}

bool staysBeneath(int topFd, const std::string& path) {
  open_how how = {};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  long fd = syscall(SYS_openat2, topFd, path.c_str(), &how, sizeof how);
  if (fd >= 0) {
    close(static_cast<int>(fd));
    return true;
  }
  return errno != EXDEV && errno != ELOOP;
}

// Walks the unpacked tree without following links and aborts at the first
// broken promise.
void checkUnpacked(const std::string& destination) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(destination, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    struct stat st;
    std::string path = it->path().string();
    if (lstat(path.c_str(), &st) != 0) abort();
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode)) abort();
    if (S_ISLNK(st.st_mode)) {
      std::string relative = path.substr(destination.size() + 1);
      size_t slash = relative.find('/');
      if (slash == std::string::npos) abort();  // a link at the top
      int top = open((destination + "/" + relative.substr(0, slash)).c_str(),
                     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (top < 0) abort();
      bool inside = staysBeneath(top, relative.substr(slash + 1));
      close(top);
      if (!inside) abort();
      continue;
    }
    if (st.st_mode & (S_ISUID | S_ISGID | S_IWGRP | S_IWOTH)) abort();
  }
  if (ec) abort();
}

void checkNothingBeside(const Sandbox& box) {
  std::vector<std::string> names;
  for (auto& entry : fs::directory_iterator(box.root)) names.push_back(entry.path().filename());
  if (names.size() != 3) abort();
  std::ifstream in(box.outside());
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (text != "keep") abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Sandbox& box = sandbox();
  int archive = memfd_create("archive", MFD_CLOEXEC);
  if (archive < 0 || write(archive, data, size) != static_cast<ssize_t>(size)) abort();
  std::error_code ec;
  if (!fs::create_directory(box.destination(), ec)) abort();

  kavri::UnpackLimits limits;
  limits.maxTotalBytes = 1 << 20;
  limits.maxEntries = 1000;
  std::string err;
  bool unpacked = kavri::unpackArchive(archive, box.destination(), limits, &err);
  close(archive);
  checkNothingBeside(box);
  if (!unpacked && err.empty()) abort();

  if (unpacked) {
    checkUnpacked(box.destination());
    auto bundle = kavri::findUnpackedBundle(box.destination(), &err);
    if (!bundle && err.empty()) abort();
    if (bundle) {
      kavri::Bundle candidate(*bundle), running(box.running());
      if (kavri::validateReplacement(candidate, running, &err)) {
        if (candidate.identifier() != kIdentifier) abort();
        if (kavri::compareVersions(candidate.infoString("CFBundleVersion").value_or(""), "1") <= 0)
          abort();
        auto name = kavri::bundleExecutableName(candidate);
        struct stat st;
        if (!name || lstat(candidate.executablePath(*name).c_str(), &st) != 0 ||
            !S_ISREG(st.st_mode))
          abort();
      } else if (err.empty()) {
        abort();
      }
    }
  }

  std::string removeErr;
  if (!kavri::removeTree(box.destination(), &removeErr)) abort();
  return 0;
}
