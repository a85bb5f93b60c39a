#include "platform/bundle.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/unique_fd.h"

namespace kavri {
namespace {

// Info.plist is a small file; anything larger is not ours.
constexpr off_t kMaxInfoPlistBytes = 1 << 20;

std::string parentDirectory(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string baseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The whole of a small regular file, or nullopt. Another process's bundle
// may hold anything at this name: a link is not followed, and a FIFO or a
// device is refused without waiting for a writer.
std::optional<std::string> readSmallRegularFile(const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxInfoPlistBytes)
    return std::nullopt;
  // One byte more than fstat gave, to notice a file that grows meanwhile.
  std::string text(static_cast<size_t>(st.st_size) + 1, '\0');
  size_t got = 0;
  while (got < text.size()) {
    ssize_t n = read(fd.get(), text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  if (got == text.size()) return std::nullopt;
  text.resize(got);
  return text;
}

std::map<std::string, std::string, std::less<>> readInfoDictionary(const std::string& plistPath) {
  std::map<std::string, std::string, std::less<>> info;
  std::optional<std::string> file = readSmallRegularFile(plistPath);
  if (!file || file->empty()) return info;
  const std::string& text = *file;

  plist_t root = nullptr;
  plist_from_xml(text.data(), static_cast<uint32_t>(text.size()), &root);
  if (!root) return info;
  std::unique_ptr<void, decltype(&plist_free)> holder(root, &plist_free);
  if (plist_get_node_type(root) != PLIST_DICT) return info;

  plist_dict_iter it = nullptr;
  plist_dict_new_iter(root, &it);
  if (!it) return info;
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(root, it, &key, &value);
    if (!key) break;
    std::string name(key);
    free(key);
    if (!value) continue;
    switch (plist_get_node_type(value)) {
      case PLIST_STRING: {
        // Read with its length: the plain accessor aborts the process on a
        // NUL byte inside the string, which the parser lets through.
        uint64_t length = 0;
        const char* s = plist_get_string_ptr(value, &length);
        if (s && memchr(s, '\0', length) == nullptr) info[name].assign(s, length);
        break;
      }
      case PLIST_UINT: {
        uint64_t n = 0;
        plist_get_uint_val(value, &n);
        info[name] = std::to_string(n);
        break;
      }
      default:
        break;
    }
  }
  free(it);
  return info;
}

}  // namespace

Bundle::Bundle(std::string bundlePath)
    : path_(std::move(bundlePath)), info_(readInfoDictionary(path_ + "/Contents/Info.plist")) {}

std::optional<Bundle> Bundle::forExecutable(const std::string& executablePath) {
  std::string macos = parentDirectory(executablePath);
  if (baseName(macos) != "MacOS") return std::nullopt;
  std::string contents = parentDirectory(macos);
  if (baseName(contents) != "Contents") return std::nullopt;
  std::string root = parentDirectory(contents);
  if (root.empty()) return std::nullopt;
  return Bundle(root);
}

const Bundle* Bundle::main() {
  static const std::optional<Bundle> bundle = []() -> std::optional<Bundle> {
    char buffer[4096];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return std::nullopt;
    buffer[n] = '\0';
    return forExecutable(buffer);
  }();
  return bundle ? &*bundle : nullptr;
}

std::optional<std::string> Bundle::infoString(std::string_view key) const {
  auto it = info_.find(key);
  if (it == info_.end()) return std::nullopt;
  return it->second;
}

std::optional<int64_t> Bundle::infoInteger(std::string_view key) const {
  auto text = infoString(key);
  if (!text) return std::nullopt;
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value);
  if (ec != std::errc() || end != text->data() + text->size()) return std::nullopt;
  return value;
}

std::optional<std::string> Bundle::pathForResource(std::string_view name) const {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos)
    return std::nullopt;
  std::string path = path_ + "/Contents/Resources/" + std::string(name);
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return std::nullopt;
  return path;
}

bool Bundle::isPackageManaged() const { return pathForResource("package-managed").has_value(); }

std::string Bundle::executablePath(std::string_view name) const {
  return path_ + "/Contents/MacOS/" + std::string(name);
}

}  // namespace kavri
