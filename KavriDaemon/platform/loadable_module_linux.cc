#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/elf_build_id.h"
#include "platform/file_reader.h"
#include "platform/loadable_module.h"
#include "platform/unique_fd.h"

namespace kavri {
namespace {

class DlopenModule : public LoadableModule {
 public:
  explicit DlopenModule(void* handle) : handle_(handle) {}
  ~DlopenModule() override { dlclose(handle_); }
  DlopenModule(const DlopenModule&) = delete;
  DlopenModule& operator=(const DlopenModule&) = delete;

  void* symbol(const char* name, std::string* err) const override {
    dlerror();
    void* address = dlsym(handle_, name);
    if (!address) {
      const char* why = dlerror();
      *err = std::string(name) + ": " + (why ? why : "not exported");
    }
    return address;
  }

 private:
  void* handle_;
};

// The module's file, opened once it has shown the expected build-id.
UniqueFd openModuleOfBuild(const std::string& path, std::string_view buildId, std::string* err) {
  // O_NONBLOCK: a FIFO in the module's place must not hang the agent.
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0) {
    *err = path + ": " + strerror(errno);
    return UniqueFd();
  }
  if (!S_ISREG(st.st_mode)) {
    *err = path + ": not a regular file";
    return UniqueFd();
  }
  std::string why;
  std::optional<std::string> id = elfBuildId(
      static_cast<uint64_t>(st.st_size),
      [&fd](uint64_t offset, std::span<uint8_t> into) {
        return readFullyAt(fd.get(), offset, into);
      },
      &why);
  if (!id) {
    *err = path + ": " + why;
    return UniqueFd();
  }
  if (*id != buildId) {
    *err =
        path + " is of another build (build id " + *id + ", expected " + std::string(buildId) + ")";
    return UniqueFd();
  }
  return fd;
}

}  // namespace

std::unique_ptr<LoadableModule> LoadableModule::load(const Bundle& bundle, std::string_view name,
                                                     std::string_view buildId, std::string* err) {
  if (name.empty() || name.find('/') != std::string_view::npos) {
    *err = "not a module name: " + std::string(name);
    return nullptr;
  }
  std::string path = bundle.path() + "/Contents/Frameworks/lib" + std::string(name) + ".so";
  // Checked before dlopen, which runs the module's constructors, and loaded
  // through the descriptor that was checked: the path may meanwhile lead to
  // another file.
  UniqueFd file = openModuleOfBuild(path, buildId, err);
  if (!file.valid()) return nullptr;
  std::string checked = "/proc/self/fd/" + std::to_string(file.get());
  // RTLD_NOW: a symbol the agent lacks fails the load, not a call later on.
  // RTLD_LOCAL: what the module exports stays its own.
  void* handle = dlopen(checked.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    std::string reason = why ? why : checked + ": cannot be loaded";
    // Named by the module's path, not by the descriptor it was loaded through.
    if (reason.rfind(checked, 0) == 0) reason.replace(0, checked.size(), path);
    *err = reason;
    return nullptr;
  }
  return std::make_unique<DlopenModule>(handle);
}

}  // namespace kavri
