#include "platform/bundle.h"

#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>

namespace kavri {
namespace {

// Info.plist is a small file; anything larger is not ours.
constexpr std::streamsize kMaxInfoPlistBytes = 1 << 20;

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

std::map<std::string, std::string, std::less<>> readInfoDictionary(const std::string& plistPath) {
  std::map<std::string, std::string, std::less<>> info;
  std::ifstream in(plistPath, std::ios::binary);
  if (!in) return info;
  std::string text;
  text.resize(kMaxInfoPlistBytes + 1);
  in.read(text.data(), kMaxInfoPlistBytes + 1);
  std::streamsize got = in.gcount();
  if (got <= 0 || got > kMaxInfoPlistBytes) return info;
  text.resize(static_cast<size_t>(got));

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
        char* s = nullptr;
        plist_get_string_val(value, &s);
        if (s) info[name] = s;
        free(s);
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

std::string Bundle::executablePath(std::string_view name) const {
  return path_ + "/Contents/MacOS/" + std::string(name);
}

}  // namespace kavri
