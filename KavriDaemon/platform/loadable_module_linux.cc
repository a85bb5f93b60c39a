#include <dlfcn.h>

#include "platform/loadable_module.h"

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

}  // namespace

std::unique_ptr<LoadableModule> LoadableModule::load(const Bundle& bundle, std::string_view name,
                                                     std::string* err) {
  if (name.empty() || name.find('/') != std::string_view::npos) {
    *err = "not a module name: " + std::string(name);
    return nullptr;
  }
  std::string path = bundle.path() + "/Contents/Frameworks/lib" + std::string(name) + ".so";
  // RTLD_NOW: a symbol the agent lacks fails the load, not a call later on.
  // RTLD_LOCAL: what the module exports stays its own.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    *err = why ? why : path + ": cannot be loaded";
    return nullptr;
  }
  return std::make_unique<DlopenModule>(handle);
}

}  // namespace kavri
